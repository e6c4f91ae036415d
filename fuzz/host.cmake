# The command-line splitter and the option matching that reads its vector.
dulvex_fuzzer(NAME cmdline_split_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/cmdline_split_fuzz.cpp
              LIBS dulvex_host_plain dulvex_bridge_args)
