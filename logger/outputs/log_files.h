// ohmlog's files: the CSV (or standard output) and the plot. Every file is checked and opened
// before any meter is asked anything, and nothing that exists is changed before the run
// starts: a run that cannot start leaves every file byte for byte as it was. The plot is
// written under a temporary name of its own and renamed when complete. An output that is a
// device or a pipe (/dev/null, a FIFO) is written into and stays what it is; a directory, a
// socket or a block device is refused.
#pragma once

#include "log_csv_reader.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace logbook {

// What the run's files are to be, as the user named them.
struct FileSettings {
    std::string output; // the CSV; empty or "-": standard output
    std::string plot;   // empty: none
    std::string from;   // an earlier CSV read instead of a port; "-": standard input
    bool append = false;
    bool force = false;
};

struct Files {
    std::FILE* csv = nullptr;
    std::string csv_name;      // empty: standard output
    bool created_csv = false;  // the file did not exist before this run
    bool replace_csv = false;  // --force on an existing file: emptied when the run starts
    bool csv_has_rows = false; // no header is written before appended rows
    bool csv_cut_row = false;  // its last row has no line end: it gets one before new rows
    std::string plot_name;
    std::string plot_place; // the file the plot's name leads to, through its links
    std::string plot_part;  // the temporary name, created up front; empty for a device or pipe
    std::FILE* plot = nullptr;
    bool write_failed = false;
    bool status_shown = false; // a status line stands on the terminal that rows may share
};

// One line on standard error, after the program's name.
void say(const std::string& message);

// Checks and opens every file. An appended CSV is read first: its columns and its meters (the
// same names, in the same order) must be the run's, `meters`, and its rows go to
// `take_earlier` (their meter the index in `meters`) when the plot is to show them. The
// --from file's rows go to `take_earlier` likewise. Gives 0, or the exit status when the run
// must not start (2 for bad usage, 1 for a file), having said why in one line. The --from
// file is read once, as it comes: it may be a pipe.
int prepare_files(const FileSettings& options, const std::vector<std::string>& meters, Files& files,
                  CsvReading& earlier, const std::function<void(const Record&)>& take_earlier);

// The run starts: a replaced CSV is emptied, a CSV without rows gets its header (with the
// meter column when `with_meter`), and a last row cut short its line end.
bool start_files(Files& files, bool with_meter);

// The run did not start: a CSV this run created and the temporary plot go.
void discard_files(Files& files);

// Writes and flushes one piece of the CSV; after a failure, told once, nothing more is written.
bool write_csv(Files& files, const std::string& text);

void close_csv(Files& files);
// Writes the plot and puts it in place; false when it could not.
bool put_plot(Files& files, const std::string& svg);

} // namespace logbook
