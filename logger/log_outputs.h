// ohmlog's files: the CSV (or standard output) and the plot. Every output is checked and
// opened before the meter is asked anything, and nothing that exists is changed before the run
// starts: a run that cannot start leaves every file byte for byte as it was. The plot is
// written under a temporary name of its own and renamed when complete.
#pragma once

#include "log_csv_reader.h"
#include "log_options.h"

#include <cstdio>
#include <string>

namespace logbook {

struct Outputs {
    std::FILE* csv = nullptr;
    std::string csv_name;      // empty: standard output
    bool created_csv = false;  // the file did not exist before this run
    bool replace_csv = false;  // --force on an existing file: emptied when the run starts
    bool csv_has_rows = false; // no header is written before appended rows
    bool csv_cut_row = false;  // its last row has no line end: it gets one before new rows
    std::string plot_name;
    std::string plot_part; // the temporary name, created up front
    std::FILE* plot = nullptr;
    bool write_failed = false;
    bool status_shown = false; // a status line stands on the terminal that rows may share
};

// One line on standard error, after the program's name.
void say(const std::string& message);

// Checks and opens every output, and reads what an earlier run left in an appended CSV (or the
// --from file) into the chart. Gives 0, or the exit status when the run must not start (2 for
// bad usage, 1 for a file), having said why in one line.
int prepare_outputs(const LogOptions& options, Outputs& outputs, Chart& chart, CsvReading& earlier);

// The run starts: a replaced CSV is emptied, and a CSV without rows gets its header.
bool start_outputs(Outputs& outputs);

// The run did not start: a CSV this run created and the temporary plot go.
void discard_outputs(Outputs& outputs);

// Writes and flushes one piece of the CSV; after a failure, told once, nothing more is written.
bool write_csv(Outputs& outputs, const std::string& text);

// Closes the CSV, then writes the plot and puts it in place; false when it could not.
bool finish_outputs(Outputs& outputs, const std::string& svg);

} // namespace logbook
