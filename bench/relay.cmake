# The minimal relay: Wine's own cost of relaying a pipe message over the link, measured by
# scripts/bench.sh beside the service with the same client.
if(WIN32 AND NOT DULVEX_FUZZ)
    add_executable(relay ${CMAKE_CURRENT_LIST_DIR}/relay.c)
    target_link_libraries(relay PRIVATE ws2_32)
endif()
