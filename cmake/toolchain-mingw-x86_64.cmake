# 64-bit Windows: the same code, runnable on this machine under Wine's 64-bit loader.
set(OHM_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
