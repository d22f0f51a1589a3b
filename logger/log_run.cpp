#include "log_run.h"

#include "log_exchange.h"
#include "log_json.h"
#include "log_options.h"
#include "log_outputs.h"
#include "log_platform.h"
#include "log_plot.h"
#include "log_record.h"
#include "log_serve.h"
#include "log_summary.h"
#include "meter_frame.h"
#include "serial_link.h"

#include <cmath>
#include <cstdio>

namespace logbook {

namespace {

// An exchange under way when the user stops the run may finish within this.
constexpr auto STOP_GRACE = std::chrono::milliseconds(300);

// The process's one run.
struct RunState {
    LogOptions options;
    std::string device;
    Outputs outputs;
    RunStats stats; // this run's, for the summary
    Chart chart;    // the plot's: earlier runs of an appended file, then this one
    double chart_offset_s = 0.0;
    ExchangePolicy policy;
    LiveRun live; // the chart and statistics as the server reads them
    Clock::time_point start{};
    Clock::time_point last_reply{};
    std::size_t status_width = 0;
};

RunState run_state;

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

Clock::time_point end_of_run(const RunState& run)
{
    const double seconds = run.options.duration_s > 0.0 ? run.options.duration_s : LONGEST_SECONDS;
    return run.start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool time_is_up(const RunState& run)
{
    return Clock::now() >= end_of_run(run);
}

bool run_may_go_on()
{
    return !stop_requested && !time_is_up(run_state);
}

void show_status(RunState& run, const Record& last)
{
    const std::string line = status_line(run.stats, last);
    const std::size_t width = std::max(run.status_width, line.size());
    std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line.c_str());
    std::fflush(stderr);
    run.status_width = width;
}

void clear_status(RunState& run)
{
    if (run.status_width > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(run.status_width), "");
        std::fflush(stderr);
        run.status_width = 0;
    }
}

Record record_of(const RunState& run, const Exchange& exchange)
{
    Record record;
    if (exchange.end == ExchangeEnd::port_lost) {
        record.status = Status::port_lost;
    } else {
        record = decode_reply(meter::trim_trailing_spaces(exchange.reply));
    }
    record.time = utc_timestamp(exchange.requested_utc);
    record.elapsed_s = std::chrono::duration<double>(exchange.requested - run.start).count();
    return record;
}

double run_seconds(const RunState& run)
{
    return run.stats.requests == 0
               ? 0.0
               : std::chrono::duration<double>(run.last_reply - run.start).count();
}

// The row joins the statistics and the chart, which the server reads too.
void count_row(RunState& run, const Record& record)
{
    Record on_chart = record;
    on_chart.elapsed_s += run.chart_offset_s;
    const double bucket_s = run.chart.series.bucket_s;
    {
        const std::lock_guard<std::mutex> hold(run.live.lock);
        add_record(run.stats, record);
        add_to_chart(run.chart, on_chart);
        run.live.latest = record;
        run.live.has_latest = true;
    }
    if (run.options.serve) {
        serve_row(row_event_json(record, run.chart, run.stats, run_seconds(run)),
                  run.chart.series.bucket_s != bucket_s);
    }
}

// The row goes out; on a terminal shared with the status line, on a line of its own.
bool deliver(RunState& run, const Record& record)
{
    run.last_reply = Clock::now();
    if (run.outputs.csv == stdout && stdout_is_terminal()) {
        clear_status(run);
    }
    if (!write_csv(run.outputs, csv_row(record))) {
        return false; // a row that is not in the file is not counted either
    }
    count_row(run, record);
    if (stderr_is_terminal()) {
        show_status(run, record);
    }
    return true;
}

// A lost port: its row is written, then the run waits for the device to come back.
bool recover_port(RunState& run)
{
    clear_status(run);
    say("lost " + run.options.port + "; waiting for it to come back");
    if (!wait_for_meter(run.device, run_may_go_on)) {
        return false;
    }
    say(run.options.port + " is back");
    return true;
}

// Request k starts at start + k * interval, so that a long run keeps its pace; after a late
// reply the next request waits for the next whole interval rather than hurrying to catch up.
long next_slot(long slot, Clock::time_point start, double interval_s)
{
    const double since_start = std::chrono::duration<double>(Clock::now() - start).count();
    return std::max(slot + 1, static_cast<long>(std::ceil(since_start / interval_s - 1e-9)));
}

Clock::time_point slot_time(const RunState& run, long slot)
{
    return run.start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(slot) * run.options.interval_s));
}

bool count_reached(const RunState& run)
{
    return run.options.count != 0 && run.stats.requests >= run.options.count;
}

void record_readings(RunState& run)
{
    const LogOptions& options = run.options;
    long slot = 0;
    while (!stop_requested && !count_reached(run)) {
        if (!wait_while(run_may_go_on, slot_time(run, slot))) {
            break;
        }
        const Exchange exchange = exchange_reading(run.policy, exchange_may_go_on);
        if (exchange.end == ExchangeEnd::stopped || !deliver(run, record_of(run, exchange))) {
            break;
        }
        // The lost port's row may be the last one asked for: nothing is left to wait for.
        if (exchange.end == ExchangeEnd::port_lost && !count_reached(run) && !recover_port(run)) {
            break;
        }
        if (options.interval_s > 0.0) {
            slot = next_slot(slot, run.start, options.interval_s);
        }
    }
    if (run.stats.port_away) {
        run.last_reply = Clock::now(); // the time without a port counts to the end
    }
    clear_status(run);
}

// The server reads the run only once its state is whole: the earlier rows of an appended file
// in the chart, the port open, the start set.
void serve_run(RunState& run)
{
    if (!run.options.serve) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(run.live.lock);
        run.live.chart = &run.chart;
        run.live.run = &run.stats;
        run.live.csv_path = run.options.output;
        run.live.start = run.start;
    }
    start_serving(run.live);
}

int log_from_port(RunState& run, const CsvReading& earlier)
{
    const LogOptions& options = run.options;
    run.device = device_for_port_name(options.port);
    const MeterOpen opened = open_meter(run.device);
    if (opened != MeterOpen::opened) {
        say("cannot open " + options.port + ": " +
            (opened == MeterOpen::not_serial ? "not a serial port" : open_failure(options.port)));
        discard_outputs(run.outputs);
        return 1;
    }
    watch_for_stop();
    if (start_outputs(run.outputs)) {
        run.chart_offset_s = run_start_on(earlier.line, std::chrono::system_clock::now());
        run.start = Clock::now();
        serve_run(run);
        record_readings(run);
    }
    close_all_ports();
    const bool plotted = finish_outputs(run.outputs, render_plot(run.chart));
    std::fputs(summary(run.stats, run_seconds(run)).c_str(), stderr);
    run_finished();
    return run.outputs.write_failed || !plotted ? 1 : 0;
}

int plot_from_file(RunState& run, const CsvReading& earlier)
{
    if (earlier.cut_short) {
        say(run.options.from + ": the last row is cut short and left out");
    }
    const bool plotted = finish_outputs(run.outputs, render_plot(run.chart));
    std::fputs(summary(run.chart.stats, earlier.line.end_s).c_str(), stderr);
    return plotted ? 0 : 1;
}

} // namespace

int run_ohmlog(int argc, char** argv)
{
    RunState& run = run_state;
    LogOptions& options = run.options;
    std::string problem;
    if (!parse_log_options(argc, argv, options, problem)) {
        std::fprintf(stderr, "ohmlog: %s\n%s", problem.c_str(), log_usage());
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? log_usage() : "ohmlog " OHM_VERSION "\n", stdout);
        return 0;
    }
    init_port_table();
    // Before any file is made or the meter asked anything: a port that cannot be listened on
    // ends the run at once.
    if (options.serve && !listen_for_clients(options.serve_host, options.serve_port, problem)) {
        say(problem);
        return 1;
    }
    CsvReading earlier;
    const int refused = prepare_outputs(options, run.outputs, run.chart, earlier);
    const int status = refused != 0           ? refused
                       : options.from.empty() ? log_from_port(run, earlier)
                                              : plot_from_file(run, earlier);
    stop_serving();
    return status;
}

} // namespace logbook
