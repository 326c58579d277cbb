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
