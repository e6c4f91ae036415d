# Whole-service figures (round trips through the bridge and their floors, idle CPU, memory) are
# taken by scripts/bench.sh with these programs; codec_alloc counts the wire format's heap
# allocations natively.
if(DULVEX_FUZZ)
    return()
endif()
if(WIN32)
    if(TARGET dulvex_client_lib)
        add_executable(roundtrip ${CMAKE_CURRENT_LIST_DIR}/roundtrip.c)
        target_link_libraries(roundtrip PRIVATE dulvex_client_lib)
        add_executable(pipe_echo ${CMAKE_CURRENT_LIST_DIR}/pipe_echo.c)
        add_executable(udp_rtt ${CMAKE_CURRENT_LIST_DIR}/udp_rtt.c)
        target_link_libraries(udp_rtt PRIVATE ws2_32)
    endif()
else()
    add_executable(udp_echo ${CMAKE_CURRENT_LIST_DIR}/udp_echo.c)
    add_executable(codec_alloc ${CMAKE_CURRENT_LIST_DIR}/codec_alloc.cpp ${CMAKE_CURRENT_LIST_DIR}/alloc_counter.cpp)
    target_link_libraries(codec_alloc PRIVATE dulvex_client_wire)
endif()
