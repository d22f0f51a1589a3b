// ohmlog's command line: GNU-style options, one parser (getopt_long) for every platform.
#pragma once

#include <string>

namespace logbook {

struct LogOptions {
    long count = 0;          // readings; 0: no limit
    double duration_s = 0.0; // 0: no limit
    double interval_s = 0.0; // 0: the next request as soon as a reply is complete
    std::string output;      // the CSV file; empty or "-": standard output
    bool append = false;
    bool force = false;
    std::string plot;   // the SVG chart; empty: none
    std::string from;   // an earlier CSV to plot and sum up instead of a port
    bool serve = false; // the run over HTTP too, on serve_host:serve_port
    std::string serve_host;
    unsigned short serve_port = 0;
    std::string port;
    bool help = false;
    bool version = false;
};

// The longest duration or interval: a billion seconds (some 31 years) still counts in the
// clock's nanoseconds from any moment of a run.
constexpr double LONGEST_SECONDS = 1e9;

// "[HOST:]PORT", HOST 127.0.0.1 unless named ("[::1]:8080" for IPv6); false for anything else.
bool parse_serve_address(const std::string& text, std::string& host, unsigned short& port);

// False with the problem to report when the command line is not one ohmlog understands.
bool parse_log_options(int argc, char** argv, LogOptions& options, std::string& problem);

const char* log_usage();

} // namespace logbook
