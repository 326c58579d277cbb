# Compile and link settings shared by every Windows binary of the project.

# UTF-16 Windows interfaces, Vista and later, C and C++ runtimes linked in so
# that a binary imports Windows' own DLLs only, and no link timestamp.
function(orbel_windows_target target)
    target_compile_definitions(${target} PRIVATE
        UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -ffunction-sections -fdata-sections>)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "OBJECT_LIBRARY")
        target_link_options(${target} PRIVATE
            -static -Wl,--gc-sections -Wl,--no-insert-timestamp
            -Wl,--dynamicbase -Wl,--nxcompat -Wl,--enable-stdcall-fixup)
    endif()
endfunction()

# orbel_add_installer(<target> PAYLOAD_DIR <dir> [OUTPUT_NAME <name>]
#                     [OMIT <resource-name>...] [DEPENDS <target>...])
# An installer executable carrying the payloads of <dir>.
function(orbel_add_installer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "PAYLOAD_DIR;OUTPUT_NAME" "OMIT;DEPENDS")
    set(rcFile "${CMAKE_CURRENT_BINARY_DIR}/${target}_payloads.rc")
    orbel_payload_rc(payloadFiles "${rcFile}" "${arg_PAYLOAD_DIR}" OMIT ${arg_OMIT})
    # A changed payload file rebuilds the executable.
    set_source_files_properties("${rcFile}" PROPERTIES OBJECT_DEPENDS "${payloadFiles}")

    add_executable(${target} WIN32 "${rcFile}")
    target_link_libraries(${target} PRIVATE orbel_core)
    orbel_windows_target(${target})
    # wWinMain; GetWindowsDirectoryW names the shared Windows directory on
    # Remote Desktop hosts only for a terminal-server-aware program.
    target_link_options(${target} PRIVATE -municode -Wl,--tsaware -s)
    if(arg_OUTPUT_NAME)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
    endif()
    if(arg_DEPENDS)
        add_dependencies(${target} ${arg_DEPENDS})
    endif()
endfunction()
