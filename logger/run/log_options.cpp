#include "log_options.h"

#include "log_platform.h"
#include "log_service.h"
#include "mqtt_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>

#include <getopt.h>

namespace logbook {

namespace {

// The longest line of a file of options.
constexpr std::size_t LONGEST_LINE = 65536;

enum LongOnly {
    APPEND = 256,
    FORCE,
    PLOT,
    FROM,
    SERVE,
    POWER,
    ALARM,
    ON_ALARM,
    ON_ALARM_TIMEOUT,
    STOP_ON_ALARM,
    MQTT,
    MQTT_CAFILE,
    MQTT_PASSWORD_FILE,
    MQTT_NODE,
    METER,
    WAIT_FOR_PORT,
    LOG_FILE,
    CONFIG,
    CHECK_CONFIG,
    HELP,
    VERSION
};

const option LONG_OPTIONS[] = {
    {"count", required_argument, nullptr, 'n'},
    {"duration", required_argument, nullptr, 't'},
    {"interval", required_argument, nullptr, 'i'},
    {"output", required_argument, nullptr, 'o'},
    {"append", no_argument, nullptr, APPEND},
    {"force", no_argument, nullptr, FORCE},
    {"plot", required_argument, nullptr, PLOT},
    {"from", required_argument, nullptr, FROM},
    {"serve", required_argument, nullptr, SERVE},
    {"power", required_argument, nullptr, POWER},
    {"alarm", required_argument, nullptr, ALARM},
    {"on-alarm", required_argument, nullptr, ON_ALARM},
    {"on-alarm-timeout", required_argument, nullptr, ON_ALARM_TIMEOUT},
    {"stop-on-alarm", no_argument, nullptr, STOP_ON_ALARM},
    {"mqtt", required_argument, nullptr, MQTT},
    {"mqtt-cafile", required_argument, nullptr, MQTT_CAFILE},
    {"mqtt-password-file", required_argument, nullptr, MQTT_PASSWORD_FILE},
    {"mqtt-node", required_argument, nullptr, MQTT_NODE},
    {"meter", required_argument, nullptr, METER},
    {"wait-for-port", no_argument, nullptr, WAIT_FOR_PORT},
    {"log-file", required_argument, nullptr, LOG_FILE},
    {"config", required_argument, nullptr, CONFIG},
    {"check-config", required_argument, nullptr, CHECK_CONFIG},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

// A decimal, "." whatever the locale, of seconds, or of minutes, hours or days with their
// letter after it (10s, 5m, 2h, 1d): from 0 to LONGEST_SECONDS.
bool read_seconds(const char* text, double& seconds)
{
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, seconds, std::chars_format::fixed);
    const std::string unit(result.ptr, end);
    const double scale = unit.empty() || unit == "s" ? 1.0
                         : unit == "m"               ? 60.0
                         : unit == "h"               ? 3600.0
                         : unit == "d"               ? 86400.0
                                                     : 0.0;
    seconds *= scale;
    return result.ec == std::errc() && scale > 0.0 && seconds >= 0.0 && seconds <= LONGEST_SECONDS;
}

bool read_count(const char* text, long& count)
{
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, count);
    return result.ec == std::errc() && result.ptr == end && count > 0;
}

bool bad_value(std::string& problem, const char* what, const char* text)
{
    problem = std::string("bad ") + what + ": '" + text + "'";
    return false;
}

bool take_option(int code, const char* value, LogOptions& options, std::string& problem)
{
    switch (code) {
    case 'n': return read_count(value, options.count) || bad_value(problem, "count", value);
    case 't':
        return (read_seconds(value, options.duration_s) && options.duration_s > 0.0) ||
               bad_value(problem, "duration", value);
    case 'i':
        return read_seconds(value, options.interval_s) || bad_value(problem, "interval", value);
    case 'o': options.output = value; return true;
    case APPEND: options.append = true; return true;
    case FORCE: options.force = true; return true;
    case PLOT: options.plot = value; return true;
    case FROM: options.from.emplace_back(value); return true;
    case SERVE:
        options.serve = true;
        return parse_serve_address(value, options.serve_host, options.serve_port) ||
               bad_value(problem, "address to serve on", value);
    case POWER: options.power = value; return true;
    case ALARM: options.alarms.emplace_back(value); return true;
    case ON_ALARM: options.on_alarm = value; return true;
    case ON_ALARM_TIMEOUT:
        return (read_seconds(value, options.on_alarm_timeout_s) &&
                options.on_alarm_timeout_s > 0.0) ||
               bad_value(problem, "--on-alarm-timeout", value);
    case STOP_ON_ALARM: options.stop_on_alarm = true; return true;
    case MQTT: options.mqtt = value; return true;
    case MQTT_CAFILE: options.mqtt_cafile = value; return true;
    case MQTT_PASSWORD_FILE: options.mqtt_password_file = value; return true;
    case MQTT_NODE: options.mqtt_node = value; return true;
    case METER: options.ports.emplace_back(value); return true;
    case WAIT_FOR_PORT: options.wait_for_port = true; return true;
    case LOG_FILE: options.log_file = value; return true;
    case HELP: options.help = true; return true;
    case VERSION: options.version = true; return true;
    default: return false;
    }
}

// What getopt_long refused, in words: "--append=yes" is an option given a value it takes not.
std::string refused_option(const char* word)
{
    const std::string text = word;
    if (optopt != 0 && optopt < APPEND) {
        return std::string("unknown option -") + static_cast<char>(optopt);
    }
    const std::string name = text.substr(0, text.find('='));
    for (const option* known = LONG_OPTIONS; known->name != nullptr; ++known) {
        if (name == std::string("--") + known->name && known->has_arg == no_argument) {
            return name + " takes no value";
        }
    }
    return "unknown option " + name;
}

// An option as given: on the command line, or on a line of the file of options.
struct GivenOption {
    int code;
    std::string value;
    std::string place; // "FILE:LINE: " for a line of the file; empty for the command line
};

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

// The option of the table that a line of the file names.
const option* option_named(const std::string& name)
{
    for (const option* known = LONG_OPTIONS; known->name != nullptr; ++known) {
        if (name == known->name) {
            return known;
        }
    }
    return nullptr;
}

// One line of the file of options: the option's long name (its dashes may be left out), then
// its value after blanks or "=", to the end of the line.
bool read_option_line(const std::string& line, const std::string& place,
                      std::vector<GivenOption>& given, std::string& problem)
{
    const std::string text = trimmed(line);
    if (text.empty() || text[0] == '#') {
        return true;
    }
    const auto end = text.find_first_of(" \t=");
    const std::size_t dashes = text.rfind("--", 0) == 0 ? 2 : 0;
    const std::string name = text.substr(dashes, end == std::string::npos ? end : end - dashes);
    std::string value = end == std::string::npos ? "" : trimmed(text.substr(end));
    value = value.empty() || value[0] != '=' ? value : trimmed(value.substr(1));
    const option* known = option_named(name);
    if (known == nullptr) {
        problem = place + "unknown option '" + name + "'";
    } else if (known->val == CONFIG || known->val == CHECK_CONFIG || known->val == HELP ||
               known->val == VERSION) {
        problem = place + name + " has no place in a file of options";
    } else if (known->has_arg == no_argument && !value.empty()) {
        problem = place + name + " takes no value";
    } else if (known->has_arg == required_argument && value.empty()) {
        problem = place + name + " needs a value";
    } else {
        given.push_back(GivenOption{known->val, value, place});
    }
    return problem.empty();
}

// A line of the file of options, without its LF; false at the end of the file. A line past
// LONGEST_LINE is cut there: a device that never ends a line (/dev/zero) is not read forever.
bool next_line(std::istream& file, std::string& line)
{
    line.clear();
    for (int c = 0; (c = file.get()) != std::char_traits<char>::eof() && c != '\n';) {
        line.push_back(static_cast<char>(c));
        if (line.size() > LONGEST_LINE) {
            return true;
        }
    }
    return !line.empty() || !file.eof();
}

bool read_option_file(const std::string& path, std::vector<GivenOption>& given,
                      std::string& problem)
{
    std::ifstream file(path, std::ios::binary);
    std::error_code error;
    if (!file || std::filesystem::is_directory(path, error)) {
        problem = "cannot read " + path + ": " + std::strerror(file ? EISDIR : errno);
        return false;
    }
    std::string line;
    for (long number = 1; next_line(file, line); ++number) {
        if (number == 1 && !skip_byte_order_mark(line, problem)) {
            problem.insert(0, "cannot read " + path + ": ");
            return false;
        }
        const std::string place = path + ":" + std::to_string(number) + ": ";
        if (!usable_as_names(line)) {
            problem = place + "not UTF-8; save it as UTF-8";
            return false;
        }
        if (line.size() > LONGEST_LINE) {
            problem = place + "a line longer than " + std::to_string(LONGEST_LINE) + " bytes";
            return false;
        }
        if (!read_option_line(line, place, given, problem)) {
            return false;
        }
    }
    return true;
}

// The name of an option of the table, by its code.
std::string name_of(int code)
{
    for (const option* known = LONG_OPTIONS; known->name != nullptr; ++known) {
        if (known->val == code) {
            return known->name;
        }
    }
    return {};
}

bool repeatable(int code)
{
    return code == METER || code == ALARM || code == FROM;
}

// The place of the first of these options given, and its name as written there; none: "".
std::pair<std::string, std::string> first_given(const LogOptions& options,
                                                std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        const auto given = options.places.find(name);
        if (given != options.places.end()) {
            return {given->second, option_written(given->second, name)};
        }
    }
    return {};
}

// What the options say must hold together. A refusal names the option at fault as its user
// wrote it, after its place in the file of options when it is there.
bool consistent(const LogOptions& options, std::size_t ports, std::string& problem)
{
    const auto [from_place, from] = first_given(options, {"from"});
    const std::string with = from_place.empty() ? "--" : "";
    if (options.append && options.force) {
        const std::string place = place_of(options, "append");
        problem = given_twice(place, place_of(options, "force"),
                              option_written(place, "append") + " and " +
                                  option_written(place, "force") + " exclude each other");
    } else if (!options.from.empty() &&
               (ports != 0 || !options.output.empty() || options.append || options.count != 0 ||
                options.duration_s > 0.0 || options.interval_s > 0.0 || options.serve ||
                options.wait_for_port)) {
        problem = from_place + from + " reads a file instead of ports: it takes only " + with +
                  "plot, " + with + "force and " + with + "power";
    } else if (options.from.empty() && ports == 0) {
        problem = "no port given";
    } else if (!options.from.empty() &&
               (!options.alarms.empty() || !options.on_alarm.empty() || !options.mqtt.empty())) {
        problem = from_place + from + " draws a file: alarms and MQTT are for a run";
    } else if (options.mqtt.empty() &&
               (!options.mqtt_cafile.empty() || !options.mqtt_password_file.empty() ||
                !options.mqtt_node.empty())) {
        const auto [place, name] =
            first_given(options, {"mqtt-cafile", "mqtt-password-file", "mqtt-node"});
        problem = place + name + " needs " + option_written(place, "mqtt");
    } else if (options.alarms.empty() && (options.stop_on_alarm || !options.on_alarm.empty())) {
        const auto [place, name] = first_given(options, {"on-alarm", "stop-on-alarm"});
        problem = place + name + " needs " + option_written(place, "alarm");
    } else if (options.on_alarm.empty() && options.on_alarm_timeout_s > 0.0) {
        const auto [place, name] = first_given(options, {"on-alarm-timeout"});
        problem = place + name + " needs " + option_written(place, "on-alarm");
    }
    return problem.empty();
}

// The line's number in a place "FILE:LINE: ".
std::string line_of(const std::string& place)
{
    const auto colon = place.rfind(':', place.size() - 3);
    return place.substr(colon + 1, place.size() - colon - 3);
}

} // namespace

std::string place_of(const LogOptions& options, const std::string& name)
{
    const auto given = options.places.find(name);
    return given == options.places.end() ? "" : given->second;
}

std::string given_twice(const std::string& first, const std::string& second,
                        const std::string& what)
{
    if (first.empty() || second.empty()) {
        const std::string& place = first.empty() ? second : first;
        return place + what + (place.empty() ? "" : ", here and on the command line");
    }
    const long one = std::strtol(line_of(first).c_str(), nullptr, 10);
    const long other = std::strtol(line_of(second).c_str(), nullptr, 10);
    return (one > other ? first : second) + what + ", at lines " +
           std::to_string(std::min(one, other)) + " and " + std::to_string(std::max(one, other));
}

bool parse_serve_address(const std::string& text, std::string& host, unsigned short& port)
{
    const auto colon = text.rfind(':');
    host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.find_first_of("[]") != std::string::npos) {
        return false; // a bracket left unclosed
    }
    const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
    const char* end = digits.data() + digits.size();
    const auto result = std::from_chars(digits.data(), end, port);
    return !host.empty() && !digits.empty() && result.ec == std::errc() && result.ptr == end;
}

bool parse_log_options(int argc, char** argv, LogOptions& options, std::string& problem)
{
    opterr = 0; // the problem is told in our words
    optind = 1;
    int code = 0;
    std::vector<GivenOption> given;
    std::string config_option; // the one that named the file of options, as given
    while ((code = getopt_long(argc, argv, ":n:t:i:o:", LONG_OPTIONS, nullptr)) != -1) {
        if (code == '?') {
            problem = refused_option(argv[optind - 1]);
            return false;
        }
        if (code == ':') {
            problem = std::string("missing value after ") + argv[optind - 1];
            return false;
        }
        if ((code == CONFIG || code == CHECK_CONFIG) && !options.config.empty()) {
            // Which of two would be checked, or run, is no guess to make.
            problem = config_option + " and --" + name_of(code) + " " + optarg +
                      ": one file of options at a time";
            return false;
        }
        if (code == CONFIG || code == CHECK_CONFIG) {
            options.config = optarg;
            options.check_config = code == CHECK_CONFIG;
            config_option = "--" + name_of(code) + " " + optarg;
        } else {
            given.push_back(GivenOption{code, optarg == nullptr ? "" : optarg, ""});
        }
    }
    // The file's options first, so that those of the command line add to them or replace them.
    std::vector<GivenOption> all;
    if (!options.config.empty() && !read_option_file(options.config, all, problem)) {
        return false;
    }
    all.insert(all.end(), given.begin(), given.end());
    bool file_choice = true; // of --append or --force, one choice: the command line's replaces it
    for (const GivenOption& option : all) {
        const std::string name = name_of(option.code);
        if (!option.place.empty() && !repeatable(option.code) && options.places.count(name) != 0) {
            problem = given_twice(options.places[name], option.place, name + " given twice");
            return false;
        }
        if (option.place.empty() && (option.code == APPEND || option.code == FORCE) &&
            file_choice) {
            options.append = options.force = false;
            options.places.erase("append");
            options.places.erase("force");
            file_choice = false;
        }
        if (!take_option(option.code, option.value.c_str(), options, problem)) {
            problem = refusal_at(option.place, problem);
            return false;
        }
        if (option.code == FROM) {
            options.from_places.push_back(option.place);
        }
        if (option.code == METER) {
            options.port_places.push_back(option.place);
        } else if (option.code == ALARM) {
            options.alarm_places.push_back(option.place);
        } else if (option.code != FROM || options.places.count(name) == 0) {
            options.places[name] = option.place;
        }
    }
    if (options.help || options.version) {
        return true;
    }
    // With --from, the words after the options are more files (a glob the shell expanded).
    auto& words = options.from.empty() ? options.ports : options.from;
    words.insert(words.end(), argv + optind, argv + argc);
    options.port_places.resize(options.ports.size());
    options.from_places.resize(options.from.size());
    if (!consistent(options, options.ports.size(), problem)) {
        return false;
    }
    if (options.output == "-") {
        options.output.clear();
    }
    return true;
}

bool parse_meters(const std::vector<std::string>& arguments, std::vector<MeterChoice>& meters,
                  std::string& problem)
{
    for (const std::string& argument : arguments) {
        const auto equals = argument.find('=');
        MeterChoice meter{argument, argument};
        if (equals != std::string::npos) {
            meter = MeterChoice{argument.substr(0, equals), argument.substr(equals + 1)};
            if (!plain_name(meter.name) || meter.port.empty()) {
                problem =
                    "bad meter '" + argument + "': NAME=PORT, the name of letters, digits, _ and -";
                return false;
            }
        }
        for (const MeterChoice& earlier : meters) {
            if (earlier.name == meter.name) {
                problem = "two meters named " + meter.name;
                return false;
            }
        }
        meters.push_back(meter);
    }
    return true;
}

bool parse_power(const std::string& text, const std::vector<std::string>& names, int& volts,
                 int& amperes, std::string& problem)
{
    const auto comma = text.find(',');
    const std::string volt_name = text.substr(0, comma);
    const std::string ampere_name = comma == std::string::npos ? "" : text.substr(comma + 1);
    const auto index = [&names](const std::string& name) {
        const auto found = std::find(names.begin(), names.end(), name);
        return found == names.end() ? -1 : static_cast<int>(found - names.begin());
    };
    volts = index(volt_name);
    amperes = index(ampere_name);
    if (comma == std::string::npos || volts < 0 || amperes < 0 || volts == amperes) {
        problem = "bad --power '" + text + "': two meters of the run, the volts first (U,I)";
        return false;
    }
    return true;
}

namespace {

const char* usage_head()
{
    return "usage: ohmlog [options] [NAME=]PORT...\n"
           "       ohmlog --from FILE.csv|-... [--plot FILE.svg [--force]] [--power U,I]\n"
           "       ohmlog --config FILE [options] | --check-config FILE\n";
}

const char* usage_description()
{
    return "Records the MAS-345's readings as CSV, one row per request, until the count or\n"
           "the duration is reached or Ctrl-C is pressed; several meters at once, each at\n"
           "its own pace, into one file with a tenth column naming the meter.\n";
}

const char* usage_options_before_mqtt()
{
    return "  NAME=PORT            the meter on PORT named NAME (letters, digits, _, -);\n"
           "                       without one, a meter is named by its port\n"
           "  -n, --count N        stop after N readings of each meter\n"
           "  -t, --duration S     stop after S seconds (or 5m, 2h, 1d: minutes, hours, days)\n"
           "  -i, --interval S     one request every S seconds (likewise), every meter from one\n"
           "                       common start (default 0: each as soon as its previous\n"
           "                       reply is complete)\n"
           "  -o, --output FILE    the CSV goes to FILE instead of standard output (\"-\");\n"
           "                       an existing FILE is kept unless --append or --force;\n"
           "                       strftime fields (run-%Y-%m-%d.csv) start a new file as\n"
           "                       the date they give changes, in local time (UTC when a\n"
           "                       field is followed by Z)\n"
           "      --append         add rows to an existing FILE (no second header); the\n"
           "                       plot then shows the whole FILE and may be replaced\n"
           "      --force          replace an existing FILE and plot\n"
           "      --plot FILE.svg  at the end, a chart of value over clock time, a panel per\n"
           "                       meter and unit\n"
           "      --power U,I      the power of meter U (DC volts) times meter I (DC amperes),\n"
           "                       and its energy, in the summary, the plot and the page\n"
           "      --alarm RULE     [METER:]V<3.0, A>200mA, Ohm>1.5kOhm, P<0.5W (the power) or\n"
           "                       lost>30s, with options for=N (readings), for=30s, clear=VALUE;\n"
           "                       repeatable\n"
           "      --on-alarm CMD   run CMD through the shell at each rise and clear, with\n"
           "                       OHM_ALARM, OHM_STATE, OHM_METER, OHM_VALUE, OHM_UNIT, OHM_TIME\n"
           "                       in its environment, its output to standard error\n"
           "      --on-alarm-timeout S  end a command, with the processes it started,\n"
           "                       after S seconds (default 60)\n"
           "      --stop-on-alarm  end the run at the first rise, with exit status 3\n";
}

const char* usage_options_after_mqtt()
{
    return "      --from FILE.csv  plot and sum up CSVs that ohmlog wrote, one run read\n"
           "                       from the files given in turn, instead of reading a port;\n"
           "                       each read once as it comes (\"-\": standard input)\n"
           "      --meter [NAME=]PORT  a meter, as the PORT arguments name one\n"
           "      --wait-for-port  a port that is not there at the start is waited for, as\n"
           "                       a port lost during the run is\n"
           "      --log-file FILE  every message also added to FILE, with its time and level\n"
           "      --config FILE    long options from FILE, one a line without the dashes\n"
           "                       (\"meter U=COM3\", # a comment); the command line adds to\n"
           "                       the repeatable ones and replaces the others\n"
           "      --check-config FILE  check FILE and the options as a run would, say what\n"
           "                       the run would do, and exit 0 or 2; no port or file is used\n"
           "      --serve [HOST:]PORT  also serve the run over HTTP: a live page at /, events\n"
           "                       at /events, the last row at /latest.json, the CSV at\n"
           "                       /log.csv, Prometheus metrics at /metrics; HOST 127.0.0.1\n"
           "                       unless named\n"
           "      --help           this text\n"
           "      --version        the version\n"
           "A port that goes away is waited for and used again when it is back.\n";
}

const char* usage_tail()
{
    return "Exit status: 0 done (Ctrl-C included), 1 a port or a file failed, 2 bad usage\n"
           "or options, 3 ended by --stop-on-alarm.\n";
}

} // namespace

// The help of this build: the parts that differ between builds come from the platform (its
// service command, ports and signals) and from the MQTT output (with TLS or without).
std::string log_usage()
{
    return std::string(usage_head()) + service_synopsis() + usage_description() + ports_usage() +
           usage_options_before_mqtt() + mqtt_usage() + usage_options_after_mqtt() +
           signals_usage() + usage_tail();
}

} // namespace logbook
