# What `cmake --install` lays out. Linux: the programs in bin/, libohmbridge.so with its
# SONAME and its header, the man pages and the documents under share/. Windows: one folder
# with the programs, ohmbridge.dll, its .def, header and import library, the README and docs/,
# ohmlog's manual among them as HTML.
# The README sits above docs/ as in the sources, so that its links lead to what they name.
include(GNUInstallDirs)

set(OHM_DOCUMENTS ${PROJECT_SOURCE_DIR}/docs/functions.md ${PROJECT_SOURCE_DIR}/docs/real-meter.md
                  ${PROJECT_SOURCE_DIR}/docs/benchmark.md
                  ${PROJECT_SOURCE_DIR}/docs/ohmlog-example.svg
                  ${PROJECT_SOURCE_DIR}/docs/ohmlog-discharge.svg
                  ${PROJECT_SOURCE_DIR}/docs/ohmlog-page.png
                  ${PROJECT_SOURCE_DIR}/docs/ohmlog.logrotate)

if(WIN32)
    install(TARGETS ohmprobe ohmlog RUNTIME DESTINATION .)
    install(TARGETS ohmbridge RUNTIME DESTINATION . ARCHIVE DESTINATION .)
    install(FILES library/ohmbridge.def library/ohmbridge.h DESTINATION .)
    install(FILES README.md DESTINATION .)
    install(FILES ${OHM_DOCUMENTS} ${CMAKE_BINARY_DIR}/docs/ohmlog.html DESTINATION docs)
    install(FILES docs/copyright RENAME copyright.txt DESTINATION .)
    return()
endif()

install(TARGETS ohmprobe ohmlog ttylist metersim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set_target_properties(ohmbridge PROPERTIES VERSION ${PROJECT_VERSION}
                                           SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS ohmbridge LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES library/ohmbridge.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Man pages (mdoc, checked by mandoc -T lint) and the changelog are shipped compressed, as
# Debian wants them; gzip -n keeps the result the same from build to build.
find_program(OHM_GZIP gzip REQUIRED)
set(compressed)
foreach(page IN ITEMS ohmprobe.1 ohmlog.1 ttylist.1 metersim.1 ohmbridge.3 changelog)
    if(page STREQUAL "changelog")
        set(source ${PROJECT_SOURCE_DIR}/docs/changelog)
    elseif(page STREQUAL "ohmlog.1")
        set(source ${CMAKE_BINARY_DIR}/docs/ohmlog.1) # as this build has it (logger/)
    else()
        set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
    endif()
    set(output ${CMAKE_BINARY_DIR}/compressed/${page}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/compressed
        COMMAND ${OHM_GZIP} -9nc ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${output})
    if(page MATCHES "\\.([0-9])$")
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1})
    else()
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
endforeach()
add_custom_target(compressed_documents ALL DEPENDS ${compressed})
add_dependencies(compressed_documents ohmlog_manual)

install(FILES README.md docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${OHM_DOCUMENTS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
# ohmlog as a service: systemd's template unit where Debian keeps units, an example of its
# file of options, and a logrotate example; the maintainer scripts make its user.
install(FILES packaging/ohmlog@.service DESTINATION lib/systemd/system)
install(FILES packaging/bench.conf.example DESTINATION /etc/ohmlog)
install(FILES docs/ohmlog.logrotate DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES packaging/lintian-overrides RENAME ohm
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)
