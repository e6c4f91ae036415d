# The applet's address field checks. The applet's folder is not part of the fuzz build, so its
# plain source is compiled in here directly when it exists.
set(applet_address ${CMAKE_SOURCE_DIR}/applet/address.cpp)
if(TARGET dulvex_applet_address)
    dulvex_fuzzer(NAME applet_address_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/applet_address_fuzz.cpp
                  LIBS dulvex_applet_address dulvex_config_value)
elseif(EXISTS ${applet_address})
    dulvex_fuzzer(NAME applet_address_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/applet_address_fuzz.cpp ${applet_address}
                  LIBS dulvex_config_value)
    target_include_directories(applet_address_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/applet)
else()
    message(STATUS "applet_address_fuzz skipped: applet/address.cpp is missing")
endif()
if(TARGET applet_address_fuzz)
    target_include_directories(applet_address_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/service/link)
endif()
