# Windows test programs, the same for the 32-bit and the 64-bit build, run under Wine by
# tests/rig/wine-session with simulated meters from the native build tree behind their COM
# ports. Wine's 64-bit loader hands a 32-bit program to the 32-bit one (Debian's wine32), so
# the same command runs either build. The 32-bit binaries are also inspected (label
# "inspection"); everything else carries the label "wine".
set(OHM_METERSIM ${OHM_NATIVE_BUILD_DIR}/bin/metersim)
set(OHM_LINE_SHIM "${OHM_NATIVE_BUILD_DIR}/bin/$LIB/libline_shim.so")
set(OHM_WINE_SESSION ${CMAKE_CURRENT_SOURCE_DIR}/rig/wine-session)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(OHM_WINDOWS_ARCH x86)
else()
    set(OHM_WINDOWS_ARCH x64)
endif()

# Registers a test that runs COMMAND in a Wine session whose COM ports follow RIG
# (entries separated by "|", see tests/rig/wine-session).
function(ohm_wine_test name rig)
    add_test(NAME ${name} COMMAND ${OHM_WINE_SESSION} ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS wine ENVIRONMENT
        "OHM_METERSIM=${OHM_METERSIM};OHM_LINE_SHIM=${OHM_LINE_SHIM};OHM_RIG=${rig};OHM_WINDOWS_BIN=${CMAKE_BINARY_DIR}/bin;OHM_WINDOWS_ARCH=${OHM_WINDOWS_ARCH}")
endfunction()

function(ohm_inspection name)
    add_test(NAME ${name} COMMAND ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS inspection)
endfunction()

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

# The Windows programs end to end, driven by native test programs of the native tree.
ohm_wine_test(cli "" ${OHM_NATIVE_BUILD_DIR}/bin/cli_wine_tests)
# The service's cases and MQTT's in sessions of their own, beside the others.
set(logger_wine_tests ${OHM_NATIVE_BUILD_DIR}/bin/logger_wine_tests)
ohm_wine_test(logger "" ${logger_wine_tests} --gtest_filter=-*Service*:*Mqtt*)
ohm_wine_test(logger_service "" ${logger_wine_tests} --gtest_filter=*Service*)
ohm_wine_test(logger_mqtt "" ${logger_wine_tests} --gtest_filter=*Mqtt*)
# Their brokers and servers on the session's own loopback, where a broker's name is not found.
set_property(TEST logger logger_service logger_mqtt APPEND PROPERTY ENVIRONMENT
             "OHM_WINE_PRIVATE_NETWORK=1")

# A host program that loads ohmbridge.dll, for the library's driver.
add_executable(bridge_host library/bridge_host.cpp library/stack_check_${OHM_WINDOWS_ARCH}.cpp)
target_include_directories(bridge_host PRIVATE ${PROJECT_SOURCE_DIR}/library)
target_link_libraries(bridge_host PRIVATE gdi32)
target_link_options(bridge_host PRIVATE -static)
ohm_warnings(bridge_host)
add_dependencies(bridge_host ohmbridge)
ohm_wine_test(library "" ${OHM_NATIVE_BUILD_DIR}/bin/library_wine_tests)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/artefacts)
set_property(TEST library APPEND PROPERTY ENVIRONMENT
    "OHM_WINE_DISPLAY=1;OHM_ARTEFACT_DIR=${CMAKE_BINARY_DIR}/artefacts")

set(binaries ${CMAKE_CURRENT_SOURCE_DIR}/binaries)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # What a 32-bit host relies on, read from the binaries themselves: cheap, and it runs
    # where 32-bit programs cannot.
    ohm_inspection(ohmprobe_is_a_console_program_needing_only_system_dlls
        ${binaries}/check-imports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmprobe> pei-i386 3)
    ohm_inspection(ohmlog_is_a_console_program_needing_only_system_dlls
        ${binaries}/check-imports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmlog> pei-i386 3)
    ohm_inspection(ohmbridge_is_a_dll_needing_only_system_dlls
        ${binaries}/check-imports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmbridge> pei-i386 dll)
    ohm_inspection(ohmbridge_exports_54_stdcall_functions
        ${binaries}/check-exports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmbridge> --x86)
else()
    ohm_inspection(ohmbridge_exports_the_54_names
        ${binaries}/check-exports ${CMAKE_OBJDUMP} $<TARGET_FILE:ohmbridge>)

    # The reading path under Wine, with the library's pause (tools/benchmark runs it).
    add_executable(reading_benchmark bench/reading_benchmark_win32.cpp bench/bench_readings.cpp
                   bench/cpu_time_win32.cpp)
    target_link_libraries(reading_benchmark PRIVATE ohm_meter ohm_pause_fine)
    target_link_options(reading_benchmark PRIVATE -static)
    ohm_warnings(reading_benchmark)
endif()
