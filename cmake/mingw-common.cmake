# Shared part of the MinGW toolchain files; OHM_MINGW_TRIPLE names the cross compiler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

foreach(tool IN ITEMS gcc g++ windres objdump)
    string(TOUPPER "${tool}" tool_var)
    string(REPLACE "+" "X" tool_var "${tool_var}")
    find_program(OHM_MINGW_${tool_var} NAMES ${OHM_MINGW_TRIPLE}-${tool}-posix ${OHM_MINGW_TRIPLE}-${tool})
    if(NOT OHM_MINGW_${tool_var})
        message(FATAL_ERROR
            "Cross tool ${OHM_MINGW_TRIPLE}-${tool} not found. On Debian install "
            "g++-mingw-w64-i686-posix and g++-mingw-w64-x86-64-posix (tests/run-all installs them).")
    endif()
endforeach()

set(CMAKE_C_COMPILER ${OHM_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${OHM_MINGW_GXX})
set(CMAKE_RC_COMPILER ${OHM_MINGW_WINDRES})
set(CMAKE_OBJDUMP ${OHM_MINGW_OBJDUMP})

set(CMAKE_FIND_ROOT_PATH /usr/${OHM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
