# Packages, made by `cmake --build --preset P --target package` into build/P/packages: a .deb
# for Linux, a ZIP for each Windows build (win32 is the form data-acquisition programs load).
set(CPACK_PACKAGE_NAME ohm)
set(CPACK_PACKAGE_VENDOR "The ohm developers")
set(CPACK_PACKAGE_CONTACT "The ohm developers <ohm-dev@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver and logger for the MAS-345 digital multimeter")
set(CPACK_PACKAGE_DESCRIPTION
    "Reads the Mastech MAS-345 digital multimeter on its RS-232 line.
ohmprobe answers one driver-function query per run; libohmbridge
offers the 54 driver functions to data-acquisition programs; ohmlog
records readings continuously as CSV with exact SI values, and plots
them; ttylist lists the serial ports that open; metersim simulates the
meter on a pseudo-terminal, for trying things without one.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_SYSTEM_NAME win32)
    else()
        set(CPACK_SYSTEM_NAME win64)
    endif()
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # Depends from the shared libraries the binaries link (dpkg-shlibdeps). libohmbridge gets
    # a shlibs file and the ldconfig trigger that Debian asks for today; CPack adds maintainer
    # scripts that call ldconfig as well (see packaging/lintian-overrides).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(control ${CMAKE_BINARY_DIR}/debian-control)
    file(WRITE ${control}/shlibs
         "libohmbridge ${PROJECT_VERSION_MAJOR} ohm (>= ${PROJECT_VERSION})\n")
    file(WRITE ${control}/triggers "activate-noawait ldconfig\n")
    # ohmlog's service: the user made by postinst (with adduser) and left by postrm, its
    # instances stopped by prerm on removal and restarted by postinst on upgrade; the
    # example of its options a configuration file of the package. Our own maintainer scripts
    # replace CPack's, which only called ldconfig: the trigger above does that.
    file(WRITE ${control}/conffiles "/etc/ohmlog/bench.conf.example\n")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control}/shlibs ${control}/triggers
        ${control}/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
        ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
