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
#include "service_command.h"
#include "terminal_output.h"
#include "time_order.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>

namespace logbook {

namespace {

// How often the loop looks at what the time passing changes: power still waiting, lost ports,
// a CSV moved away, a request to reopen the files.
constexpr auto TAKE_WAIT = std::chrono::milliseconds(200);
// How often a service manager is told the run's state (STATUS=).
constexpr auto STATUS_EVERY = std::chrono::seconds(1);

// Replies of a meter further apart than -i this many times in a row: it cannot answer that often.
constexpr int SLOW_GAPS = 3;

// Whether a meter keeps the interval.
struct PaceWatch {
    double last_reply_s = -1.0; // elapsed seconds of its latest reply; none since a missing one
    int slow = 0;               // gaps in a row longer than the interval
    double pace_s = 0.0;        // the shortest of them
    bool told = false;
};

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
    std::vector<PaceWatch> paces;  // per meter, with -i
    bool rows_on_terminal = false; // the CSV shares the terminal with the status line
    Output csv;                    // before the view: a row that is not written is not counted
    std::vector<Output> outputs;   // after it
    std::chrono::microseconds watchdog{}; // how often the service manager wants to hear from us
    Clock::time_point watchdog_told{};
    Clock::time_point status_told{};
    // The CSV being written now, which the server's thread serves: a file a day changes it.
    std::mutex csv_now_lock;
    std::string csv_now;
};

std::vector<std::string> names_of(const Run& run)
{
    std::vector<std::string> names;
    for (const MeterView& meter : run.view.meters) {
        names.push_back(meter.name);
    }
    return names;
}

// The alarms' rules, each refused at its place: given twice, or not one that parses.
bool choose_alarms(const Run& run, bool power, std::vector<AlarmRule>& rules, std::string& problem)
{
    const LogOptions& options = run.options;
    for (std::size_t k = 0; k < options.alarms.size(); ++k) {
        const std::string& place = options.alarm_places[k];
        for (std::size_t earlier = 0; earlier < k; ++earlier) {
            if (options.alarms[earlier] == options.alarms[k]) {
                const std::string& first = options.alarm_places[earlier];
                problem =
                    given_twice(first, place,
                                "bad " + option_written(place.empty() ? first : place, "alarm") +
                                    " '" + options.alarms[k] + "': given twice");
                return false;
            }
        }
        std::vector<AlarmRule> rule;
        if (!parse_alarms({options.alarms[k]}, names_of(run), power, options.interval_s, rule,
                          problem)) {
            problem = refusal_at(place, problem);
            return false;
        }
        rules.push_back(rule.front());
    }
    return true;
}

// The meters of the command line and the file of options, each a session with its own port
// identifier; a name that is no port's, the same name or the same port twice are refused, at
// the place each was given.
bool choose_meters(Run& run, std::string& problem)
{
    const LogOptions& options = run.options;
    std::vector<MeterView> meters;
    for (std::size_t k = 0; k < options.ports.size(); ++k) {
        const std::string& place = options.port_places[k];
        std::vector<MeterChoice> parsed;
        if (!parse_meters({options.ports[k]}, parsed, problem)) {
            problem = refusal_at(place, problem);
            return false;
        }
        const MeterChoice& choice = parsed.front();
        if (!is_port_name(choice.port)) {
            problem = place + "'" + choice.port + "' is no port's name: " + port_name_forms();
            return false;
        }
        for (const MeterSession& other : run.sessions) {
            const std::string& other_place =
                options.port_places[static_cast<std::size_t>(other.index)];
            if (other.name == choice.name) {
                problem = given_twice(other_place, place, "two meters named " + choice.name);
                return false;
            }
            if (port_identity(other.port) == port_identity(choice.port)) {
                problem = given_twice(other_place, place,
                                      choice.port + " and " + other.port + " are one port");
                return false;
            }
        }
        MeterSession& session = run.sessions.emplace_back();
        session.index = static_cast<int>(meters.size());
        session.name = choice.name;
        session.port = choice.port;
        session.device = device_for_port_name(choice.port);
        // A device that is not there yet is known by its path alone until it comes.
        const bool awaited = options.wait_for_port && choice.port.rfind('/', 0) == 0;
        session.device = session.device.empty() && awaited ? choice.port : session.device;
        session.policy.port = session.index;
        meters.push_back(meter_view(choice.name, choice.port));
    }
    set_up_view(run.view, meters, std::nullopt);
    std::optional<std::pair<int, int>> power;
    if (!options.power.empty()) {
        power.emplace();
        if (!parse_power(options.power, names_of(run), power->first, power->second, problem)) {
            problem = refusal_at(place_of(options, "power"), problem);
            return false;
        }
    }
    std::vector<AlarmRule> rules;
    if (!choose_alarms(run, power.has_value(), rules, problem)) {
        return false;
    }
    set_up_view(run.view, meters, power, rules);
    if (options.mqtt.empty()) {
        return true;
    }
    const MqttSettings mqtt{options.mqtt, options.mqtt_cafile, options.mqtt_password_file,
                            options.mqtt_node, options.places};
    if (options.check_config) {
        return check_mqtt_settings(mqtt, names_of(run), power.has_value(), options.alarms, problem);
    }
    run.mqtt = new_mqtt_publisher(mqtt, names_of(run), power.has_value(), options.alarms, problem);
    return run.mqtt != nullptr;
}

// Every port opens before any meter is asked anything. With --wait-for-port, one that does
// not open is waited for as a port lost at the first request.
bool open_ports(Run& run)
{
    for (MeterSession& session : run.sessions) {
        const MeterOpen opened = open_session(session);
        if (opened == MeterOpen::opened) {
            continue;
        }
        const std::string why =
            opened == MeterOpen::not_serial ? "not a serial port" : open_failure(session.port);
        // A file or a folder at the path never becomes a port: it is not waited for.
        if (run.options.wait_for_port && opened == MeterOpen::failed &&
            !holds_no_device(session.port)) {
            say(Severity::warning, "cannot open " + session.port + " yet: " + why);
            session.missing_at_start = true;
            continue;
        }
        say(Severity::error, run.options.port_places[static_cast<std::size_t>(session.index)] +
                                 "cannot open " + session.port + ": " + why);
        close_all_ports();
        return false;
    }
    return true;
}

void set_outputs(Run& run)
{
    run.csv = csv_output(run.files, names_of(run));
    run.outputs.clear();
    if (run.mqtt) {
        // Its line after the summary.
        run.outputs.push_back(mqtt_output(*run.mqtt, run.terminal, run.view));
    }
    run.outputs.push_back(terminal_output(run.terminal));
    if (run.server) {
        run.outputs.push_back(web_output(*run.server));
    }
    if (!run.view.alarms.empty()) {
        const double limit_s = run.options.on_alarm_timeout_s > 0.0 ? run.options.on_alarm_timeout_s
                                                                    : COMMAND_TIME_LIMIT_S;
        run.commands = new_alarm_commands(run.options.on_alarm, run.view.alarms.size(), limit_s);
        run.outputs.push_back(alarm_output(*run.commands, run.terminal));
    }
    run.outputs.push_back(plot_output(run.files));
}

// The run's state for a service manager: the readings, each meter's latest, the alarms raised.
std::string service_status(Run& run)
{
    const std::lock_guard<std::mutex> hold(run.view.lock);
    std::string text = std::to_string(run.view.rows) + " readings";
    for (const MeterView& meter : run.view.meters) {
        text += "; " + meter.name + " " +
                (meter.stats.port_away ? "port lost"
                 : meter.has_latest    ? reading_text(meter.latest)
                                       : "-");
    }
    std::string raised;
    for (const Alarm& alarm : run.view.alarms) {
        raised += alarm_active(alarm) ? (raised.empty() ? "" : ", ") + alarm.rule.text : "";
    }
    return run.view.alarms.empty()
               ? text
               : text + "; " + (raised.empty() ? "no alarm" : "alarm " + raised);
}

// WATCHDOG=1 at half the interval the service manager asked for, from the loop that takes the
// rows, so that a loop that hangs is seen; STATUS= every STATUS_EVERY.
void tell_service_manager(Run& run)
{
    const Clock::time_point now = Clock::now();
    if (run.watchdog.count() > 0 && now - run.watchdog_told >= run.watchdog / 2) {
        notify_service_manager("WATCHDOG=1");
        run.watchdog_told = now;
    }
    if (now - run.status_told >= STATUS_EVERY) {
        notify_service_manager("STATUS=" + service_status(run));
        run.status_told = now;
    }
}

FileSettings file_settings(const LogOptions& options)
{
    return FileSettings{options.output,
                        options.plot,
                        options.from,
                        options.append,
                        options.force,
                        place_of(options, "output"),
                        place_of(options, "plot"),
                        options.from_places};
}

double seconds_since_start(const Run& run)
{
    return std::chrono::duration<double>(Clock::now() - run.plan.start).count();
}

// What changed goes to every output after the CSV; with --stop-on-alarm a rise ends the run.
void hand_out(Run& run, const RecordNews& news)
{
    if (!news.notice.empty()) {
        tell(run.terminal, Severity::warning, news.notice);
    }
    for (const Output& output : run.outputs) {
        output.take(run.view, news);
    }
    for (const AlarmEvent& event : news.alarms) {
        if (event.raised && run.options.stop_on_alarm && run.view.ended_by.empty()) {
            run.view.ended_by = run.view.alarms[static_cast<std::size_t>(event.alarm)].rule.text;
            run.plan.let_exchanges_end = true;
            stop_requested = true;
        }
    }
}

// Seconds as "0.05", to the given step, without trailing zeros.
std::string seconds_text(double seconds, double step_s)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, std::round(seconds / step_s) * step_s);
    return std::string(text, end.ptr);
}

// A meter whose replies come slots apart cannot keep -i: said once, with the pace it keeps
// (a missing reply is no measure of it).
void watch_pace(Run& run, const Record& record)
{
    const double interval_s = run.options.interval_s;
    if (interval_s <= 0.0) {
        return;
    }
    run.paces.resize(run.sessions.size());
    PaceWatch& watch = run.paces[static_cast<std::size_t>(record.meter)];
    const double gap_s = record.elapsed_s - watch.last_reply_s;
    const bool after_reply = watch.last_reply_s >= 0.0;
    const bool reply = record.status != Status::no_reply && record.status != Status::port_lost;
    watch.last_reply_s = reply ? record.elapsed_s : -1.0;
    if (!reply || !after_reply || gap_s < 1.5 * interval_s) {
        watch.slow = 0;
        return;
    }
    watch.pace_s = watch.slow == 0 ? gap_s : std::min(watch.pace_s, gap_s);
    if (++watch.slow == SLOW_GAPS && !watch.told) {
        watch.told = true;
        const MeterView& meter = run.view.meters[static_cast<std::size_t>(record.meter)];
        // Request times wander by a few milliseconds; a meter's pace is no finer than 10 ms.
        tell(run.terminal, Severity::warning,
             "-i " + seconds_text(interval_s, 0.001) + " cannot be kept: " + meter.name +
                 " gives a reading every " + seconds_text(watch.pace_s, 0.01) + " s");
    }
}

// The CSV the rows go to now, for the server.
void note_csv_now(Run& run)
{
    const std::lock_guard<std::mutex> hold(run.csv_now_lock);
    run.csv_now = run.files.csv_name;
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
    note_csv_now(run);
    RecordNews news;
    {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        news = add_to_view(run.view, record);
        run.view.seconds = seconds_since_start(run);
    }
    hand_out(run, news);
    watch_pace(run, record);
    if (record.status == Status::port_lost) {
        const MeterView& meter = run.view.meters[static_cast<std::size_t>(record.meter)];
        tell(run.terminal, Severity::warning,
             "lost " + meter.port + "; waiting for it to come back");
    }
    return true;
}

// The time passes: the power whose ampere reading can no longer come is counted without
// waiting for the end, a port lost long enough raises its alarm, and the outputs are told, as
// MQTT says at once what went wrong on its own thread.
void settle(Run& run, double now_s)
{
    RecordNews news;
    {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        news = flush_view(run.view, now_s, utc_timestamp(std::chrono::system_clock::now()));
    }
    hand_out(run, news);
}

// A lost port open again: the time without it and its alarms end now, not at its next row.
void take_port_back(Run& run, const MeterEvent& event)
{
    tell(run.terminal, Severity::info,
         run.sessions[static_cast<std::size_t>(event.meter)].port + " is back");
    const double now_s = std::chrono::duration<double>(event.at - run.plan.origin.load()).count();
    RecordNews news;
    {
        const std::lock_guard<std::mutex> hold(run.view.lock);
        news = port_back(run.view, event.meter, now_s,
                         utc_timestamp(std::chrono::system_clock::now()));
    }
    hand_out(run, news);
}

// Takes the sessions' events until every session has ended, or a row could not be written.
void run_loop(Run& run)
{
    std::size_t ended = 0;
    Clock::time_point settled = Clock::now();
    while (ended < run.sessions.size()) {
        MeterEvent event;
        const bool came = take(run.stream, event, TAKE_WAIT);
        tell_service_manager(run);
        if (reopen_requested.exchange(false)) {
            reopen_csv(run.files);
        }
        if (Clock::now() - settled >= TAKE_WAIT) {
            settle(run, seconds_since_start(run));
            keep_csv_at_path(run.files);
            settled = Clock::now();
        }
        if (!came) {
            continue;
        }
        if (event.kind == MeterEventKind::ended) {
            ++ended;
        } else if (event.kind == MeterEventKind::port_back) {
            take_port_back(run, event);
        } else if (event.kind == MeterEventKind::notice) {
            tell(run.terminal, Severity::warning, event.notice);
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
// in the charts, the ports open, the start set. /log.csv is the file the rows go to now.
void serve_run(Run& run)
{
    if (!run.server) {
        return;
    }
    note_csv_now(run);
    const auto csv_now = [&run] {
        const std::lock_guard<std::mutex> hold(run.csv_now_lock);
        return run.csv_now;
    };
    start_serving(*run.server, run.view, csv_now);
}

// A row read back from a file: a run that starts there starts the charts' lines anew.
void note_runs(RunView& view, const CsvReading& reading, int& runs)
{
    if (reading.line.runs != runs) {
        runs = reading.line.runs;
        break_lines(view);
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
    break_lines(run.view);
    run.plan.count = run.options.count;
    run.plan.interval_s = run.options.interval_s;
    run.plan.start = Clock::now();
    run.plan.end = run.plan.start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    run.plan.stop = &stop_requested;
    run.view.start = run.plan.start;
}

// Bad usage: the cause (said already when empty here), and where the options are told; a
// line of the file of options is told alone, as --help is of the command line.
int usage_error(const LogOptions& options, const std::string& problem)
{
    if (!problem.empty()) {
        say(Severity::error, problem);
    }
    // The file of options, or a line of it, is told alone: --help is of the command line.
    const bool of_the_file =
        !options.config.empty() && (problem.rfind(options.config + ":", 0) == 0 ||
                                    problem.rfind("cannot read " + options.config + ":", 0) == 0);
    if (!of_the_file && (!problem.empty() || options.config.empty())) {
        std::fputs("Try 'ohmlog --help' for more information.\n", stderr);
    }
    return 2;
}

int log_from_ports(Run& run)
{
    std::string problem;
    if (!choose_meters(run, problem)) {
        return usage_error(run.options, problem);
    }
    CsvReading earlier;
    int runs = 0;
    const int refused = prepare_files(file_settings(run.options), names_of(run), run.files, earlier,
                                      [&](const Record& row) {
                                          note_runs(run.view, earlier, runs);
                                          add_earlier(run.view, row);
                                      });
    if (refused != 0) {
        return refused == 2 ? usage_error(run.options, "") : refused;
    }
    // From the files made on, a stop is the run's: one before the ports are open leaves every
    // file as it was, as a run that cannot start does.
    watch_for_stop();
    const bool opened = open_ports(run);
    if (!opened || stop_requested) {
        close_all_ports();
        discard_files(run.files);
        return opened ? 0 : 1;
    }
    run.terminal.status = stderr_is_terminal();
    run.rows_on_terminal = run.files.csv == stdout && stdout_is_terminal();
    set_outputs(run);
    if (start_files(run.files, run.sessions.size() > 1)) {
        start_plan(run, earlier);
        serve_run(run);
        for (MeterSession& session : run.sessions) {
            start_session(session, run.plan, run.stream);
        }
        run.watchdog = watchdog_interval();
        notify_service_manager("READY=1");
        run_loop(run);
        notify_service_manager("STOPPING=1");
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
    return !finished ? 1 : run.view.ended_by.empty() ? 0 : 3;
}

// --from: the file's rows through the same view and outputs as a run's, read once as they
// come (a pipe can be read no other way). The power's two meters' rows are kept aside and
// paired in time order at the end, whatever order the file holds them in.
int plot_from_file(Run& run)
{
    const std::string& power = run.options.power;
    set_up_view(run.view, {},
                power.empty() ? std::nullopt : std::optional<std::pair<int, int>>({-1, -1}));
    TimeOrder order;
    std::string problem;
    run.view.power_later = !power.empty() && start_time_order(order, -1, -1, problem);
    if (!power.empty() && !run.view.power_later) {
        say(Severity::warning, problem + "; power paired in the file's order");
    }
    CsvReading earlier;
    int runs = 0;
    const int refused =
        prepare_files(file_settings(run.options), {}, run.files, earlier, [&](const Record& row) {
            note_runs(run.view, earlier, runs);
            const RecordNews news = take_file_row(run.view, order, earlier.meters, power, row);
            if (!news.notice.empty()) {
                say(Severity::warning, news.notice);
            }
        });
    join_file_meters(run.view, earlier.meters, power);
    int volts = 0;
    int amperes = 0;
    const bool paired = refused == 0 && (power.empty() || parse_power(power, earlier.meters, volts,
                                                                      amperes, problem));
    const bool whole = replay_in_time_order(order, [&run, paired](const Record& row) {
        const RecordNews news = paired ? add_power_later(run.view, row) : RecordNews{};
        if (!news.notice.empty()) {
            say(Severity::warning, news.notice);
        }
    });
    if (!whole) {
        say(Severity::warning,
            "the rows kept aside for the power could not all be written; it counts those kept");
    }
    if (refused != 0) {
        return refused == 2 ? usage_error(run.options, "") : refused;
    }
    if (!paired) {
        discard_files(run.files);
        return usage_error(run.options, refusal_at(place_of(run.options, "power"), problem));
    }
    run.view.origin_utc = earlier.line.start_utc;
    run.view.seconds = earlier.line.end_s;
    run.outputs = {terminal_output(run.terminal), plot_output(run.files)};
    run.csv = Output{[](const RunView&, const RecordNews&) { return true; },
                     [](const RunView&) { return true; }};
    return finish_outputs(run) ? 0 : 1;
}

std::string joined(const std::vector<std::string>& words, const std::string& between)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : between) + word;
    }
    return text;
}

// What the options make a run do, in words, for --check-config.
std::string what_the_run_does(const Run& run)
{
    const LogOptions& options = run.options;
    std::string text = "ohmlog: " + options.config + ": the run would\n";
    if (!options.from.empty()) {
        return text + "  read " + joined(options.from, ", ") + " as one run\n" +
               (options.plot.empty() ? "" : "  draw the plot " + options.plot + "\n");
    }
    std::vector<std::string> meters;
    for (const MeterSession& session : run.sessions) {
        meters.push_back(session.name == session.port ? session.port
                                                      : session.name + " on " + session.port);
    }
    text += "  read " + joined(meters, ", ") +
            (options.wait_for_port ? ", waiting for a port that is not there\n" : "\n");
    text += options.interval_s > 0.0 ? "  once every " + si_text(options.interval_s, "s")
                                     : "  as often as the meters answer";
    text += options.count > 0 ? ", " + std::to_string(options.count) + " readings of each" : "";
    text += options.duration_s > 0.0 ? ", for " + si_text(options.duration_s, "s") : "";
    text += options.count > 0 || options.duration_s > 0.0 ? "\n" : ", until stopped\n";
    const std::string csv = options.output.empty() ? "standard output" : options.output;
    text +=
        "  write the rows to " + csv +
        (has_date_fields(options.output) ? ", a new file as the date in its name changes" : "") +
        (options.append ? ", adding to a file that is there" : "") +
        (options.force ? ", replacing a file that is there" : "") + "\n";
    text += options.plot.empty() ? "" : "  draw the plot " + options.plot + "\n";
    text += options.power.empty() ? "" : "  count the power of " + options.power + "\n";
    for (const std::string& alarm : options.alarms) {
        text += "  watch the alarm " + alarm + "\n";
    }
    text +=
        options.on_alarm.empty() ? "" : "  run at each rise and clear: " + options.on_alarm + "\n";
    text += options.stop_on_alarm ? "  end at the first rise\n" : "";
    text += options.serve ? "  serve the run on " + options.serve_host + ":" +
                                std::to_string(options.serve_port) + "\n"
                          : "";
    text += options.mqtt.empty() ? "" : "  publish the run to " + options.mqtt + "\n";
    text += options.log_file.empty() ? "" : "  add its messages to " + options.log_file + "\n";
    // A service runs in a folder of its own: the check says which folder it was made in.
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return text + (error ? "" : "  take relative paths in " + file_name(here) + "\n");
}

// "HOST:PORT" as --serve takes it, an IPv6 address in brackets.
std::string serve_address(const LogOptions& options)
{
    const bool v6 = options.serve_host.find(':') != std::string::npos;
    return (v6 ? "[" + options.serve_host + "]" : options.serve_host) + ":" +
           std::to_string(options.serve_port);
}

// The server's address is one of this machine's, or a name that leads to one: a free port on it
// is listened on for a moment, not the port named, which the run checked may hold.
bool check_serving(const LogOptions& options)
{
    std::string problem;
    if (!options.serve || listen_for_clients(*new_web_server(), options.serve_host, 0, problem)) {
        return true;
    }
    say(Severity::error,
        refusal_at(place_of(options, "serve"), "cannot serve on " + serve_address(options) +
                                                   problem.substr(problem.find(": "))));
    return false;
}

// A port whose path holds a file or a folder, which the run would refuse, and without
// --wait-for-port one that is not there or not this user's.
bool check_ports(const Run& run)
{
    for (const MeterSession& session : run.sessions) {
        if (holds_no_device(session.port) ||
            (!run.options.wait_for_port && !unopenable(session.port).empty())) {
            say(Severity::error,
                refusal_at(run.options.port_places[static_cast<std::size_t>(session.index)],
                           "cannot open " + session.port + ": " + open_failure(session.port)));
            return false;
        }
    }
    return true;
}

// --check-config: the checks a run makes before it asks a meter anything, with no file made
// or changed and no port opened; 0 when the run could start, 2 when not.
int check_configuration(Run& run)
{
    std::string problem;
    if (run.options.from.empty() && !choose_meters(run, problem)) {
        say(Severity::error, problem);
        return 2;
    }
    if (!check_ports(run) || !check_serving(run.options) ||
        check_files(file_settings(run.options), names_of(run)) != 0) {
        return 2;
    }
    const std::string& log_file = run.options.log_file;
    if (!log_file.empty() && !folder_writable(log_file)) {
        say(Severity::error, refusal_at(place_of(run.options, "log-file"),
                                        "cannot write the log file " + log_file +
                                            ": its folder is not there or not writable"));
        return 2;
    }
    std::fputs(what_the_run_does(run).c_str(), stdout);
    return 0;
}

} // namespace

int run_ohmlog(int argc, char** argv)
{
    prepare_process();
    if (is_service_command(argc, argv)) {
        return run_service_command(argc, argv);
    }
    Run run;
    LogOptions& options = run.options;
    std::string problem;
    if (!parse_log_options(argc, argv, options, problem)) {
        return usage_error(options, problem);
    }
    if (options.help || options.version) {
        std::fputs(options.help ? log_usage().c_str() : "ohmlog " OHM_VERSION "\n", stdout);
        return 0;
    }
    if (options.check_config) {
        return check_configuration(run);
    }
    if (!options.log_file.empty() && !keep_messages_in(options.log_file, problem)) {
        say(Severity::error, refusal_at(place_of(options, "log-file"), problem));
        return 1;
    }
    init_port_table();
    // Before any file is made or the meter asked anything: a port that cannot be listened on
    // ends the run at once.
    if (options.serve) {
        run.server = new_web_server();
        if (!listen_for_clients(*run.server, options.serve_host, options.serve_port, problem)) {
            say(Severity::error, refusal_at(place_of(options, "serve"), problem));
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
