include(CMakePackageConfigHelpers)

# The install rules, as a function of what calltrail's own scope knows: when
# calltrail is embedded, its directory is excluded from its parent's "all",
# and CMake then drops the install rules made there, so they are made in the
# top directory instead. The libraries are built by "all" then, to be there.
function(calltrail_install_rules source_dir binary_dir version description deliverables static)
    # Two components, as Debian splits a library: "runtime" is what a program
    # loads, "development" what a build needs.
    install(TARGETS ${deliverables} EXPORT calltrailTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
    # The error classes stay public so that callers can catch the conversion
    # failure by its types; array, spellout, hex_address_text and
    # throw_wrapped serve only the engine's own rendering.
    install(DIRECTORY ${source_dir}/include/korvo/calltrail DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvo
        COMPONENT development)
    install(FILES ${source_dir}/include/korvo/exception.hpp ${source_dir}/include/korvo/bad_spellout.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvo COMPONENT development)

    set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/calltrail)
    install(EXPORT calltrailTargets NAMESPACE calltrail:: DESTINATION ${cmake_dir} COMPONENT development)
    configure_package_config_file(${source_dir}/cmake/calltrailConfig.cmake.in ${binary_dir}/calltrailConfig.cmake
        INSTALL_DESTINATION ${cmake_dir})
    write_basic_package_version_file(${binary_dir}/calltrailConfigVersion.cmake
        VERSION ${version} COMPATIBILITY SameMajorVersion)
    install(FILES ${binary_dir}/calltrailConfig.cmake ${binary_dir}/calltrailConfigVersion.cmake
        DESTINATION ${cmake_dir} COMPONENT development)

    # One pkg-config file per library: the caller picks the library by name.
    # Written when installed, so that its paths are those of the prefix the
    # install goes to, as they stand.
    # An archive's users link what it needs of the system, and on Windows
    # declare its operations without dllimport.
    set(static_libraries "")
    set(static_flags "")
    if(static)
        foreach(library ${CMAKE_DL_LIBS})
            string(APPEND static_libraries " -l${library}")
        endforeach()
        set(static_flags " -DKORVO_CALLTRAIL_STATIC")
    endif()
    foreach(library ${deliverables})
        set(pc ${binary_dir}/pkgconfig/${library}.pc)
        install(CODE "
            set(CALLTRAIL_PC_LIBRARY ${library})
            set(CALLTRAIL_PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
            set(CALLTRAIL_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
            set(CALLTRAIL_PC_LIBS [[${static_libraries}]])
            set(CALLTRAIL_PC_CFLAGS [[${static_flags}]])
            set(CALLTRAIL_PC_DESCRIPTION [[${description}]])
            set(CALLTRAIL_PC_VERSION ${version})
            set(CALLTRAIL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
            configure_file([[${source_dir}/cmake/calltrail.pc.in]] [[${pc}]] @ONLY)"
            COMPONENT development)
        install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
    endforeach()
endfunction()

set(calltrail_install_arguments "")
foreach(value IN ITEMS "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}" "${PROJECT_VERSION}" "${PROJECT_DESCRIPTION}"
                       "${CALLTRAIL_DELIVERABLES}" "${CALLTRAIL_STATIC}")
    string(APPEND calltrail_install_arguments " [==[${value}]==]")
endforeach()
if(PROJECT_IS_TOP_LEVEL)
    cmake_language(EVAL CODE "calltrail_install_rules(${calltrail_install_arguments})")
    # The offline symbolizer, a program of its own: "tools". A project that
    # embeds calltrail installs the libraries only.
    if(TARGET calltrail_symbolize)
        install(TARGETS calltrail_symbolize RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    endif()
else()
    set_target_properties(${CALLTRAIL_DELIVERABLES} PROPERTIES EXCLUDE_FROM_ALL FALSE)
    # A deferred call takes its arguments as they stand when it runs, in the
    # top directory's scope: the values are written into the call here.
    cmake_language(EVAL CODE
        "cmake_language(DEFER DIRECTORY [==[${CMAKE_SOURCE_DIR}]==] CALL calltrail_install_rules${calltrail_install_arguments})")
endif()
