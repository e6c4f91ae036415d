# The address value read from the registry, and the strict dotted text rule behind it.
dulvex_fuzzer(NAME config_value_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_value_fuzz.cpp LIBS dulvex_config_value)
dulvex_fuzzer(NAME ipv4_text_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipv4_text_fuzz.cpp LIBS dulvex_config_value)
target_include_directories(ipv4_text_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/service/link)
