include(CMakePackageConfigHelpers)

install(TARGETS ${CALLTRAIL_DELIVERABLES} EXPORT calltrailTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/korvo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(CALLTRAIL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/calltrail)
install(EXPORT calltrailTargets NAMESPACE calltrail:: DESTINATION ${CALLTRAIL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/calltrailConfig.cmake.in
    ${PROJECT_BINARY_DIR}/calltrailConfig.cmake INSTALL_DESTINATION ${CALLTRAIL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/calltrailConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/calltrailConfig.cmake ${PROJECT_BINARY_DIR}/calltrailConfigVersion.cmake
    DESTINATION ${CALLTRAIL_CMAKE_DIR})

# One pkg-config file per deliverable: the caller picks the library by name.
# The prefix is found from the file's own place, so an installed tree moves.
file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
set(CALLTRAIL_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
foreach(library ${CALLTRAIL_DELIVERABLES})
    set(CALLTRAIL_PC_LIBRARY ${library})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/calltrail.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# A Debian package of the four libraries, headers, CMake package and
# pkg-config files: `cpack -G DEB` in the build tree.
set(CPACK_PACKAGE_NAME calltrail)
set(CPACK_PACKAGE_VENDOR korvo)
set(CPACK_PACKAGE_CONTACT "calltrail developers <calltrail@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# libc6 2.35 or later: the stack walk finds objects with _dl_find_object.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.35), libstdc++6, libgcc-s1, libelf1, zlib1g")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
