# The link on loopback against a prompt peer: frames per second, CPU time per frame, heap
# allocations per packet. Native only; the figures mean most in a build without sanitizers
# (cmake -B build/link-bench -G Ninja -DCMAKE_BUILD_TYPE=Release).
if(NOT WIN32 AND NOT DULVEX_FUZZ)
    add_executable(link_bench ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/alloc_counter.cpp)
    target_link_libraries(link_bench PRIVATE dulvex_link)
    find_package(Threads REQUIRED)
    target_link_libraries(link_bench PRIVATE Threads::Threads)
endif()
