# The link's receiving rules, fed one datagram at a time without a socket.
dulvex_fuzzer(NAME link_recv_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/link_recv_fuzz.cpp LIBS dulvex_link)
