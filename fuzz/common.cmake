# The address value read from the registry, and the one address rule behind it.
dulvex_fuzzer(NAME config_value_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_value_fuzz.cpp LIBS dulvex_config_value)
dulvex_fuzzer(NAME ipv4_text_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipv4_text_fuzz.cpp LIBS dulvex_config_value)
