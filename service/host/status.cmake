# Service status reports; included from this folder's CMakeLists.txt on Windows.
add_library(dulvex_status STATIC ${CMAKE_CURRENT_LIST_DIR}/status.cpp)
target_include_directories(dulvex_status PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(dulvex_status PUBLIC dulvex_diag advapi32)
