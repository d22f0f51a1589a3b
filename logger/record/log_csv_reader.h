// Reading back a CSV that ohmlog wrote, for a plot drawn after the run: one run or several
// appended to one file, of one meter (nine columns) or several (a tenth, the meter's name),
// the last row possibly cut short by a power failure. Row by row: a file of a week's readings
// is never held in memory.
#pragma once

#include "log_record.h"

#include <chrono>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace logbook {

// The file's time line: each appended run starts where its first row's UTC time puts it after
// the file's first row, and goes on by its own elapsed seconds. A row whose elapsed seconds go
// back for its meter (or a repeated header) starts a run.
struct TimeLine {
    bool started = false;
    std::chrono::system_clock::time_point start_utc{}; // the file's first row
    double run_offset_s = 0.0;                         // where the current run starts
    double end_s = 0.0;                                // the latest row
    int runs = 0;                                      // started so far
    std::vector<double> last_elapsed_s;                // of each meter's latest row in this run
};

// Where a run whose first request was at `utc` starts on the time line.
double run_start_on(const TimeLine& line, std::chrono::system_clock::time_point utc);

// Lines that cannot be read are skipped; this many of them are named.
constexpr std::size_t NAMED_SKIPS = 10;

struct CsvReading {
    TimeLine line;
    bool with_meter = false;         // the tenth column is there
    std::vector<std::string> meters; // in the order of their first rows; one unnamed for nine
    long rows = 0;
    bool cut_short = false;          // the last row had no line end and was left out
    long skipped = 0;                // lines that are no row ohmlog writes
    std::vector<long> skipped_lines; // the first NAMED_SKIPS of them
    std::string problem;             // "FILE:LINE: ..." when the file is not ohmlog's CSV
};

// Gives every complete row of the file in turn (after the rows of the files read before with
// the same `reading`, on one time line), its meter the index in `reading.meters` and its
// elapsed seconds placed on the file's time line, skipping lines it cannot read (a row cut
// short by a power failure and ended by a later run, a number that is not finite or out of the
// range of a run); false with the problem told when the file cannot be read (a directory) or
// does not start with one of ohmlog's headers (an empty file neither).
bool read_csv(const std::string& path, CsvReading& reading,
              const std::function<void(const Record&)>& take);
// The same from a stream read once, as it comes; `path` names it in the problem.
bool read_csv(std::istream& file, const std::string& path, CsvReading& reading,
              const std::function<void(const Record&)>& take);

// "2026-12-08T13:04:38.774Z" as a time; false for any other text.
bool parse_utc(const std::string& text, std::chrono::system_clock::time_point& time);

} // namespace logbook
