# Building installer executables: the code, the resources compiled from
# res/setup_orbel.rc.in, and the payload files, all in one resource object.

include(${PROJECT_SOURCE_DIR}/res/payloads.cmake)

set(ORBEL_RES_DIR "${CMAKE_BINARY_DIR}/res")
string(REPLACE "." "," ORBEL_VERSION_COMMAS "${PROJECT_VERSION}")

# The icon, drawn from its description.
add_custom_command(OUTPUT "${ORBEL_RES_DIR}/setup_orbel.ico"
    COMMAND "${ORBEL_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/make_icon.py"
        "${PROJECT_SOURCE_DIR}/res/icon.json" "${ORBEL_RES_DIR}/setup_orbel.ico"
    DEPENDS "${PROJECT_SOURCE_DIR}/tools/make_icon.py" "${PROJECT_SOURCE_DIR}/res/icon.json"
    VERBATIM)
# The manifest, the icon and the version block, compiled by windres.
configure_file("${PROJECT_SOURCE_DIR}/res/setup_orbel.rc.in" "${ORBEL_RES_DIR}/setup_orbel.rc" @ONLY)
add_custom_command(OUTPUT "${ORBEL_RES_DIR}/setup_orbel.res"
    COMMAND "${CMAKE_RC_COMPILER}" -O res
        --include-dir "${ORBEL_RES_DIR}" --include-dir "${PROJECT_SOURCE_DIR}/res"
        -i "${ORBEL_RES_DIR}/setup_orbel.rc" -o "${ORBEL_RES_DIR}/setup_orbel.res"
    DEPENDS "${ORBEL_RES_DIR}/setup_orbel.rc" "${ORBEL_RES_DIR}/setup_orbel.ico"
        "${PROJECT_SOURCE_DIR}/res/setup_orbel.manifest"
    VERBATIM)

# The resource name of one payload file: variant prefix and base name, upper case.
function(orbel_payload_resource_name out variant file)
    get_filename_component(base "${file}" NAME_WLE)
    string(TOUPPER "${variant}_${base}" name)
    set(${out} "${name}" PARENT_SCOPE)
endfunction()

# Stops the configure step, naming every payload file of <dir> that is missing,
# unreadable or not a regular file (a FIFO or a device is never opened).
function(orbel_check_payload_dir dir)
    execute_process(COMMAND "${ORBEL_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/resource_object.py"
            --check-dir "${dir}" ${ORBEL_PAYLOAD_FILES}
        RESULT_VARIABLE failed ERROR_VARIABLE problems OUTPUT_QUIET)
    if(failed)
        message(FATAL_ERROR "ORBEL_PAYLOAD_DIR=${dir} lacks payload files that can be read:\n${problems}"
            "Expected 32/<name> and 64/<name>, regular files, for each of: ${ORBEL_PAYLOAD_FILES}")
    endif()
endfunction()

# orbel_add_core(<name> [<definition>...])
# The installer's code as an object library, compiled with these definitions
# (a test's variant: ORBEL_INSTALL_LOCK_WAIT_MS=<ms>, say).
function(orbel_add_core name)
    add_library(${name} OBJECT "${PROJECT_SOURCE_DIR}/setup_orbel.cpp" "${PROJECT_SOURCE_DIR}/shared_count.cpp"
        ${ORBEL_SHARED_SOURCES})
    orbel_core_settings(${name})
    target_compile_definitions(${name} PRIVATE ${ARGN})
endfunction()

# What the installer and the boot program share: the table, the files, the lock, the runner.
set(ORBEL_SHARED_SOURCES "${PROJECT_SOURCE_DIR}/install_table.cpp" "${PROJECT_SOURCE_DIR}/boot_registration.cpp"
    "${PROJECT_SOURCE_DIR}/place_file.cpp" "${PROJECT_SOURCE_DIR}/winsvc/winsvc.cpp"
    "${PROJECT_SOURCE_DIR}/winsvc/text.cpp")
function(orbel_core_settings target)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    orbel_windows_target(${target})
    # Neither throws nor uses run-time type information: left out, they keep the programs small.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
endfunction()

# The boot program every installer carries: the registrations after a restart.
function(orbel_add_boot_program)
    add_executable(setup_orbel_boot WIN32 "${PROJECT_SOURCE_DIR}/setup_orbel_boot.cpp" ${ORBEL_SHARED_SOURCES})
    orbel_core_settings(setup_orbel_boot)
    target_link_options(setup_orbel_boot PRIVATE -municode -Wl,--tsaware -s)
    set_target_properties(setup_orbel_boot PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
endfunction()

# orbel_add_installer(<target> PAYLOAD_DIR <dir> [OUTPUT_NAME <name>] [CORE <object library>]
#                     [BOOT_PROGRAM <target>] [OMIT <resource-name>...] [DEPENDS <target>...])
# An installer executable carrying the payloads of <dir>: RT_RCDATA resources
# "32_<BASENAME>" and "64_<BASENAME>", language 1033, bytes unchanged, and the
# boot program as "SETUP_ORBEL_BOOT" (setup_orbel_boot, or the signed copy
# BOOT_PROGRAM names). The payload table lands beside it as <name>.payloads.txt.
function(orbel_add_installer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "PAYLOAD_DIR;OUTPUT_NAME;CORE;BOOT_PROGRAM" "OMIT;DEPENDS")
    set(bootFile "$<TARGET_FILE:setup_orbel_boot>")
    set(bootTarget setup_orbel_boot)
    if(arg_BOOT_PROGRAM)
        set(bootFile "$<TARGET_PROPERTY:${arg_BOOT_PROGRAM},ORBEL_FILE>")
        set(bootTarget ${arg_BOOT_PROGRAM})
    endif()
    if(NOT arg_OUTPUT_NAME)
        set(arg_OUTPUT_NAME ${target})
    endif()
    if(NOT arg_CORE)
        set(arg_CORE orbel_core)
    endif()
    set(list "")
    foreach(file IN LISTS ORBEL_PAYLOAD_FILES)
        set(server 0)
        if(file IN_LIST ORBEL_REGISTERED_FILES)
            set(server 1)
        endif()
        foreach(variant 32 64)
            orbel_payload_resource_name(name ${variant} ${file})
            if(NOT name IN_LIST arg_OMIT)
                string(APPEND list "${name}\t1033\t${server}\t${arg_PAYLOAD_DIR}/${variant}/${file}\n")
            endif()
        endforeach()
    endforeach()
    set(listFile "${CMAKE_CURRENT_BINARY_DIR}/${target}.payloads.list")
    # Written as it is (a path may hold @NAME@), and only when it changed.
    file(WRITE "${listFile}.new" "${list}")
    configure_file("${listFile}.new" "${listFile}" COPYONLY)
    set(strict "")
    if(ORBEL_STRICT_PAYLOADS)
        set(strict --strict)
    endif()

    set(object "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.obj")
    set(table "${CMAKE_CURRENT_BINARY_DIR}/${arg_OUTPUT_NAME}.payloads.txt")
    add_custom_command(OUTPUT "${object}" "${table}"
        COMMAND "${ORBEL_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/resource_object.py"
            --res "${ORBEL_RES_DIR}/setup_orbel.res" --payloads "${listFile}"
            --program "SETUP_ORBEL_BOOT=${bootFile}"
            --output "${object}" --table "${table}" --depfile "${object}.d" ${strict}
        # A changed payload file rebuilds the executable: the payloads are named
        # in the depfile, since DEPENDS would split a path at each ";".
        DEPFILE "${object}.d"
        DEPENDS "${PROJECT_SOURCE_DIR}/tools/resource_object.py" "${ORBEL_RES_DIR}/setup_orbel.res"
            "${listFile}" ${bootTarget} ${arg_DEPENDS}
        COMMENT "Laying the payloads of ${arg_PAYLOAD_DIR} into ${arg_OUTPUT_NAME}.exe"
        VERBATIM)

    add_executable(${target} WIN32 "${object}")
    target_link_libraries(${target} PRIVATE ${arg_CORE})
    orbel_windows_target(${target})
    # wWinMain; GetWindowsDirectoryW names the shared Windows directory on
    # Remote Desktop hosts only for a terminal-server-aware program. Sections
    # that start on page boundaries in the file can be mapped as they are:
    # with the usual 512-byte alignment Wine copies the whole image, payloads
    # included, into private memory at every start.
    target_link_options(${target} PRIVATE -municode -Wl,--tsaware -Wl,--file-alignment=0x1000 -s)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME} LINKER_LANGUAGE CXX)
    if(arg_DEPENDS)
        add_dependencies(${target} ${arg_DEPENDS})
    endif()
endfunction()

# The osslsigncode command that signs IN into OUT with the key of PKCS12, in
# the variable named by out_var. The password is read from its file, never put
# on a command line.
function(orbel_sign_command out_var in out)
    cmake_parse_arguments(PARSE_ARGV 3 arg "" "PKCS12;PASSWORD_FILE;TIMESTAMP_URL" "")
    find_program(ORBEL_OSSLSIGNCODE osslsigncode)
    if(NOT ORBEL_OSSLSIGNCODE)
        message(FATAL_ERROR "Signing needs osslsigncode: apt-get install osslsigncode")
    endif()
    if(NOT arg_PASSWORD_FILE)
        message(FATAL_ERROR "Signing needs a password file (ORBEL_SIGN_PASSWORD_FILE)")
    endif()
    set(timestamp "")
    if(arg_TIMESTAMP_URL)
        set(timestamp -ts "${arg_TIMESTAMP_URL}")
    endif()
    set(${out_var} "${ORBEL_OSSLSIGNCODE}" sign -pkcs12 "${arg_PKCS12}" -readpass "${arg_PASSWORD_FILE}"
        -h sha256 -n setup_orbel ${timestamp} -in "${in}" -out "${out}" PARENT_SCOPE)
endfunction()

# orbel_sign_executable(<target> PKCS12 <file> PASSWORD_FILE <file> [TIMESTAMP_URL <url>])
# Signs the executable with Authenticode after each link, with Debian's osslsigncode.
function(orbel_sign_executable target)
    set(exe "$<TARGET_FILE:${target}>")
    orbel_sign_command(sign "${exe}" "${exe}.signed" ${ARGN})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -E rm -f "${exe}.signed"
        COMMAND ${sign}
        COMMAND "${CMAKE_COMMAND}" -E rename "${exe}.signed" "${exe}"
        COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
        VERBATIM)
endfunction()

# orbel_signed_boot_program(<target> PKCS12 <file> PASSWORD_FILE <file> [TIMESTAMP_URL <url>])
# A signed copy of the boot program, for an installer signed with the same key
# (BOOT_PROGRAM of orbel_add_installer): what the installer leaves behind as a
# LocalSystem service is then as trusted as the installer itself.
function(orbel_signed_boot_program target)
    set(signed "${CMAKE_CURRENT_BINARY_DIR}/${target}/setup_orbel_boot.exe")
    orbel_sign_command(sign "$<TARGET_FILE:setup_orbel_boot>" "${signed}.signing" ${ARGN})
    add_custom_command(OUTPUT "${signed}"
        COMMAND "${CMAKE_COMMAND}" -E rm -f "${signed}.signing"
        COMMAND ${sign}
        COMMAND "${CMAKE_COMMAND}" -E rename "${signed}.signing" "${signed}"
        DEPENDS setup_orbel_boot
        COMMENT "Signing the boot program for ${target}"
        VERBATIM)
    add_custom_target(${target} DEPENDS "${signed}")
    set_target_properties(${target} PROPERTIES ORBEL_FILE "${signed}")
endfunction()
