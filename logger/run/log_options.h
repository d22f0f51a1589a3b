// ohmlog's command line: GNU-style options, one parser (getopt_long) for every platform.
#pragma once

#include "log_record.h"

#include <map>
#include <string>
#include <vector>

namespace logbook {

struct LogOptions {
    std::string output;              // the CSV file; empty or "-": standard output
    std::string plot;                // the SVG chart; empty: none
    std::vector<std::string> from;   // earlier CSVs to plot and sum up as one run, not ports
    std::string config;              // the file of options (--config or --check-config)
    std::string serve_host;          // with `serve`, the run over HTTP on serve_host:serve_port
    std::vector<std::string> ports;  // as given: PORT or NAME=PORT
    std::string power;               // "U,I": the volt meter and the ampere meter
    std::vector<std::string> alarms; // rules as written: "V<3.0 for=3"
    std::string on_alarm;            // a command for each rise and clear
    double on_alarm_timeout_s = 0.0; // its time limit; 0: not given, the default
    std::string mqtt;                // mqtt://[USER@]HOST[:PORT] or mqtts://...
    std::string mqtt_cafile;
    std::string mqtt_password_file;
    std::string mqtt_node;   // this logger's name; empty: the host name
    std::string log_file;    // every message also added to this file
    long count = 0;          // readings; 0: no limit
    double duration_s = 0.0; // 0: no limit
    double interval_s = 0.0; // 0: the next request as soon as a reply is complete
    unsigned short serve_port = 0;
    bool serve = false;
    bool append = false;
    bool force = false;
    bool stop_on_alarm = false;
    bool wait_for_port = false; // a port missing at start is waited for as a lost one
    bool check_config = false;  // only check the options and say what the run would do
    bool help = false;
    bool version = false;
    // Where each option was given, for what is refused of it later: "FILE:LINE: " for a line of
    // the file of options, "" for the command line. By long name ("from": its first file), and
    // one for each meter and each alarm.
    std::map<std::string, std::string> places;
    std::vector<std::string> port_places;
    std::vector<std::string> alarm_places;
};

// Where the option was given ("" for the command line, or not given).
std::string place_of(const LogOptions& options, const std::string& name);

// The refusal of a thing given twice (`what`: "two meters named U"), at the places of the two:
// after the later line of the file when one is there, with both lines' numbers.
std::string given_twice(const std::string& first, const std::string& second,
                        const std::string& what);

// "[HOST:]PORT", HOST 127.0.0.1 unless named ("[::1]:8080" for IPv6); false for anything else.
bool parse_serve_address(const std::string& text, std::string& host, unsigned short& port);

// A meter as named on the command line: NAME=PORT, or PORT alone, which names it.
struct MeterChoice {
    std::string name;
    std::string port;
};

// The meters of PORT... arguments; false with the problem for a name that is not letters,
// digits, "_" and "-", or a name given twice.
bool parse_meters(const std::vector<std::string>& arguments, std::vector<MeterChoice>& meters,
                  std::string& problem);

// The volt and the ampere meter of "--power U,I" among the meters' names; false with the
// problem when they are not two different meters of the run.
bool parse_power(const std::string& text, const std::vector<std::string>& names, int& volts,
                 int& amperes, std::string& problem);

// False with the problem to report when the command line, and the file of options it names
// (--config), are not ones ohmlog understands. The file holds long options, one a line
// without their dashes, the value after a blank to the end of the line ("alarm V<3.0 for=3",
// "meter U=COM3"; a line starting with # is a comment, a # after a value is part of it), each
// option once but the repeatable ones; the command line's options come after the file's: a
// repeatable one (meters, alarms, --from files) adds to them, any other replaces the file's.
// A problem of a line of the file starts with its place, "FILE:LINE: ".
bool parse_log_options(int argc, char** argv, LogOptions& options, std::string& problem);

const char* log_usage();

} // namespace logbook
