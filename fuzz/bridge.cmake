# The client message codec and the capture log's line, fed whole pipe messages.
dulvex_fuzzer(NAME client_msg_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_msg_fuzz.cpp LIBS dulvex_client_wire)
dulvex_fuzzer(NAME capture_line_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_line_fuzz.cpp LIBS dulvex_capture)
