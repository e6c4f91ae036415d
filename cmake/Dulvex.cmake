# dulvex_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LOCKS <resources...>]
#             [TIMEOUT <s>] [ARGS <args...>])
# One GoogleTest program, run by CTest natively or under Wine (the cross-compiling emulator).
# LOCKS names resources that tests must not share at once: "pipe" (the service's pipe name),
# "udp" (the terminal ports), "netns" (the terminal's network namespace), "display".
function(dulvex_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LOCKS;ARGS" ${ARGN})
    if(NOT DULVEX_RUN_TESTS)
        return()
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    if(T_LOCKS)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
endfunction()

# dulvex_script_test(NAME <name> COMMAND <cmd...> [LOCKS ...] [TIMEOUT s])
# A shell-level test (end-to-end, static checks). Gets DULVEX_BUILD, DULVEX_SOURCE and, for the
# Windows build, WINEPREFIX and DULVEX_WINE (the run script) in its environment.
function(dulvex_script_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;LOCKS" ${ARGN})
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
    set(env "DULVEX_BUILD=${CMAKE_BINARY_DIR}" "DULVEX_SOURCE=${CMAKE_SOURCE_DIR}")
    if(DULVEX_WINE_PREFIX)
        list(APPEND env "WINEPREFIX=${DULVEX_WINE_PREFIX}"
                        "DULVEX_WINE=${CMAKE_SOURCE_DIR}/tools/wine/run.sh ${DULVEX_WINE_PREFIX}")
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
    if(T_LOCKS)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
endfunction()
