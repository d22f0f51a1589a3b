// The reading path natively: readings through the POSIX link from simulated meters that
// answer at once, never, or after 650 ms; the cost of a catalogue call that does not measure;
// ohmprobe as a whole process; and ohmlog's pace, CPU share and stop. Runs in tests/rig/sandbox
// (it binds a fake /dev/ttyS0).
//   reading_benchmark
#include "bench_readings.h"

#include "catalogue.h"
#include "fake_node.h"
#include "process.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <sys/resource.h>

namespace {

// Nanoseconds per call of two catalogue functions that answer from memory.
double catalogue_call_ns()
{
    driver::Catalogue catalogue{driver::BehaviourSet::library};
    constexpr int calls = 5000000;
    volatile std::int32_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        sink = sink + driver::rsb(catalogue, i & 7);
        sink = sink + driver::stdtitre(catalogue)[0];
    }
    const double total_ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return total_ns / (2.0 * calls);
}

double probe_process_ms(const std::vector<std::string>& parameters, int runs)
{
    std::vector<double> wall_ms;
    for (int i = 0; i < runs; ++i) {
        Launch launch;
        launch.argv = {OHM_NATIVE_BIN "/ohmprobe"};
        launch.argv.insert(launch.argv.end(), parameters.begin(), parameters.end());
        wall_ms.push_back(run_process(launch).seconds * 1000.0);
    }
    return median(wall_ms);
}

double children_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ohmlog against a meter at its default pacing: readings a second and the share of one core,
// then how long it takes to end after Ctrl-C.
void ohmlog_figures(const std::string& device)
{
    constexpr int readings = 40;
    Launch launch;
    launch.argv = {OHM_NATIVE_BIN "/ohmlog", "-n", std::to_string(readings), device};
    const double cpu_before = children_cpu_seconds();
    const ProcessResult run = run_process(launch);
    const double cpu = children_cpu_seconds() - cpu_before;
    report("ohmlog_rate_per_s", readings / run.seconds);
    report("ohmlog_cpu_percent", 100.0 * cpu / run.seconds);

    std::vector<double> stop_ms;
    for (int i = 0; i < 5; ++i) {
        launch.argv = {OHM_NATIVE_BIN "/ohmlog", device};
        BackgroundProcess log(launch);
        log.read_line(5000);
        log.read_line(5000);
        // Ctrl-C at any point of an exchange: spread over one reading's time.
        std::this_thread::sleep_for(std::chrono::milliseconds(60 * i));
        const double start = monotonic_seconds();
        kill(log.pid(), SIGINT);
        log.wait(5000);
        stop_ms.push_back(seconds_since(start) * 1000.0);
    }
    report("ohmlog_stop_max_ms", *std::max_element(stop_ms.begin(), stop_ms.end()));
}

} // namespace

int main()
{
    if (!in_private_dev()) {
        std::fprintf(stderr, "reading_benchmark: run me inside tests/rig/sandbox\n");
        return 2;
    }
    SimMeter prompt_meter;
    SimMeter silent_meter({"--silent"});
    SimMeter late_meter({"--delay", "650"});

    const Timings prompt = time_readings(prompt_meter.path(), 15);
    report("prompt_median_ms", prompt.median_ms);
    report("prompt_max_ms", prompt.max_ms);
    report("cpu_ms_per_reading", prompt.cpu_ms_per_reading);
    const Timings silent = time_readings(silent_meter.path(), 7);
    report("silent_median_ms", silent.median_ms);
    report("silent_max_ms", silent.max_ms);
    const Timings late = time_readings(late_meter.path(), 7);
    report("late_median_ms", late.median_ms);
    report("late_max_ms", late.max_ms);
    report("catalogue_call_ns", catalogue_call_ns());

    ohmlog_figures(prompt_meter.path());
    report("probe_titre_ms", probe_process_ms({"titre"}, 51));
    const FakeNode com1("ttyS0", prompt_meter.path());
    report("probe_ead_ms", probe_process_ms({"ead", "10"}, 7));
    return 0;
}
