# Checks at configure time for what the build needs, so that a machine without
# a package stops here, naming the Debian package to install, rather than
# half-way through compiling.
include(CheckIncludeFileCXX)

function(calltrail_require_header header package)
    string(MAKE_C_IDENTIFIER "CALLTRAIL_HAVE_${header}" found)
    check_include_file_cxx(${header} ${found})
    if(NOT ${found})
        message(FATAL_ERROR "calltrail needs <${header}>: install the Debian package ${package}")
    endif()
    # Checked by the tests against the packages the demo installs.
    set_property(GLOBAL APPEND PROPERTY CALLTRAIL_REQUIRED_HEADERS ${header})
endfunction()

# Imports a pkg-config module as calltrail::pkg::<module>.
function(calltrail_require_module module package)
    find_package(PkgConfig QUIET)
    if(NOT PKG_CONFIG_FOUND)
        message(FATAL_ERROR "calltrail needs pkg-config: install the Debian package pkg-config")
    endif()
    string(MAKE_C_IDENTIFIER "CALLTRAIL_PKG_${module}" prefix)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
    if(NOT ${prefix}_FOUND)
        message(FATAL_ERROR "calltrail needs ${module}: install the Debian package ${package}")
    endif()
    add_library(calltrail::pkg::${module} ALIAS PkgConfig::${prefix})
endfunction()
