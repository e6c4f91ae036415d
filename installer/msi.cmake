# Dulvex.msi: the Windows Installer package, built with wixl (Debian's wixl) and finished with
# msibuild (msitools) where wixl 0.101 cannot write a table or a column.
find_program(DULVEX_WIXL wixl)
find_program(DULVEX_MSIBUILD msibuild)
if(NOT DULVEX_WIXL OR NOT DULVEX_MSIBUILD)
    message(STATUS "Dulvex.msi skipped: wixl or msibuild not found (Debian packages wixl, msitools)")
    return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(DULVEX_MSI_ARCH x64)
    set(msi_win64 yes)
    set(msi_defines -D Win64=yes -D ProgramFiles=ProgramFiles64Folder -D SystemDir=System64Folder)
else()
    set(DULVEX_MSI_ARCH x86)
    set(msi_win64 no)
    set(msi_defines -D Win64=no -D ProgramFiles=ProgramFilesFolder -D SystemDir=SystemFolder)
endif()

set(msi_gen ${CMAKE_CURRENT_BINARY_DIR}/msi)
dulvex_write_wxi(${msi_gen}/DulvexFiles.wxi ${msi_win64})

set(msi_sources ${CMAKE_CURRENT_SOURCE_DIR}/Dulvex.wxs ${CMAKE_CURRENT_SOURCE_DIR}/DulvexService.wxi
                ${CMAKE_CURRENT_SOURCE_DIR}/MsiServiceConfigFailureActions.idt
                ${CMAKE_CURRENT_SOURCE_DIR}/install_files.cmake ${CMAKE_SOURCE_DIR}/service/host/dulvex.ico)
set(msi_inputs)
foreach(entry IN LISTS DULVEX_INSTALL_FILES)
    string(REPLACE "|" ";" f "${entry}")
    list(GET f 3 source)
    list(APPEND msi_inputs ${source})
endforeach()

# Builds the package out (version: the product version) from the generated includes.
# A product code per version and bitness: inventory sees one product per release, and a rebuild
# of the same release is the same product.
function(dulvex_build_msi out version)
    string(UUID product_code NAMESPACE 6F0D7C52-3B1E-4E7A-9C1D-2A4B8E5F7D10
           NAME "Dulvex.msi ${version} ${DULVEX_MSI_ARCH}" TYPE SHA1 UPPER)
    add_custom_command(
        OUTPUT ${out}
        COMMAND ${DULVEX_WIXL} -a ${DULVEX_MSI_ARCH} ${msi_defines} -D Version=${version}
                -D ProductCode=${product_code} -D ActionsDll=$<PATH:RELATIVE_PATH,$<TARGET_FILE:DulvexSetupActions>,/>
                -D IconFile=$<PATH:RELATIVE_PATH,${CMAKE_SOURCE_DIR}/service/host/dulvex.ico,/>
                -I ${CMAKE_CURRENT_SOURCE_DIR} -I ${msi_gen} -o ${out}.tmp
                ${CMAKE_CURRENT_SOURCE_DIR}/Dulvex.wxs
        # wixl writes no component conditions: the address is written only when there is one.
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -q "UPDATE Component SET Condition = 'ADDR' WHERE Component = 'C_Addr'"
        # wixl writes no feature attributes: Program cannot be set absent in the UI (16), neither
        # feature is ever advertised (8).
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -q "UPDATE Feature SET Attributes = 24 WHERE Feature = 'Program'"
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -q "UPDATE Feature SET Attributes = 8 WHERE Feature = 'Sdk'"
        # wixl ignores Property/@Secure: the public properties a managed installation passes on
        # to the server side.
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ADDR;CLIENTACCOUNTS' WHERE Property = 'SecureCustomProperties'"
        # wixl has no ServiceConfigFailureActions: the recovery actions as a table of their own,
        # applied by MsiConfigureServices (Windows Installer 5.0, Windows 7 on) between the
        # service's registration (5800) and its start (5900).
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -i ${CMAKE_CURRENT_SOURCE_DIR}/MsiServiceConfigFailureActions.idt
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -i ${msi_gen}/RemoveFile.idt
        COMMAND ${DULVEX_MSIBUILD} ${out}.tmp -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('MsiConfigureServices', 'VersionMsi >= \"5.00\"', 5850)"
        COMMAND ${CMAKE_COMMAND} -E rename ${out}.tmp ${out}
        DEPENDS ${msi_sources} ${msi_inputs} DulvexSetupActions DulvexSrv DulvexCpl dulvex-client
                dulvex_sdk sdk_sample ${msi_gen}/DulvexFiles.wxi
        WORKING_DIRECTORY /
        COMMENT "Building ${out} (${DULVEX_MSI_ARCH}, ${version})"
        VERBATIM)
endfunction()

set(DULVEX_MSI ${CMAKE_CURRENT_BINARY_DIR}/Dulvex.msi)
dulvex_build_msi(${DULVEX_MSI} ${PROJECT_VERSION})
add_custom_target(DulvexMsi ALL DEPENDS ${DULVEX_MSI})
add_dependencies(DulvexMsi dulvex_sdk_msvc_lib sdk_sample_csharp)
set(DULVEX_MSI ${DULVEX_MSI} CACHE INTERNAL "The MSI built by this tree")
set(DULVEX_MSI_ARCH ${DULVEX_MSI_ARCH} CACHE INTERNAL "")
list(LENGTH DULVEX_INSTALL_FILES count)
set(DULVEX_INSTALL_FILE_COUNT ${count} CACHE INTERNAL "Files in the shared install list")

# The package of an earlier release, for the upgrade test: the same content under a lower version
# and its own product code.
if(DULVEX_RUN_TESTS)
    set(DULVEX_MSI_PREVIOUS ${CMAKE_CURRENT_BINARY_DIR}/Dulvex-0.9.0.0.msi)
    dulvex_build_msi(${DULVEX_MSI_PREVIOUS} 0.9.0.0)
    add_custom_target(DulvexMsiPrevious ALL DEPENDS ${DULVEX_MSI_PREVIOUS})
    add_dependencies(DulvexMsiPrevious dulvex_sdk_msvc_lib sdk_sample_csharp)
    set(DULVEX_MSI_PREVIOUS ${DULVEX_MSI_PREVIOUS} CACHE INTERNAL "")
endif()
