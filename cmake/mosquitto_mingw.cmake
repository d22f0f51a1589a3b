# libmosquitto for the MinGW builds: Debian's source package of mosquitto (the version of the
# installed libmosquitto-dev, so that both systems' ohmlog speak through the same library),
# fetched at build time by cmake/fetch-debian-source and built with this tree's toolchain as a
# static library, the client library alone. Without TLS: its TLS is OpenSSL's, which is not
# built for MinGW here. Threads from MinGW's own winpthreads, linked statically like the rest.
# Gives the target ohm_mosquitto.
include(ExternalProject)

set(OHM_DEBIAN_SOURCE_CACHE ${PROJECT_SOURCE_DIR}/build/debian-sources CACHE PATH
    "Where Debian's source packages are kept once fetched, for every build tree")
set(mosquitto_dir ${CMAKE_BINARY_DIR}/mosquitto)
set(mosquitto_library ${mosquitto_dir}/build/lib/libmosquitto_static.a)
set(launchers "")
foreach(language C CXX)
    if(CMAKE_${language}_COMPILER_LAUNCHER)
        list(APPEND launchers -DCMAKE_${language}_COMPILER_LAUNCHER=${CMAKE_${language}_COMPILER_LAUNCHER})
    endif()
endforeach()

ExternalProject_Add(mosquitto_mingw
    PREFIX ${mosquitto_dir}
    SOURCE_DIR ${mosquitto_dir}/source
    BINARY_DIR ${mosquitto_dir}/build
    DOWNLOAD_COMMAND ${PROJECT_SOURCE_DIR}/cmake/fetch-debian-source mosquitto libmosquitto-dev
                     ${OHM_DEBIAN_SOURCE_CACHE} ${mosquitto_dir}/source
    UPDATE_COMMAND ""
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -S ${mosquitto_dir}/source -B ${mosquitto_dir}/build
        -G ${CMAKE_GENERATOR} -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
        -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" ${launchers}
        -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=OFF -DWITH_THREADING=ON -DWITH_SOCKS=OFF
        -DWITH_CJSON=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF
        -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${mosquitto_dir}/build --target libmosquitto_static
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${mosquitto_library})

# The headers are there once the source is fetched; the folder must be there before.
file(MAKE_DIRECTORY ${mosquitto_dir}/source/include)
add_library(ohm_mosquitto STATIC IMPORTED GLOBAL)
set_target_properties(ohm_mosquitto PROPERTIES
    IMPORTED_LOCATION ${mosquitto_library}
    INTERFACE_INCLUDE_DIRECTORIES ${mosquitto_dir}/source/include
    INTERFACE_COMPILE_DEFINITIONS LIBMOSQUITTO_STATIC
    INTERFACE_LINK_LIBRARIES "pthread;ws2_32")
add_dependencies(ohm_mosquitto mosquitto_mingw)

# Its licence goes with the binaries that hold it.
install(FILES ${mosquitto_dir}/source/LICENSE.txt ${mosquitto_dir}/source/edl-v10
              ${mosquitto_dir}/source/epl-v20 DESTINATION licences/mosquitto)
