# Debian packages as Debian splits a library, built by `cpack -G DEB` in the
# build tree: libcalltrail0 holds the four shared libraries, libcalltrail-dev
# the headers, the link-time names, the CMake package and pkg-config files,
# calltrail-tools the offline symbolizer.
set(CPACK_PACKAGE_NAME calltrail)
set(CPACK_PACKAGE_VENDOR korvo)
set(CPACK_PACKAGE_CONTACT "calltrail developers <calltrail@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET calltrail_symbolize)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(calltrail_runtime_package libcalltrail${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${calltrail_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# libc6 2.35 or later: the stack walk finds objects with _dl_find_object.
# zlib, libzstd and liblzma are opened when a form of debug information
# compressed with them is first read, so no linker-derived list names them.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libc6 (>= 2.35), libstdc++6, libgcc-s1, zlib1g, libzstd1, liblzma5")
# ISA-L inflates zlib sections about twice as fast where it is installed.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libisal2")
# shlibs for packages built against it. The scripts run ldconfig as CPack's
# own would, except in an install into another root.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/postinst
    ${PROJECT_SOURCE_DIR}/cmake/deb/postrm)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "${PROJECT_DESCRIPTION} (shared libraries)")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libcalltrail-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${calltrail_runtime_package} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "${PROJECT_DESCRIPTION} (development files)")

# The symbolizer is wanted where crash reports are read (a developer's
# machine, a server that collects reports), which need neither the headers
# nor the libraries: it carries the readers it is built from. Its
# decompressors are opened as the library's are; libdebuginfod only for
# --debuginfod.
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME calltrail-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.35), libstdc++6, libgcc-s1, zlib1g, libzstd1, liblzma5")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libdebuginfod1")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "${PROJECT_DESCRIPTION} (calltrail-symbolize, the offline symbolizer)")

set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
