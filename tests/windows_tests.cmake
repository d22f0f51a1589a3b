# 64-bit Windows test programs, run under Wine by tests/rig/wine-session with simulated
# meters from the native build tree behind their COM ports. The 32-bit build is inspected.
set(OHM_METERSIM ${OHM_NATIVE_BUILD_DIR}/bin/metersim)
set(OHM_LINE_SHIM ${OHM_NATIVE_BUILD_DIR}/bin/libline_shim.so)
set(OHM_WINE_SESSION ${CMAKE_CURRENT_SOURCE_DIR}/rig/wine-session)

# Registers a test that runs COMMAND in a Wine session whose COM ports follow RIG
# (entries separated by "|", see tests/rig/wine-session).
function(ohm_wine_test name rig)
    add_test(NAME ${name} COMMAND ${OHM_WINE_SESSION} ${ARGN})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "OHM_METERSIM=${OHM_METERSIM};OHM_LINE_SHIM=${OHM_LINE_SHIM};OHM_RIG=${rig};OHM_WINDOWS_BIN=${CMAKE_BINARY_DIR}/bin")
endfunction()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_library(ohm_wine_rig STATIC support_win/wine_rig.cpp)
    target_include_directories(ohm_wine_rig PUBLIC support_win)
    ohm_warnings(ohm_wine_rig)

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

    ohm_test_program(meter_tests meter/meter_frame_tests.cpp)
    target_link_libraries(meter_tests PRIVATE ohm_meter_frame GTest::gtest_main)
    target_link_options(meter_tests PRIVATE -static)
    ohm_wine_test(meter "" $<TARGET_FILE:meter_tests>)
endif()

# The Windows programs end to end, driven by native test programs of the native tree.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    ohm_wine_test(cli "" ${OHM_NATIVE_BUILD_DIR}/bin/cli_wine_tests)
endif()

# The 32-bit binaries cannot run here: their headers and code are inspected.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(binaries ${CMAKE_CURRENT_SOURCE_DIR}/binaries)
    add_test(NAME ohmprobe_is_a_console_program_needing_only_system_dlls
             COMMAND ${binaries}/check-imports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmprobe> pei-i386 3)
    add_test(NAME ohmbridge_is_a_dll_needing_only_system_dlls
             COMMAND ${binaries}/check-imports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmbridge> pei-i386 dll)
    add_test(NAME ohmbridge_exports_54_stdcall_functions
             COMMAND ${binaries}/check-exports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmbridge> --x86)
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # A host program that loads ohmbridge.dll, for the library's driver.
    add_executable(bridge_host library/bridge_host.cpp)
    target_include_directories(bridge_host PRIVATE ${PROJECT_SOURCE_DIR}/library)
    target_link_options(bridge_host PRIVATE -static)
    ohm_warnings(bridge_host)
    add_dependencies(bridge_host ohmbridge)

    add_test(NAME ohmbridge_exports_the_54_names
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/binaries/check-exports ${CMAKE_OBJDUMP}
                     $<TARGET_FILE:ohmbridge>)
    ohm_wine_test(library "" ${OHM_NATIVE_BUILD_DIR}/bin/library_wine_tests)

    # The reading path under Wine, with the library's pause (tools/benchmark runs it).
    add_executable(reading_benchmark bench/reading_benchmark_win32.cpp bench/bench_readings.cpp
                   bench/cpu_time_win32.cpp)
    target_link_libraries(reading_benchmark PRIVATE ohm_meter ohm_pause_fine)
    target_link_options(reading_benchmark PRIVATE -static)
    ohm_warnings(reading_benchmark)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/artefacts)
    set_property(TEST library APPEND PROPERTY ENVIRONMENT
        "OHM_WINE_DISPLAY=1;OHM_ARTEFACT_DIR=${CMAKE_BINARY_DIR}/artefacts")
endif()
