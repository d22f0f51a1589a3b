# Native tests: the POSIX forms, and the real Linux binaries against metersim.
set(OHM_METERSIM ${CMAKE_BINARY_DIR}/bin/metersim)
# The line shim in one build per word size, laid out so that the dynamic loader's $LIB token
# picks the one that fits the process it is preloaded into: 32-bit Wine programs take the
# i386 build, everything else the x86_64 one.
set(OHM_LINE_SHIM "${CMAKE_BINARY_DIR}/bin/$LIB/libline_shim.so")
set(OHM_NATIVE_BIN ${CMAKE_BINARY_DIR}/bin)
set(OHM_WINDOWS_BIN ${PROJECT_SOURCE_DIR}/build/windows-x64/bin)
# Under the sanitizers a preloaded library must come after the sanitizer's runtime, and a
# program that was not built with it (Python) needs the runtime preloaded.
set(OHM_PRELOAD_FIRST "")
if(OHM_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(OHM_PRELOAD_FIRST "${asan_runtime}:")
endif()
configure_file(support/test_paths.h.in ${CMAKE_CURRENT_BINARY_DIR}/generated/test_paths.h @ONLY)

add_library(line_shim SHARED shim/line_shim.cpp)
target_link_libraries(line_shim PRIVATE dl)
# The shim defines open() itself; the checked inline forms of the C library's headers would
# clash with it.
target_compile_options(line_shim PRIVATE -U_FORTIFY_SOURCE)
set_target_properties(line_shim PROPERTIES LIBRARY_OUTPUT_DIRECTORY
                                           ${CMAKE_BINARY_DIR}/bin/lib/x86_64-linux-gnu)
if(NOT OHM_SANITIZE)
    set(shim_i386 ${CMAKE_BINARY_DIR}/bin/lib/i386-linux-gnu/libline_shim.so)
    add_custom_command(OUTPUT ${shim_i386}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/lib/i386-linux-gnu
        COMMAND ${CMAKE_CXX_COMPILER} -m32 -std=c++17 -O2 -shared -fPIC -Wall -Wextra -Werror
                -o ${shim_i386} ${CMAKE_CURRENT_SOURCE_DIR}/shim/line_shim.cpp -ldl
        DEPENDS shim/line_shim.cpp
        COMMENT "Building the line shim for 32-bit processes")
    add_custom_target(line_shim_i386 ALL DEPENDS ${shim_i386})
    add_dependencies(line_shim line_shim_i386)
endif()
if(OHM_SANITIZE)
    # The shim wraps calls of sanitized programs; it stays uninstrumented itself.
    target_compile_options(line_shim PRIVATE -fno-sanitize=all)
    target_link_options(line_shim PRIVATE -fno-sanitize=all)
endif()
ohm_warnings(line_shim)

add_library(ohm_test_support STATIC support/process.cpp support/sim_meter.cpp support/pty_pair.cpp
            support/fake_node.cpp support/line_log.cpp support/wine_session.cpp)
target_include_directories(ohm_test_support PUBLIC support ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(ohm_test_support PUBLIC GTest::gtest)
add_dependencies(ohm_test_support metersim line_shim)
ohm_warnings(ohm_test_support)

add_library(ohm_sandboxed_main STATIC support/sandboxed_main.cpp)
target_link_libraries(ohm_sandboxed_main PUBLIC ohm_test_support)
ohm_warnings(ohm_sandboxed_main)

# --- link ---
ohm_test_program(link_tests link/port_table_tests.cpp link/serial_link_posix_tests.cpp
                 link/requested_settings_tests.cpp)
target_link_libraries(link_tests PRIVATE ohm_link ohm_pause_plain ohm_test_support GTest::gtest_main)
add_test(NAME link COMMAND link_tests --gtest_filter=-RequestedSettings.*)
add_test(NAME link_requested_settings COMMAND link_tests --gtest_filter=RequestedSettings.*)
set_tests_properties(link_requested_settings PROPERTIES ENVIRONMENT
    "LD_PRELOAD=${OHM_PRELOAD_FIRST}${OHM_LINE_SHIM}")

# --- meter ---
ohm_test_program(meter_tests meter/meter_frame_tests.cpp meter/meter_reading_tests.cpp)
target_link_libraries(meter_tests PRIVATE ohm_meter ohm_pause_plain ohm_test_support
                      GTest::gtest_main)
add_test(NAME meter COMMAND meter_tests)

# --- functions ---
ohm_test_program(functions_tests functions/catalogue_tests.cpp)
target_link_libraries(functions_tests PRIVATE ohm_catalogue ohm_pause_plain ohm_test_support
                      GTest::gtest_main)
add_test(NAME functions COMMAND functions_tests)

# --- cli ---
ohm_test_program(cli_tests cli/probe_parts_tests.cpp cli/probe_native_tests.cpp)
target_link_libraries(cli_tests PRIVATE ohm_probe_core ohm_pause_plain ohm_sandboxed_main)
add_dependencies(cli_tests ohmprobe)
add_test(NAME cli COMMAND cli_tests)
# Driver of the Windows ohmprobe under Wine; registered in the Windows trees.
ohm_test_program(cli_wine_tests cli/probe_wine_tests.cpp)
target_link_libraries(cli_wine_tests PRIVATE ohm_test_support GTest::gtest_main)
# Driver of ohmbridge.dll under Wine and Xvfb; registered in the Windows trees.
ohm_test_program(library_wine_tests library/bridge_wine_tests.cpp)
target_link_libraries(library_wine_tests PRIVATE ohm_test_support GTest::gtest_main)

# --- library ---
ohm_test_program(library_tests library/bridge_native_tests.cpp)
target_link_libraries(library_tests PRIVATE ohm_sandboxed_main)
add_dependencies(library_tests ohmbridge)
add_test(NAME library COMMAND library_tests)

# --- lister ---
ohm_test_program(lister_tests lister/ttylist_tests.cpp)
target_link_libraries(lister_tests PRIVATE ohm_sandboxed_main)
add_dependencies(lister_tests ttylist line_shim)
add_test(NAME lister COMMAND lister_tests)

# --- logger ---
ohm_test_program(logger_tests logger/log_parts_tests.cpp logger/ohmlog_tests.cpp)
target_link_libraries(logger_tests PRIVATE ohm_logger ohm_pause_plain ohm_sandboxed_main)
add_dependencies(logger_tests ohmlog)
# Its cases spend their time waiting for meters: three shards run side by side.
foreach(shard RANGE 2)
    add_test(NAME logger_${shard} COMMAND logger_tests)
    set_tests_properties(logger_${shard} PROPERTIES COST 50 ENVIRONMENT
        "GTEST_TOTAL_SHARDS=3;GTEST_SHARD_INDEX=${shard}")
endforeach()
# The examples of the man pages and the README, run as shown (Debian's mandoc renders the pages);
# they check the documents, which the sanitizers' tree would only check again.
if(NOT OHM_SANITIZE)
    add_test(NAME logger_examples COMMAND ${OHM_SANDBOX} --network python3
             ${CMAKE_CURRENT_SOURCE_DIR}/logger/examples_tests.py ${OHM_NATIVE_BIN}
             ${PROJECT_SOURCE_DIR})
endif()
# The page of ohmlog --serve in Debian's chromium, driven by playwright-core from npm
# (tests/package.json, installed by tests/run-all).
add_test(NAME logger_page COMMAND ${OHM_SANDBOX} --network node --test
         ${CMAKE_CURRENT_SOURCE_DIR}/logger/page_tests.mjs)
# ohmlog's publishers against real servers on loopback: Prometheus (with promtool) and a
# mosquitto broker with its mosquitto_sub (Debian's prometheus, mosquitto, mosquitto-clients).
add_test(NAME logger_publish COMMAND ${OHM_SANDBOX} --network node --test
         ${CMAKE_CURRENT_SOURCE_DIR}/logger/publish_tests.mjs)
set_tests_properties(logger_page logger_publish PROPERTIES LABELS served ENVIRONMENT
    "OHM_NATIVE_BIN=${OHM_NATIVE_BIN};TSAN_OPTIONS=halt_on_error=1 exitcode=66")
# Those packages' engines against the nodejs of Debian 12, which the README's test command uses.
add_test(NAME node_engines COMMAND node --test ${CMAKE_CURRENT_SOURCE_DIR}/node_engines_tests.mjs)
# Driver of the Windows ohmlog under Wine; registered in the Windows trees.
ohm_test_program(logger_wine_tests logger/ohmlog_wine_tests.cpp)
target_link_libraries(logger_wine_tests PRIVATE ohm_test_support GTest::gtest_main)
# The longest programs start first when tests run side by side.
set_tests_properties(library cli PROPERTIES COST 50)

# --- the service: systemd's template unit, verified as installed (Debian's systemd) ---
add_test(NAME service_unit COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/service/verify-unit
         ${PROJECT_SOURCE_DIR}/packaging/ohmlog@.service $<TARGET_FILE:ohmlog>
         ${PROJECT_SOURCE_DIR}/docs/man/ohmlog.1)

# --- benchmark (tools/benchmark runs it; not a test) ---
add_executable(reading_benchmark bench/reading_benchmark_posix.cpp bench/bench_readings.cpp
               bench/cpu_time_posix.cpp bench/serve_figures_posix.cpp)
target_link_libraries(reading_benchmark PRIVATE ohm_catalogue ohm_pause_plain ohm_test_support)
add_dependencies(reading_benchmark ohmprobe ohmlog)
ohm_warnings(reading_benchmark)
# The sanitizer tree runs neither the Windows tests' drivers nor the benchmark.
if(OHM_SANITIZE)
    set_target_properties(cli_wine_tests library_wine_tests logger_wine_tests reading_benchmark
                          PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
