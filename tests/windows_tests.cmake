# 64-bit Windows test programs, run under Wine by tests/rig/wine-session with simulated
# meters from the native build tree behind their COM ports. The 32-bit build is inspected.
set(OHM_METERSIM ${OHM_NATIVE_BUILD_DIR}/bin/metersim)
set(OHM_LINE_SHIM ${OHM_NATIVE_BUILD_DIR}/bin/libline_shim.so)
set(OHM_WINE_SESSION ${CMAKE_CURRENT_SOURCE_DIR}/rig/wine-session)

add_library(ohm_wine_rig STATIC support_win/wine_rig.cpp)
target_include_directories(ohm_wine_rig PUBLIC support_win)
ohm_warnings(ohm_wine_rig)

# Registers a test that runs COMMAND in a Wine session whose COM ports follow RIG
# (entries separated by "|", see tests/rig/wine-session).
function(ohm_wine_test name rig)
    add_test(NAME ${name} COMMAND ${OHM_WINE_SESSION} ${ARGN})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "OHM_METERSIM=${OHM_METERSIM};OHM_LINE_SHIM=${OHM_LINE_SHIM};OHM_RIG=${rig}")
endfunction()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    ohm_test_program(link_tests link/serial_link_win32_tests.cpp)
    target_link_libraries(link_tests PRIVATE ohm_link ohm_meter ohm_pause_plain ohm_wine_rig
                          GTest::gtest_main)
    target_link_options(link_tests PRIVATE -static)
    string(JOIN "|" link_rig
        "com3=sim"
        "com4=sim --silent"
        "com5=sim"
        "com6=/dev/null"
        "com7=/nonexistent/device"
        "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz1234567=sim")
    ohm_wine_test(link "${link_rig}" $<TARGET_FILE:link_tests>)
endif()
