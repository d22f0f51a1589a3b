#include "sim_options.h"

#include <cstdlib>
#include <cstring>

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string unescape(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'r') {
            bytes += '\r';
        } else if (kind == 'n') {
            bytes += '\n';
        } else if (kind == 't') {
            bytes += '\t';
        } else if (kind == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            bytes += kind;
        }
    }
    return bytes;
}

bool read_number(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

bool read_number(const char* text, int& value)
{
    double number = 0;
    if (!read_number(text, number)) {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

// "20,350,20": each a number.
bool read_numbers(const char* text, std::vector<int>& values)
{
    std::string rest = text;
    for (std::size_t comma; !rest.empty();
         rest = comma == std::string::npos ? "" : rest.substr(comma + 1)) {
        comma = rest.find(',');
        int value = 0;
        if (!read_number(rest.substr(0, comma).c_str(), value)) {
            return false;
        }
        values.push_back(value);
    }
    return !values.empty();
}

} // namespace

const char* sim_usage()
{
    return "usage: metersim [options]\n"
           "  --reading TEXT     frame to answer with, without its CR (repeat for a sequence)\n"
           "                     default \"DC -0.842   V\"\n"
           "  --delay MS         from the request to the reply (default 20)\n"
           "  --char-ms MS       time per character on the line (default 16.67)\n"
           "  --silent           never answer\n"
           "  --cut N            send only the first N bytes of each reply\n"
           "  --junk TEXT        send TEXT right before each reply\n"
           "  --stray TEXT       send TEXT unsolicited after each reply...\n"
           "  --stray-after MS   ...this long after it (default 100)\n"
           "  --tail-from N      bytes from N on arrive late...\n"
           "  --tail-delay MS    ...by MS\n"
           "  --stream           send frames back to back without being asked\n"
           "  --lines-dir DIR    answer only while DTR is on and RTS off (as the line shim\n"
           "                     records them in DIR)\n"
           "  --log FILE         append every byte received to FILE\n"
           "  --gap-log FILE     append a line to FILE for each request: how many\n"
           "                     milliseconds after the meter's last byte it came\n"
           "  --request-times FILE  append a line to FILE for each request: when it came,\n"
           "                     in nanoseconds since 1970 (the clock of ohmlog's times)\n"
           "  --path-file FILE   also write the device path to FILE\n"
           "  --hangup-after N   close the line after N replies\n"
           "  --vanish-on-request N  close the line when the Nth request arrives\n"
           "  --not-ready MS     ignore requests that arrive within MS of a reply's end\n"
           "  --lose-every N     ignore every Nth request, as if it was lost on the line\n"
           "  --twice            answer each request twice, the copy half a character after\n"
           "                     the reply\n"
           "  --delays MS,MS...  the delay of each reply in turn, the last for all later ones\n"
           "  --in-turn          a request heard while a reply is under way is answered\n"
           "                     the delay after that reply, not queued right behind it\n"
           "  --deaf-while-answering  ignore a request that arrives while a reply is under\n"
           "                     way, from the request it answers to its last byte\n"
           "  --numbered         each reply shows the number of the request it answers:\n"
           "                     DC  0001    V, DC  0002    V, ...\n"
           "  --link PATH        keep PATH a symbolic link to the line while it is plugged in\n"
           "  --version          print the version and end\n"
           "SIGUSR1 unplugs the meter's cable (it stops answering) and plugs it back.\n"
           "SIGUSR2 unplugs the line itself, as a USB adapter pulled out: the device goes\n"
           "away (hung up, then gone); the next SIGUSR2 plugs in a new one, whose path is\n"
           "printed on a line of its own and given to --link.\n"
           "Texts accept \\r \\n \\t \\\\ \\xHH. The device path is printed on the first line.\n";
}

bool parse_sim_options(int argc, char** argv, SimOptions& options, std::string& problem)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            problem.clear();
            return false;
        }
        if (option == "--version") {
            options.version = true;
            return true;
        }
        const bool takes_value = option != "--silent" && option != "--stream" &&
                                 option != "--twice" && option != "--in-turn" &&
                                 option != "--numbered" && option != "--deaf-while-answering";
        if (takes_value && i + 1 >= argc) {
            problem = "missing value after " + option;
            return false;
        }
        const char* value = takes_value ? argv[++i] : "";
        bool good = true;
        if (option == "--reading") {
            options.readings.push_back(unescape(value));
        } else if (option == "--delay") {
            good = read_number(value, options.delay_ms);
        } else if (option == "--char-ms") {
            good = read_number(value, options.char_ms);
        } else if (option == "--silent") {
            options.silent = true;
        } else if (option == "--cut") {
            good = read_number(value, options.cut);
        } else if (option == "--junk") {
            options.junk = unescape(value);
        } else if (option == "--stray") {
            options.stray = unescape(value);
        } else if (option == "--stray-after") {
            good = read_number(value, options.stray_after_ms);
        } else if (option == "--tail-from") {
            good = read_number(value, options.tail_from);
        } else if (option == "--tail-delay") {
            good = read_number(value, options.tail_delay_ms);
        } else if (option == "--stream") {
            options.stream = true;
        } else if (option == "--lines-dir") {
            options.lines_dir = value;
        } else if (option == "--log") {
            options.log_file = value;
        } else if (option == "--gap-log") {
            options.gap_log = value;
        } else if (option == "--request-times") {
            options.request_times = value;
        } else if (option == "--path-file") {
            options.path_file = value;
        } else if (option == "--hangup-after") {
            good = read_number(value, options.hangup_after);
        } else if (option == "--vanish-on-request") {
            good = read_number(value, options.vanish_on_request);
        } else if (option == "--not-ready") {
            good = read_number(value, options.not_ready_ms);
        } else if (option == "--lose-every") {
            good = read_number(value, options.lose_every);
        } else if (option == "--twice") {
            options.twice = true;
        } else if (option == "--delays") {
            good = read_numbers(value, options.delays_ms);
        } else if (option == "--in-turn") {
            options.in_turn = true;
        } else if (option == "--deaf-while-answering") {
            options.busy_deaf = true;
        } else if (option == "--numbered") {
            options.numbered = true;
        } else if (option == "--link") {
            options.link = value;
        } else {
            problem = "unknown option " + option;
            return false;
        }
        if (!good) {
            problem = "bad value for " + option + ": " + value;
            return false;
        }
    }
    if (options.readings.empty()) {
        options.readings.push_back("DC -0.842   V");
    }
    return true;
}
