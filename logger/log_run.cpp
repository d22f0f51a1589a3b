#include "log_run.h"

#include "log_options.h"
#include "log_platform.h"
#include "log_plot.h"
#include "log_record.h"
#include "log_summary.h"
#include "meter_reading.h"
#include "serial_link.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace logbook {

namespace {

using Clock = std::chrono::steady_clock;

// A reply not complete this long after its request counts as missing: at 600 baud the 14
// bytes of a frame take 233 ms, and the meter answers well within the rest.
constexpr auto REPLY_BOUND = std::chrono::milliseconds(1000);
// An exchange under way when the user stops the run may finish within this.
constexpr auto STOP_GRACE = std::chrono::milliseconds(300);
// How often a wait between requests looks for a stop.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(50);

struct Outputs {
    std::FILE* csv = nullptr;
    std::string csv_name; // empty: standard output
    bool created_csv = false;
    std::FILE* plot = nullptr;
    std::string plot_part; // the plot is written here and renamed when complete
    bool write_failed = false;
};

struct RunState {
    std::vector<Record> records;
    RunStats stats;
    std::size_t status_width = 0;
    Clock::time_point first_request;
    Clock::time_point last_reply;
};

// When the stop was first seen; the exchange under way then has STOP_GRACE to finish.
struct StopClock {
    Clock::time_point noticed{};
};
StopClock stop_clock;

bool exchange_may_go_on()
{
    if (!stop_requested) {
        return true;
    }
    if (stop_clock.noticed == Clock::time_point{}) {
        stop_clock.noticed = Clock::now();
    }
    return Clock::now() - stop_clock.noticed < STOP_GRACE;
}

void fail(const std::string& message)
{
    std::fprintf(stderr, "ohmlog: %s\n", message.c_str());
}

bool exists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// An existing file is kept unless the user said what to do with it.
bool may_write(const std::string& path, const LogOptions& options)
{
    if (path.empty() || !exists(path) || options.append || options.force) {
        return true;
    }
    fail(path + " exists; --append adds to it, --force replaces it");
    return false;
}

bool write_out(Outputs& outputs, const std::string& text)
{
    if (outputs.write_failed) {
        return false;
    }
    if (std::fputs(text.c_str(), outputs.csv) < 0 || std::fflush(outputs.csv) != 0) {
        fail("cannot write " + (outputs.csv_name.empty() ? "the output" : outputs.csv_name) + ": " +
             std::strerror(errno));
        outputs.write_failed = true;
    }
    return !outputs.write_failed;
}

bool open_csv(Outputs& outputs, const LogOptions& options)
{
    if (options.output.empty()) {
        use_binary_stdout();
        outputs.csv = stdout;
        return write_out(outputs, csv_header());
    }
    outputs.csv_name = options.output;
    std::error_code error;
    const bool had_rows =
        exists(options.output) && std::filesystem::file_size(options.output, error) > 0 && !error;
    outputs.created_csv = !exists(options.output);
    outputs.csv = std::fopen(options.output.c_str(), options.append ? "ab" : "wb");
    if (outputs.csv == nullptr) {
        fail("cannot write " + options.output + ": " + std::strerror(errno));
        return false;
    }
    return (options.append && had_rows) || write_out(outputs, csv_header());
}

bool open_plot(Outputs& outputs, const LogOptions& options)
{
    if (options.plot.empty()) {
        return true;
    }
    outputs.plot_part = options.plot + ".part";
    outputs.plot = std::fopen(outputs.plot_part.c_str(), "wb");
    if (outputs.plot == nullptr) {
        fail("cannot write " + options.plot + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// Nothing half-made is left when the run cannot start.
void discard_outputs(Outputs& outputs)
{
    if (outputs.csv != nullptr && outputs.csv != stdout) {
        std::fclose(outputs.csv);
        if (outputs.created_csv) {
            std::remove(outputs.csv_name.c_str());
        }
    }
    if (outputs.plot != nullptr) {
        std::fclose(outputs.plot);
        std::remove(outputs.plot_part.c_str());
    }
}

bool finish_plot(Outputs& outputs, const std::string& plot_name, const RunState& run)
{
    if (outputs.plot == nullptr) {
        return true;
    }
    const std::string svg = render_plot(run.records);
    const bool written = std::fwrite(svg.data(), 1, svg.size(), outputs.plot) == svg.size();
    const bool closed = std::fclose(outputs.plot) == 0;
    std::error_code error;
    std::filesystem::rename(outputs.plot_part, plot_name, error);
    if (!written || !closed || error) {
        fail("cannot write " + plot_name);
        std::remove(outputs.plot_part.c_str());
        return false;
    }
    return true;
}

void show_status(RunState& run, const Record& last)
{
    const std::string line = status_line(run.stats, last);
    const std::size_t width = std::max(run.status_width, line.size());
    std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line.c_str());
    std::fflush(stderr);
    run.status_width = width;
}

void clear_status(const RunState& run)
{
    if (run.status_width > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(run.status_width), "");
    }
}

// Waits until `moment` unless a stop comes first; false on a stop.
bool wait_until(Clock::time_point moment)
{
    while (!stop_requested && Clock::now() < moment) {
        std::this_thread::sleep_for(std::min<Clock::duration>(WAIT_SLICE, moment - Clock::now()));
    }
    return !stop_requested;
}

Record one_reading(RunState& run)
{
    const auto requested = Clock::now();
    const auto requested_utc = std::chrono::system_clock::now();
    if (run.records.empty()) {
        run.first_request = requested;
    }
    Record record =
        decode_reply(meter::request_reply("", requested + REPLY_BOUND, exchange_may_go_on));
    run.last_reply = Clock::now();
    record.time = utc_timestamp(requested_utc);
    record.elapsed_s = std::chrono::duration<double>(requested - run.first_request).count();
    return record;
}

bool time_is_up(const LogOptions& options, const RunState& run)
{
    return options.duration_s > 0.0 && !run.records.empty() &&
           std::chrono::duration<double>(Clock::now() - run.first_request).count() >=
               options.duration_s;
}

// Request k starts at start + k * interval, so that a long run keeps its pace; after a late
// reply the next request waits for the next whole interval rather than hurrying to catch up.
long next_slot(long slot, Clock::time_point start, double interval_s)
{
    const double since_start = std::chrono::duration<double>(Clock::now() - start).count();
    return std::max(slot + 1, static_cast<long>(std::ceil(since_start / interval_s - 1e-9)));
}

void record_readings(const LogOptions& options, Outputs& outputs, RunState& run)
{
    const bool show = stderr_is_terminal();
    const auto start = Clock::now();
    long slot = 0;
    while (!stop_requested &&
           (options.count == 0 || static_cast<long>(run.records.size()) < options.count)) {
        if (options.interval_s > 0.0 &&
            !wait_until(start +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(slot) * options.interval_s)))) {
            break;
        }
        if (time_is_up(options, run)) {
            break;
        }
        const Record record = one_reading(run);
        run.records.push_back(record);
        add_record(run.stats, record);
        if (!write_out(outputs, csv_row(record))) {
            break;
        }
        if (show) {
            show_status(run, record);
        }
        if (options.interval_s > 0.0) {
            slot = next_slot(slot, start, options.interval_s);
        }
    }
    clear_status(run);
}

int log_with_open_port(const LogOptions& options)
{
    Outputs outputs;
    if (!open_csv(outputs, options) || !open_plot(outputs, options)) {
        discard_outputs(outputs);
        return 1;
    }
    watch_for_stop();
    RunState run;
    record_readings(options, outputs, run);
    if (outputs.csv != stdout) {
        std::fclose(outputs.csv);
    }
    const bool plotted = finish_plot(outputs, options.plot, run);
    const double seconds =
        run.records.empty()
            ? 0.0
            : std::chrono::duration<double>(run.last_reply - run.first_request).count();
    std::fputs(summary(run.stats, seconds).c_str(), stderr);
    return outputs.write_failed || !plotted ? 1 : 0;
}

} // namespace

int run_ohmlog(int argc, char** argv)
{
    LogOptions options;
    std::string problem;
    if (!parse_log_options(argc, argv, options, problem)) {
        std::fprintf(stderr, "ohmlog: %s\n%s", problem.c_str(), log_usage());
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? log_usage() : "ohmlog " OHM_VERSION "\n", stdout);
        return 0;
    }
    if (!may_write(options.output, options) || !may_write(options.plot, options)) {
        return 1;
    }
    const std::string device = device_for_port_name(options.port);
    init_port_table();
    if (open_port(METER_PORT, device.c_str(), METER_SETTINGS) == 0) {
        fail("cannot open " + options.port + ": " + open_failure(options.port));
        return 1;
    }
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);
    const int status = log_with_open_port(options);
    close_all_ports();
    run_finished();
    return status;
}

} // namespace logbook
