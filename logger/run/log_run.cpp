#include "log_run.h"

#include "alarm_output.h"
#include "csv_output.h"
#include "log_files.h"
#include "log_options.h"
#include "log_platform.h"
#include "log_serve.h"
#include "meter_session.h"
#include "mqtt_output.h"
#include "plot_output.h"
#include "serial_link.h"
#include "terminal_output.h"
#include "time_order.h"

#include <cstdio>
#include <deque>
#include <limits>

namespace logbook {

namespace {

// How often the loop looks at what the time passing changes: power still waiting, lost ports.
constexpr auto TAKE_WAIT = std::chrono::milliseconds(200);

// A run's parts: its meters' sessions, the view the outputs read, the files and the outputs.
struct Run {
    LogOptions options;
    std::deque<MeterSession> sessions; // in place once their threads run
    RunView view;
    Files files;
    Terminal terminal;
    std::shared_ptr<WebServer> server;
    std::shared_ptr<AlarmCommands> commands;
    std::shared_ptr<MqttPublisher> mqtt;
    RecordStream stream;
    SessionPlan plan;
    bool rows_on_terminal = false; // the CSV shares the terminal with the status line
    Output csv;                    // before the view: a row that is not written is not counted
    std::vector<Output> outputs;   // after it
};

std::vector<std::string> names_of(const Run& run)
{
    std::vector<std::string> names;
    for (const MeterView& meter : run.view.meters) {
        names.push_back(meter.name);
    }
    return names;
}

// The meters of the command line, each a session with its own port identifier; the same name
// or the same port twice is refused.
bool choose_meters(Run& run, std::string& problem)
{
    std::vector<MeterChoice> choices;
    if (!parse_meters(run.options.ports, choices, problem)) {
        return false;
    }
    std::vector<MeterView> meters;
    for (const MeterChoice& choice : choices) {
        for (const MeterSession& other : run.sessions) {
            if (port_identity(other.port) == port_identity(choice.port)) {
                problem = choice.port + " and " + other.port + " are one port";
                return false;
            }
        }
        MeterSession& session = run.sessions.emplace_back();
        session.index = static_cast<int>(meters.size());
        session.name = choice.name;
        session.port = choice.port;
        session.device = device_for_port_name(choice.port);
        session.policy.port = session.index;
        meters.push_back(meter_view(choice.name, choice.port));
    }
    set_up_view(run.view, meters, std::nullopt);
    std::optional<std::pair<int, int>> power;
    if (!run.options.power.empty()) {
        power.emplace();
        if (!parse_power(run.options.power, names_of(run), power->first, power->second, problem)) {
            return false;
        }
    }
    std::vector<AlarmRule> rules(run.options.alarms.size());
    for (std::size_t k = 0; k < rules.size(); ++k) {
        if (!parse_alarm(run.options.alarms[k], names_of(run), power.has_value(), rules[k],
                         problem)) {
            return false;
        }
    }
    set_up_view(run.view, meters, power, rules);
    if (!run.options.mqtt.empty()) {
        const LogOptions& options = run.options;
        run.mqtt = new_mqtt_publisher(MqttSettings{options.mqtt, options.mqtt_cafile,
                                                   options.mqtt_password_file, options.mqtt_node},
                                      names_of(run), power.has_value(), problem);
        return run.mqtt != nullptr;
    }
    return true;
}

// Every port opens before any meter is asked anything.
bool open_ports(Run& run)
{
    for (MeterSession& session : run.sessions) {
        const MeterOpen opened = open_session(session);
        if (opened != MeterOpen::opened) {
            say("cannot open " + session.port + ": " +
                (opened == MeterOpen::not_serial ? "not a serial port"
                                                 : open_failure(session.port)));
            close_all_ports();
            return false;
        }
    }
    return true;
}

void set_outputs(Run& run)
{
    run.csv = csv_output(run.files, names_of(run));
    run.outputs.clear();
    if (run.mqtt) {
        run.outputs.push_back(mqtt_output(*run.mqtt, run.terminal)); // its line after the summary
    }
    run.outputs.push_back(terminal_output(run.terminal));
    if (run.server) {
        run.outputs.push_back(web_output(*run.server));
    }
    if (!run.view.alarms.empty()) {
        run.commands = new_alarm_commands(run.options.on_alarm, run.view.alarms.size());
        run.outputs.push_back(alarm_output(*run.commands, run.terminal));
    }
    run.outputs.push_back(plot_output(run.files));
}

FileSettings file_settings(const LogOptions& options)
{
    return FileSettings{options.output, options.plot, options.from, options.append, options.force};
}

double seconds_since_start(const Run& run)
{
    return std::chrono::duration<double>(Clock::now() - run.plan.start).count();
}

// What changed goes to every output after the CSV; with --stop-on-alarm a rise ends the run.
void hand_out(Run& run, const RecordNews& news)
{
    if (!news.notice.empty()) {
        tell(run.terminal, news.notice);
    }
    for (const Output& output : run.outputs) {
        output.take(run.view, news);
    }
    for (const AlarmEvent& event : news.alarms) {
        if (event.raised && run.options.stop_on_alarm && run.view.ended_by.empty()) {
            run.view.ended_by = run.view.alarms[static_cast<std::size_t>(event.alarm)].rule.text;
            stop_requested = true;
        }
    }
}

// A row: written, counted in the view, then handed to every other output.
bool take_row(Run& run, const Record& record)
{
    if (run.rows_on_terminal) {
        clear_status(run.terminal);
    }
    RecordNews written;
    written.record = &record;
    if (!run.csv.take(run.view, written)) {
        return false;
    }
    RecordNews news;
    {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        news = add_to_view(run.view, record);
        run.view.seconds = seconds_since_start(run);
    }
    hand_out(run, news);
    if (record.status == Status::port_lost) {
        const MeterView& meter = run.view.meters[static_cast<std::size_t>(record.meter)];
        tell(run.terminal, "lost " + meter.port + "; waiting for it to come back");
    }
    return true;
}

// The time passes: the power whose ampere reading can no longer come is counted without
// waiting for the end, and a port lost long enough raises its alarm.
void settle(Run& run, double now_s)
{
    RecordNews news;
    {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        news = flush_view(run.view, now_s, utc_timestamp(std::chrono::system_clock::now()));
    }
    if (!news.power.empty() || !news.alarms.empty()) {
        hand_out(run, news);
    }
}

// Takes the sessions' events until every session has ended, or a row could not be written.
void run_loop(Run& run)
{
    std::size_t ended = 0;
    Clock::time_point settled = Clock::now();
    while (ended < run.sessions.size()) {
        MeterEvent event;
        const bool came = take(run.stream, event, TAKE_WAIT);
        if (Clock::now() - settled >= TAKE_WAIT) {
            settle(run, seconds_since_start(run));
            settled = Clock::now();
        }
        if (!came) {
            continue;
        }
        if (event.kind == MeterEventKind::ended) {
            ++ended;
        } else if (event.kind == MeterEventKind::port_back) {
            tell(run.terminal,
                 run.sessions[static_cast<std::size_t>(event.meter)].port + " is back");
        } else if (event.kind == MeterEventKind::notice) {
            tell(run.terminal, event.notice);
        } else if (!take_row(run, event.record)) {
            close_stream(run.stream);
            return;
        }
    }
}

bool any_port_away(const RunView& view)
{
    for (const MeterView& meter : view.meters) {
        if (meter.stats.port_away) {
            return true;
        }
    }
    return false;
}

// The outputs end: the rows written, the plot, the summary. False when one could not.
bool finish_outputs(Run& run)
{
    if (run.view.power) {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        flush_view(run.view, std::numeric_limits<double>::infinity());
    }
    bool finished = run.csv.finish(run.view);
    // The plot before the summary, as a reader of standard error expects the end last.
    for (auto output = run.outputs.rbegin(); output != run.outputs.rend(); ++output) {
        finished = output->finish(run.view) && finished;
    }
    return finished && !run.files.write_failed;
}

// The server reads the run only once its state is whole: the earlier rows of an appended file
// in the charts, the ports open, the start set.
void serve_run(Run& run)
{
    if (run.server) {
        start_serving(*run.server, run.view, run.options.output);
    }
}

void start_plan(Run& run, const CsvReading& earlier)
{
    const auto now_utc = std::chrono::system_clock::now();
    const double seconds = run.options.duration_s > 0.0 ? run.options.duration_s : LONGEST_SECONDS;
    const std::lock_guard<std::mutex> hold(run.view.lock);
    run.view.origin_utc = earlier.line.started ? earlier.line.start_utc : now_utc;
    run.view.start_utc = now_utc;
    run.view.chart_offset_s = run_start_on(earlier.line, now_utc);
    run.plan.count = run.options.count;
    run.plan.interval_s = run.options.interval_s;
    run.plan.start = Clock::now();
    run.plan.end = run.plan.start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    run.plan.stop = &stop_requested;
    run.view.start = run.plan.start;
}

int log_from_ports(Run& run)
{
    std::string problem;
    if (!choose_meters(run, problem)) {
        std::fprintf(stderr, "ohmlog: %s\n", problem.c_str());
        return 2;
    }
    CsvReading earlier;
    const int refused = prepare_files(file_settings(run.options), names_of(run), run.files, earlier,
                                      [&run](const Record& row) { add_earlier(run.view, row); });
    if (refused != 0) {
        return refused;
    }
    if (!open_ports(run)) {
        discard_files(run.files);
        return 1;
    }
    watch_for_stop();
    run.terminal.status = stderr_is_terminal();
    run.rows_on_terminal = run.files.csv == stdout && stdout_is_terminal();
    set_outputs(run);
    if (start_files(run.files, run.sessions.size() > 1)) {
        start_plan(run, earlier);
        serve_run(run);
        for (MeterSession& session : run.sessions) {
            start_session(session, run.plan, run.stream);
        }
        run_loop(run);
    }
    close_stream(run.stream);
    for (MeterSession& session : run.sessions) {
        join_session(session);
    }
    close_all_ports();
    if (any_port_away(run.view)) {
        run.view.seconds = seconds_since_start(run); // the time without a port counts to the end
    }
    const bool finished = finish_outputs(run);
    run_finished();
    return finished ? 0 : 1;
}

// --from: the file's rows through the same view and outputs as a run's.
int plot_from_file(Run& run)
{
    CsvReading scan;
    if (!read_csv(run.options.from, scan, [](const Record&) {})) {
        say(scan.problem);
        return 1;
    }
    std::vector<MeterView> meters;
    for (const std::string& name : scan.meters) {
        meters.push_back(meter_view(name, ""));
    }
    std::optional<std::pair<int, int>> power;
    std::string problem;
    if (!run.options.power.empty()) {
        power.emplace();
        if (!parse_power(run.options.power, scan.meters, power->first, power->second, problem)) {
            std::fprintf(stderr, "ohmlog: %s\n", problem.c_str());
            return 2;
        }
    }
    set_up_view(run.view, meters, power);
    TimeOrder order;
    run.view.power_later = power && start_time_order(order, power->first, power->second, problem);
    if (power && !run.view.power_later) {
        say(problem + "; power paired in the file's order");
    }
    CsvReading earlier;
    const int refused =
        prepare_files(file_settings(run.options), scan.meters, run.files, earlier, [&run, &order](const Record& row) {
            const RecordNews news = add_to_view(run.view, row);
            if (!news.notice.empty()) {
                say(news.notice);
            }
            keep_in_time_order(order, row);
        });
    const bool whole = replay_in_time_order(order, [&run](const Record& row) {
        const RecordNews news = add_power_later(run.view, row);
        if (!news.notice.empty()) {
            say(news.notice);
        }
    });
    if (!whole) {
        say("the rows kept aside for the power could not all be written; it counts those kept");
    }
    if (refused != 0) {
        return refused;
    }
    if (earlier.cut_short) {
        say(run.options.from + ": the last row is cut short and left out");
    }
    run.view.origin_utc = earlier.line.start_utc;
    run.view.seconds = earlier.line.end_s;
    run.outputs = {terminal_output(run.terminal), plot_output(run.files)};
    run.csv = Output{[](const RunView&, const RecordNews&) { return true; },
                     [](const RunView&) { return true; }};
    return finish_outputs(run) ? 0 : 1;
}

} // namespace

int run_ohmlog(int argc, char** argv)
{
    Run run;
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
    if (options.serve) {
        run.server = new_web_server();
        if (!listen_for_clients(*run.server, options.serve_host, options.serve_port, problem)) {
            say(problem);
            return 1;
        }
    }
    const int status = options.from.empty() ? log_from_ports(run) : plot_from_file(run);
    if (run.server) {
        stop_serving(*run.server);
    }
    return status;
}

} // namespace logbook
