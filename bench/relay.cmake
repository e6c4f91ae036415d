# Floors of the service under Wine, measured by scripts/bench.sh beside it: the minimal relay
# (Wine's own cost of relaying a pipe message over the link, with the same client) and the idle
# floor (a thread that only wakes every 100 ms).
if(WIN32 AND NOT DULVEX_FUZZ)
    add_executable(relay ${CMAKE_CURRENT_LIST_DIR}/relay.c)
    target_link_libraries(relay PRIVATE ws2_32)
    add_executable(idle_floor ${CMAKE_CURRENT_LIST_DIR}/idle_floor.c)
endif()
