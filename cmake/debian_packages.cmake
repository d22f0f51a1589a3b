# The Debian packages a check of the build names must be those that tools/build-packages lists,
# which the README's tools and tests/run-all install: a library added to the build without
# them stops here, not on a newcomer's fresh machine.
file(STRINGS ${PROJECT_SOURCE_DIR}/tools/build-packages ohm_build_packages REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/tools/build-packages)

function(ohm_needs_debian_package package)
    if(NOT package IN_LIST ohm_build_packages)
        message(FATAL_ERROR "${package} is needed by the build but not listed in "
                            "tools/build-packages: add it there")
    endif()
endfunction()
