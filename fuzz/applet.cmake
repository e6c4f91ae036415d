# The applet's messages about an address: the one rule's verdict and its text.
dulvex_fuzzer(NAME applet_address_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/applet_address_fuzz.cpp LIBS dulvex_config_value)
