// The reading path natively: readings through the POSIX link from simulated meters that
// answer at once, never, or after 650 ms; the cost of a catalogue call that does not measure;
// ohmprobe as a whole process; and ohmlog's pace (against meters that need a request repeated
// too), CPU share, stop, wait for a lost port, memory and plot over a million readings. Runs
// in tests/rig/sandbox (it binds a fake /dev/ttyS0).
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
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

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

// ohmlog's readings a second against a meter, how many of its rows hold no reading, and how
// many requests it sent a row.
void ohmlog_pace(const std::string& name, const std::vector<std::string>& meter_options,
                 int readings)
{
    SimMeter meter(meter_options);
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog", "-n", std::to_string(readings),
                   meter.path()};
    const ProcessResult run = run_process(launch);
    int ok_rows = 0;
    for (std::size_t at = run.out.find(",ok,"); at != std::string::npos;
         at = run.out.find(",ok,", at + 1)) {
        ++ok_rows;
    }
    report("ohmlog_" + name + "_rate_per_s", readings / run.seconds);
    report("ohmlog_" + name + "_missing", readings - ok_rows);
    report("ohmlog_" + name + "_requests_per_row",
           static_cast<double>(meter.received().size()) / readings);
}

// The request times (elapsed seconds) of a CSV's rows, of one meter when it names one.
std::vector<double> request_times(const std::string& csv, char meter = 0)
{
    std::istringstream rows(csv);
    std::vector<double> times;
    for (std::string row; std::getline(rows, row);) {
        if (row[0] != 't' && (meter == 0 || row[row.size() - 2] == meter)) {
            times.push_back(std::stod(row.substr(row.find(',') + 1)));
        }
    }
    return times;
}

// Readings a second from the first row's request to the last one's: without the start.
double pace_of(const std::vector<double>& times)
{
    return times.size() > 1 ? static_cast<double>(times.size() - 1) / (times.back() - times.front())
                            : 0.0;
}

// Today's ohmlog beside the 37d0299 build (OHM_BASELINE_OHMLOG, which tools/benchmark builds
// in a temporary worktree) against the same healthy meters, each build three times in turn:
// the middle pace of each, and their ratio.
void ohmlog_beside_37d0299()
{
    const char* baseline = std::getenv("OHM_BASELINE_OHMLOG");
    if (baseline == nullptr) {
        return;
    }
    const std::pair<const char*, std::vector<std::string>> meters[] = {
        {"ready", {}}, {"delay_100", {"--delay", "100"}}, {"at_once", {"--delay", "0"}}};
    for (const auto& [name, options] : meters) {
        SimMeter meter(options);
        std::vector<double> paces[2];
        for (int round = 0; round < 6; ++round) {
            Launch launch;
            launch.argv = {round % 2 == 0 ? OHM_NATIVE_BIN "/ohmlog" : baseline, "-n", "60",
                           meter.path()};
            paces[round % 2].push_back(pace_of(request_times(run_process(launch).out)));
        }
        report(std::string("pace_") + name + "_now_per_s", median(paces[0]));
        report(std::string("pace_") + name + "_37d0299_per_s", median(paces[1]));
        report(std::string("pace_") + name + "_ratio", median(paces[0]) / median(paces[1]));
    }
}

// Beside a ready meter, one that floods its line without a line end: how soon Ctrl-C ends the
// run (the slowest of 5), the longest wait between two of the flooding meter's rows, and the
// ready meter's pace meanwhile.
void ohmlog_flood_figures()
{
    const std::string csv = make_temp_dir("ohm-bench") + "/run.csv";
    std::vector<double> stop_ms;
    std::vector<double> ready_paces;
    double longest_s = 0.0;
    for (int i = 0; i < 5; ++i) {
        SimMeter ready;
        SimMeter flood({"--stream", "--reading", "xxxxxxxxxxxxx", "--cut", "13", "--char-ms", "0"});
        Launch launch;
        launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog",
                       "-o",
                       csv,
                       "--force",
                       "--plot",
                       csv + ".svg",
                       "H=" + ready.path(),
                       "F=" + flood.path()};
        BackgroundProcess log(launch);
        std::this_thread::sleep_for(std::chrono::milliseconds(4000 + 150 * i));
        const double start = monotonic_seconds();
        kill(log.pid(), SIGINT);
        log.wait(20000);
        stop_ms.push_back(seconds_since(start) * 1000.0);
        const std::vector<double> flooded = request_times(read_file(csv), 'F');
        for (std::size_t k = 1; k < flooded.size(); ++k) {
            longest_s = std::max(longest_s, flooded[k] - flooded[k - 1]);
        }
        ready_paces.push_back(pace_of(request_times(read_file(csv), 'H')));
    }
    report("ohmlog_flood_stop_max_ms", *std::max_element(stop_ms.begin(), stop_ms.end()));
    report("ohmlog_flood_longest_gap_s", longest_s);
    report("ohmlog_flood_ready_rate_per_s", median(ready_paces));
    remove_tree(csv.substr(0, csv.rfind('/')));
}

// ohmlog against a meter at its default pacing: readings a second and the share of one core,
// then how long it takes to end after Ctrl-C. Gives that share.
double ohmlog_figures(const std::string& device)
{
    constexpr int readings = 40;
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog", "-n", std::to_string(readings), device};
    const double cpu_before = children_cpu_seconds();
    const ProcessResult run = run_process(launch);
    const double cpu = children_cpu_seconds() - cpu_before;
    report("ohmlog_rate_per_s", readings / run.seconds);
    const double cpu_percent = 100.0 * cpu / run.seconds;
    report("ohmlog_cpu_percent", cpu_percent);
    report("ohmlog_cpu_ms_per_reading", 1000.0 * cpu / readings);

    std::vector<double> stop_ms;
    for (int i = 0; i < 5; ++i) {
        launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog", device};
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
    // SIGTERM while an alarm's command hangs: it is given 2 s, then ended.
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog",
                   "--alarm",
                   "V<0",
                   "--on-alarm",
                   "sleep 300",
                   device};
    BackgroundProcess hung(launch);
    hung.read_line(5000);
    hung.read_line(5000);
    const double term = monotonic_seconds();
    kill(hung.pid(), SIGTERM);
    hung.wait(10000);
    report("ohmlog_stop_with_command_ms", seconds_since(term) * 1000.0);
    ohmlog_pace("not_ready", {"--not-ready", "50"}, 60);
    ohmlog_pace("lossy", {"--lose-every", "3"}, 60);
    ohmlog_pace("queueing", {"--delay", "350"}, 30);
    ohmlog_pace("in_turn", {"--delay", "350", "--in-turn"}, 30);
    ohmlog_pace("slow_then_lossy", {"--delays", "350,350,20", "--lose-every", "3"}, 90);
    ohmlog_pace("twice", {"--twice"}, 30);
    return cpu_percent;
}

double process_cpu_seconds(pid_t pid)
{
    std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    double ticks = 0.0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        ticks += i >= 14 ? std::stod(field) : 0.0; // utime and stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The share of a core that ohmlog takes while it waits for a port that has gone.
void ohmlog_waiting_figure()
{
    const std::string dir = make_temp_dir("ohm-bench");
    SimMeter meter({"--link", dir + "/meter"});
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog", "-o", dir + "/run.csv", dir + "/meter"};
    BackgroundProcess log(launch);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    meter.toggle_line();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu_before = process_cpu_seconds(log.pid());
    const double start = monotonic_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    report("ohmlog_waiting_cpu_percent",
           100.0 * (process_cpu_seconds(log.pid()) - cpu_before) / seconds_since(start));
    kill(log.pid(), SIGINT);
    log.wait(5000);
    remove_tree(dir);
}

// Three ready meters in one run: the slowest one's readings a second, and the CPU time a
// reading costs (to set beside one meter's).
void ohmlog_three_meters()
{
    constexpr int readings = 40;
    SimMeter a;
    SimMeter b;
    SimMeter c;
    Launch launch;
    const std::string ohmlog = std::string(OHM_NATIVE_BIN) + "/ohmlog";
    launch.argv = {ohmlog,          "-n",           std::to_string(readings), "A=" + a.path(),
                   "B=" + b.path(), "C=" + c.path()};
    const double cpu_before = children_cpu_seconds();
    const ProcessResult run = run_process(launch);
    const double cpu = children_cpu_seconds() - cpu_before;
    report("ohmlog_three_rate_per_s", readings / run.seconds);
    report("ohmlog_three_cpu_ms_per_reading", 1000.0 * cpu / (3 * readings));
}

// One of three meters unplugged for 10 s: how many readings the other two miss, and the
// longest wait between two of their rows.
void ohmlog_one_of_three_unplugged()
{
    const std::string dir = make_temp_dir("ohm-bench");
    SimMeter a;
    SimMeter b;
    SimMeter lost({"--link", dir + "/lost"});
    Launch launch;
    const std::string ohmlog = std::string(OHM_NATIVE_BIN) + "/ohmlog";
    launch.argv = {ohmlog,
                   "-t",
                   "16",
                   "-o",
                   dir + "/run.csv",
                   "A=" + a.path(),
                   "B=" + b.path(),
                   "C=" + dir + "/lost"};
    BackgroundProcess log(launch);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    lost.toggle_line();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    lost.toggle_line();
    log.wait(30000);
    std::istringstream rows(read_file(dir + "/run.csv"));
    std::string row;
    int missing = 0;
    double longest = 0.0;
    double last[2] = {-1.0, -1.0};
    while (std::getline(rows, row)) {
        const char meter = row.size() > 2 ? row[row.size() - 2] : ' ';
        if (meter != 'A' && meter != 'B') {
            continue;
        }
        const double elapsed = std::stod(row.substr(row.find(',') + 1));
        double& before = last[meter - 'A'];
        longest = before >= 0.0 ? std::max(longest, elapsed - before) : longest;
        before = elapsed;
        missing += row.find(",ok,") == std::string::npos ? 1 : 0;
    }
    report("ohmlog_unplugged_others_missing", missing);
    report("ohmlog_unplugged_others_longest_gap_s", longest);
    remove_tree(dir);
}

// Resident memory and plot of a run of this many readings against meters without pacing.
void ohmlog_long_run(long readings, const std::string& name, int meters = 1)
{
    const std::string dir = make_temp_dir("ohm-bench");
    std::vector<std::unique_ptr<SimMeter>> sims;
    Launch launch;
    const std::string ohmlog = std::string(OHM_NATIVE_BIN) + "/ohmlog";
    launch.argv = {"/usr/bin/time",
                   "-f",
                   "%M",
                   "-o",
                   dir + "/rss",
                   ohmlog,
                   "-n",
                   std::to_string(readings / meters),
                   "-o",
                   "/dev/null",
                   "--plot",
                   dir + "/run.svg"};
    for (int k = 0; k < meters; ++k) {
        sims.push_back(std::make_unique<SimMeter>(
            std::vector<std::string>{"--char-ms", "0", "--delay", "0", "--reading", "DC  1.000   V",
                                     "--reading", "DC  1.002   V", "--reading", "DC  0.998   V"}));
        launch.argv.push_back(meters == 1 ? sims.back()->path()
                                          : std::string(1, static_cast<char>('A' + k)) + "=" +
                                                sims.back()->path());
    }
    launch.timeout_ms = 1800000;
    run_process(launch);
    report("ohmlog_rss_" + name + "_mb", std::stod(read_file(dir + "/rss")) / 1024.0);
    report("ohmlog_plot_" + name + "_kb",
           static_cast<double>(read_file(dir + "/run.svg").size()) / 1024.0);
    Launch render;
    render.argv = {"/usr/bin/rsvg-convert", "-o", dir + "/run.png", dir + "/run.svg"};
    report("ohmlog_render_" + name + "_s", run_process(render).seconds);
    remove_tree(dir);
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

    ohmlog_serve_figures(ohmlog_figures(prompt_meter.path()));
    ohmlog_beside_37d0299();
    ohmlog_flood_figures();
    ohmlog_lab_figures();
    ohmlog_stalled_client_figure();
    ohmlog_waiting_figure();
    ohmlog_three_meters();
    ohmlog_one_of_three_unplugged();
    ohmlog_long_run(10000, "10k");
    ohmlog_long_run(1000000, "1m");
    ohmlog_long_run(1000000, "1m_three", 3);
    report("probe_titre_ms", probe_process_ms({"titre"}, 51));
    const FakeNode com1("ttyS0", prompt_meter.path());
    report("probe_ead_ms", probe_process_ms({"ead", "10"}, 7));
    return 0;
}
