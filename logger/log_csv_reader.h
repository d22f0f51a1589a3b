// Reading back a CSV that ohmlog wrote, for a plot drawn after the run: one run or several
// appended to one file, the last row possibly cut short by a power failure. Row by row: a file
// of a week's readings is never held in memory.
#pragma once

#include "log_series.h"

#include <chrono>
#include <string>
#include <vector>

namespace logbook {

// The file's time line: each appended run starts where its first row's UTC time puts it after
// the file's first row, and goes on by its own elapsed seconds.
struct TimeLine {
    bool started = false;
    std::chrono::system_clock::time_point start_utc{}; // the file's first row
    double run_offset_s = 0.0;                         // where the current run starts
    double end_s = 0.0;                                // the latest row
    double last_elapsed_s = -1.0;                      // of the current run's latest row
};

// Where a run whose first request was at `utc` starts on the time line.
double run_start_on(const TimeLine& line, std::chrono::system_clock::time_point utc);

// Lines that cannot be read are skipped; this many of them are named.
constexpr std::size_t NAMED_SKIPS = 10;

struct CsvReading {
    TimeLine line;
    long rows = 0;
    bool cut_short = false;          // the last row had no line end and was left out
    long skipped = 0;                // lines that are no row ohmlog writes
    std::vector<long> skipped_lines; // the first NAMED_SKIPS of them
    std::string problem;             // "FILE:LINE: ..." when the file is not ohmlog's CSV
};

// Adds every complete row of the file to the chart, skipping lines it cannot read (a row cut
// short by a power failure and ended by a later run, a number that is not finite or out of the
// range of a run); false with the problem told when the file cannot be read or does not start
// with ohmlog's header.
bool read_csv_into(const std::string& path, Chart& chart, CsvReading& reading);

// "2026-12-08T13:04:38.774Z" as a time; false for any other text.
bool parse_utc(const std::string& text, std::chrono::system_clock::time_point& time);

} // namespace logbook
