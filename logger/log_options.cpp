#include "log_options.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include <getopt.h>

namespace logbook {

namespace {

enum LongOnly { APPEND = 256, FORCE, PLOT, HELP, VERSION };

const option LONG_OPTIONS[] = {
    {"count", required_argument, nullptr, 'n'},    {"duration", required_argument, nullptr, 't'},
    {"interval", required_argument, nullptr, 'i'}, {"output", required_argument, nullptr, 'o'},
    {"append", no_argument, nullptr, APPEND},      {"force", no_argument, nullptr, FORCE},
    {"plot", required_argument, nullptr, PLOT},    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},    {nullptr, 0, nullptr, 0},
};

// Decimal seconds, "." whatever the locale, finite and not negative; nothing else after.
bool read_seconds(const char* text, double& seconds)
{
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, seconds, std::chars_format::fixed);
    return result.ec == std::errc() && result.ptr == end && std::isfinite(seconds) &&
           seconds >= 0.0;
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
    case HELP: options.help = true; return true;
    case VERSION: options.version = true; return true;
    default: return false;
    }
}

} // namespace

bool parse_log_options(int argc, char** argv, LogOptions& options, std::string& problem)
{
    opterr = 0; // the problem is told in our words
    optind = 1;
    int code = 0;
    while ((code = getopt_long(argc, argv, ":n:t:i:o:", LONG_OPTIONS, nullptr)) != -1) {
        if (code == '?') {
            problem = optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                                  : std::string("unknown option ") + argv[optind - 1];
            return false;
        }
        if (code == ':') {
            problem = std::string("missing value after ") + argv[optind - 1];
            return false;
        }
        if (!take_option(code, optarg, options, problem)) {
            return false;
        }
    }
    if (options.help || options.version) {
        return true;
    }
    if (options.append && options.force) {
        problem = "--append and --force exclude each other";
        return false;
    }
    if (argc - optind != 1) {
        problem = argc == optind ? "no port given" : "one port only";
        return false;
    }
    options.port = argv[optind];
    return true;
}

const char* log_usage()
{
    return "usage: ohmlog [options] PORT\n"
           "Records the MAS-345's readings as CSV, one row per request, until the count or\n"
           "the duration is reached or Ctrl-C is pressed.\n"
           "  PORT                 COMn (any case), or on Linux a device path such as\n"
           "                       /dev/ttyUSB0 (COMn is /dev/ttyS(n-1) there)\n"
           "  -n, --count N        stop after N readings\n"
           "  -t, --duration S     stop after S seconds\n"
           "  -i, --interval S     one request every S seconds (default 0: each as soon as\n"
           "                       the previous reply is complete)\n"
           "  -o, --output FILE    the CSV goes to FILE instead of standard output; an\n"
           "                       existing FILE is kept unless --append or --force\n"
           "      --append         add rows to an existing FILE (no second header)\n"
           "      --force          replace an existing FILE (and plot)\n"
           "      --plot FILE.svg  at the end, a chart of value over elapsed time\n"
           "      --help           this text\n"
           "      --version        the version\n"
           "Exit status: 0 done (Ctrl-C included), 1 the port or a file failed, 2 bad usage.\n";
}

} // namespace logbook
