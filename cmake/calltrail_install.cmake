include(CMakePackageConfigHelpers)

# Two components, as Debian splits a library: "runtime" is what a program
# loads, "development" what a build needs.
install(TARGETS ${CALLTRAIL_DELIVERABLES} EXPORT calltrailTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
# The offline symbolizer, a program of its own: "tools". A project that embeds
# calltrail installs the libraries only.
if(TARGET calltrail_symbolize AND PROJECT_IS_TOP_LEVEL)
    install(TARGETS calltrail_symbolize RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
# The error classes stay public so that callers can catch the conversion
# failure by its types; array, spellout, hex_address_text and throw_wrapped
# serve only the engine's own rendering.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/korvo/calltrail DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvo
    COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/korvo/exception.hpp ${PROJECT_SOURCE_DIR}/include/korvo/bad_spellout.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvo COMPONENT development)

set(CALLTRAIL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/calltrail)
install(EXPORT calltrailTargets NAMESPACE calltrail:: DESTINATION ${CALLTRAIL_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/calltrailConfig.cmake.in
    ${PROJECT_BINARY_DIR}/calltrailConfig.cmake INSTALL_DESTINATION ${CALLTRAIL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/calltrailConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/calltrailConfig.cmake ${PROJECT_BINARY_DIR}/calltrailConfigVersion.cmake
    DESTINATION ${CALLTRAIL_CMAKE_DIR} COMPONENT development)

# One pkg-config file per deliverable: the caller picks the library by name.
# The prefix is found from the file's own place, so an installed tree moves.
file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
set(CALLTRAIL_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
foreach(library ${CALLTRAIL_DELIVERABLES})
    set(CALLTRAIL_PC_LIBRARY ${library})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/calltrail.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
endforeach()
