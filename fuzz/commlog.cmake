# The communication log's lines, fed any pipe message and any datagram.
dulvex_fuzzer(NAME commlog_line_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/commlog_line_fuzz.cpp LIBS dulvex_commlog dulvex_pipe_line)
