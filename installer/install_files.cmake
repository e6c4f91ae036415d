# What both installers put on the machine, in one place: DulvexSetup.exe (NSIS) and Dulvex.msi
# (WiX) are generated from these lists, so that neither can install a file or a value the other
# does not. tests/installer/msi_test.sh installs each and compares what they left.
#
# Files, one entry each: FEATURE|FOLDER|NAME|SOURCE
#   FEATURE  program (always installed) or sdk (the "Tools and SDK" component / the Sdk feature)
#   FOLDER   below the program folder with "/" between names, "." for the program folder itself,
#            or SYSTEM for the system folder (the applet)
#   NAME     the installed name
#   SOURCE   the built or shipped file; generator expressions allowed
#
# Registry values written under HKLM, one entry each: KEY|NAME|TYPE|VALUE. TYPE is string,
# expand or dword; VALUE may name the installed service program as @SRV@. The NSIS installer
# writes them through the service's own -install (event source) and checks them; the MSI writes
# them from its Registry table.

set(DULVEX_SRV_NAME DulvexSrv.exe)
set(DULVEX_SERVICE_NAME DulvexService)
set(DULVEX_CONFIG_KEY "Software\\Varnok\\PaymentTermService")
set(DULVEX_EVENT_KEY "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\DulvexService")

function(dulvex_install_lists sdk_dir source_dir)
    set(files
        "program|.|${DULVEX_SRV_NAME}|$<TARGET_FILE:DulvexSrv>"
        "program|SYSTEM|DulvexCpl.cpl|$<TARGET_FILE:DulvexCpl>"
        "sdk|.|dulvex-client.exe|$<TARGET_FILE:dulvex-client>"
        "sdk|sdk/include|dulvex_sdk.h|${source_dir}/tools/client/dulvex_sdk.h"
        "sdk|sdk/lib|libdulvex.dll.a|${sdk_dir}/libdulvex.dll.a"
        "sdk|sdk/lib|dulvex.lib|${sdk_dir}/dulvex.lib"
        # The sample programs beside the DLL they load.
        "sdk|sdk/bin|dulvex.dll|${sdk_dir}/dulvex.dll"
        "sdk|sdk/bin|sdk_sample.exe|${sdk_dir}/sdk_sample.exe"
        "sdk|sdk/bin|SdkSample.exe|${sdk_dir}/SdkSample.exe"
        "sdk|sdk/samples|sdk_sample.c|${source_dir}/samples/sdk_sample.c"
        "sdk|sdk/samples/csharp|DulvexSdk.cs|${source_dir}/samples/csharp/DulvexSdk.cs"
        "sdk|sdk/samples/csharp|SdkSample.cs|${source_dir}/samples/csharp/SdkSample.cs")
    # The pages an integrator or a support engineer needs; they link only to each other.
    foreach(page field-kit pipe-protocol delivery link-protocol configuration troubleshooting
                 installer)
        list(APPEND files "sdk|sdk/docs|${page}.md|${source_dir}/docs/${page}.md")
    endforeach()
    list(APPEND files "sdk|tools/wireshark|dulvex.lua|${source_dir}/tools/wireshark/dulvex.lua")
    set(DULVEX_INSTALL_FILES "${files}" PARENT_SCOPE)

    set(DULVEX_INSTALL_VALUES
        "${DULVEX_EVENT_KEY}|EventMessageFile|expand|@SRV@"
        # EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE
        "${DULVEX_EVENT_KEY}|TypesSupported|dword|7"
        PARENT_SCOPE)
endfunction()

# A WiX identifier for a folder below the program folder ("sdk/samples" -> D_sdk_samples).
function(dulvex_folder_id folder out)
    if(folder STREQUAL ".")
        set(${out} INSTALLDIR PARENT_SCOPE)
    elseif(folder STREQUAL "SYSTEM")
        set(${out} DULVEXSYSDIR PARENT_SCOPE)
    else()
        string(REGEX REPLACE "[^A-Za-z0-9]" "_" id "${folder}")
        set(${out} D_${id} PARENT_SCOPE)
    endif()
endfunction()

# Every folder below the program folder that the list needs, parents first.
function(dulvex_install_folders out)
    set(folders)
    foreach(entry IN LISTS DULVEX_INSTALL_FILES)
        string(REPLACE "|" ";" f "${entry}")
        list(GET f 1 folder)
        if(folder STREQUAL "." OR folder STREQUAL "SYSTEM")
            continue()
        endif()
        set(path)
        string(REPLACE "/" ";" parts "${folder}")
        foreach(part IN LISTS parts)
            if(path)
                set(path "${path}/${part}")
            else()
                set(path "${part}")
            endif()
            list(APPEND folders "${path}")
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES folders)
    list(SORT folders)
    set(${out} "${folders}" PARENT_SCOPE)
endfunction()

# The NSIS include: the "Tools and SDK" file list and its folders, deepest first for removal.
function(dulvex_write_nsh out)
    set(text "; Generated from installer/install_files.cmake: edit the list there.\n\n")
    string(APPEND text "!macro SDK_FILES ACTION\n")
    foreach(entry IN LISTS DULVEX_INSTALL_FILES)
        string(REPLACE "|" ";" f "${entry}")
        list(GET f 0 feature)
        list(GET f 1 folder)
        list(GET f 2 name)
        list(GET f 3 source)
        if(NOT feature STREQUAL "sdk")
            continue()
        endif()
        if(folder STREQUAL ".")
            set(dir "$INSTDIR")
        else()
            string(REPLACE "/" "\\" sub "${folder}")
            set(dir "$INSTDIR\\${sub}")
        endif()
        string(APPEND text "    !insertmacro \${ACTION} \"${dir}\" \"${name}\" \"${source}\"\n")
    endforeach()
    string(APPEND text "!macroend\n\n!macro SDK_FOLDERS ACTION\n")
    dulvex_install_folders(folders)
    list(REVERSE folders)
    foreach(folder IN LISTS folders)
        string(REPLACE "/" "\\" sub "${folder}")
        string(APPEND text "    !insertmacro \${ACTION} \"$INSTDIR\\${sub}\"\n")
    endforeach()
    string(APPEND text "!macroend\n")
    file(GENERATE OUTPUT ${out} CONTENT "${text}")
endfunction()

# The WiX includes, beside out (DulvexFiles.wxi): the folders below the program folder and one
# component per file (its key path); the registry values (DulvexValues.wxi, inside the service's
# component); the component lists of the two features (DulvexProgramRefs.wxi, DulvexSdkRefs.wxi).
function(dulvex_write_wxi out win64)
    get_filename_component(gen_dir "${out}" DIRECTORY)
    set(text "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n")
    string(APPEND text "<!-- Generated from installer/install_files.cmake: edit the list there. -->\n<Include>\n")
    dulvex_install_folders(folders)
    foreach(folder IN LISTS folders)
        dulvex_folder_id("${folder}" id)
        get_filename_component(parent "${folder}" DIRECTORY)
        if(parent STREQUAL "")
            set(parent ".")
        endif()
        dulvex_folder_id("${parent}" parent_id)
        get_filename_component(name "${folder}" NAME)
        string(APPEND text "  <DirectoryRef Id=\"${parent_id}\"><Directory Id=\"${id}\" Name=\"${name}\"/></DirectoryRef>\n")
    endforeach()
    set(refs_program)
    set(refs_sdk)
    set(n 0)
    foreach(entry IN LISTS DULVEX_INSTALL_FILES)
        string(REPLACE "|" ";" f "${entry}")
        list(GET f 0 feature)
        list(GET f 1 folder)
        list(GET f 2 name)
        list(GET f 3 source)
        dulvex_folder_id("${folder}" dir)
        # wixl 0.101 refuses absolute source paths: relative to / it is, run from /.
        math(EXPR n "${n} + 1")
        set(component C_${n})
        # The service's program keeps a fixed file id: the event source and the service name it.
        if(name STREQUAL "${DULVEX_SRV_NAME}")
            set(file_id SrvExe)
            set(component C_Srv)
        else()
            set(file_id F_${n})
        endif()
        string(APPEND text "  <DirectoryRef Id=\"${dir}\"><Component Id=\"${component}\" Guid=\"*\" Win64=\"${win64}\">"
                           "<File Id=\"${file_id}\" Name=\"${name}\" Source=\"$<PATH:RELATIVE_PATH,${source},/>\" KeyPath=\"yes\"/>")
        if(component STREQUAL "C_Srv")
            string(APPEND text "<?include DulvexService.wxi?>")
        endif()
        string(APPEND text "</Component></DirectoryRef>\n")
        list(APPEND refs_${feature} "<ComponentRef Id=\"${component}\"/>")
    endforeach()
    # Registry values go with the service's component: installed and removed with it.
    set(values)
    foreach(entry IN LISTS DULVEX_INSTALL_VALUES)
        string(REPLACE "|" ";" f "${entry}")
        list(GET f 0 key)
        list(GET f 1 name)
        list(GET f 2 type)
        list(GET f 3 value)
        string(REPLACE "@SRV@" "[#SrvExe]" value "${value}")
        set(wix_type string)
        if(type STREQUAL "dword")
            set(wix_type integer)
        elseif(type STREQUAL "expand")
            set(wix_type expandable)
        endif()
        string(APPEND values "    <RegistryValue Root=\"HKLM\" Key=\"${key}\" Name=\"${name}\" Type=\"${wix_type}\" Value=\"${value}\"/>\n")
    endforeach()
    # Folders go at removal once empty, deepest first: wixl's RemoveFolder takes no Directory, so
    # the rows are a RemoveFile table that msibuild imports. The SDK's folders go with the SDK's
    # first component, the program folder and its maker's with the service's, the data folders
    # with the log folder's.
    set(removals)
    list(GET refs_sdk 0 sdk_first)
    string(REGEX REPLACE ".*Id=\"([^\"]*)\".*" "\\1" sdk_first "${sdk_first}")
    list(REVERSE folders)
    foreach(folder IN LISTS folders)
        dulvex_folder_id("${folder}" id)
        list(APPEND removals "${sdk_first}|${id}")
    endforeach()
    list(APPEND removals "C_Srv|INSTALLDIR" "C_Srv|DulvexMakerDir" "C_Logs|LOGDIR" "C_Logs|DulvexDataDir")
    set(idt "FileKey\tComponent_\tFileName\tDirProperty\tInstallMode\ns72\ts72\tL255\ts72\ti2\nRemoveFile\tFileKey\n")
    set(k 10)
    foreach(removal IN LISTS removals)
        string(REPLACE "|" ";" r "${removal}")
        list(GET r 0 component)
        list(GET r 1 id)
        math(EXPR k "${k} + 1")
        # msidbRemoveFileInstallModeOnRemove
        string(APPEND idt "RF${k}\t${component}\t\t${id}\t2\n")
    endforeach()
    file(GENERATE OUTPUT ${gen_dir}/RemoveFile.idt CONTENT "${idt}")

    string(JOIN "" program ${refs_program})
    string(JOIN "" sdk ${refs_sdk})
    string(APPEND text "</Include>\n")
    file(GENERATE OUTPUT ${out} CONTENT "${text}")
    file(GENERATE OUTPUT ${gen_dir}/DulvexValues.wxi CONTENT "<Include>\n${values}</Include>\n")
    file(GENERATE OUTPUT ${gen_dir}/DulvexProgramRefs.wxi CONTENT "<Include>${program}</Include>\n")
    file(GENERATE OUTPUT ${gen_dir}/DulvexSdkRefs.wxi CONTENT "<Include>${sdk}</Include>\n")
endfunction()
