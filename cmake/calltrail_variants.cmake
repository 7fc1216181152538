# The two runtime variants of every deliverable. GCC and mingw-w64 have no
# separate debug runtime, so there the debug variant means unoptimised code with
# assertions on, including the standard library's; on MSVC it is /MDd.
# Each variant sets its own optimisation and NDEBUG, whatever the build type.
# MSVC's per-configuration defaults would clash with them (/RTC1 is an error
# next to /O2), so they are dropped there.
if(MSVC)
    foreach(config DEBUG RELEASE RELWITHDEBINFO MINSIZEREL)
        string(REGEX REPLACE "/RTC[1csu]*|/O[12bdxt][0-9]*|/D ?NDEBUG|/Zi|/Z7" "" CMAKE_CXX_FLAGS_${config}
            "${CMAKE_CXX_FLAGS_${config}}")
    endforeach()
endif()

function(calltrail_apply_variant target variant)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
        if(variant STREQUAL "debug")
            set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreadedDebugDLL")
            target_compile_options(${target} PRIVATE /Od /Zi /UNDEBUG)
        else()
            set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreadedDLL")
            target_compile_options(${target} PRIVATE /O2)
            target_compile_definitions(${target} PRIVATE NDEBUG)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
        if(variant STREQUAL "debug")
            # -UNDEBUG wins over a build type's -DNDEBUG, which comes first.
            target_compile_options(${target} PRIVATE -O0 -g -UNDEBUG)
            target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
        else()
            target_compile_options(${target} PRIVATE -O2)
            target_compile_definitions(${target} PRIVATE NDEBUG)
        endif()
    endif()
endfunction()

# Suffix of a variant's deliverable names.
function(calltrail_variant_suffix variant out)
    if(variant STREQUAL "debug")
        set(${out} "_d" PARENT_SCOPE)
    else()
        set(${out} "" PARENT_SCOPE)
    endif()
endfunction()
