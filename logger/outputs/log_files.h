// ohmlog's files: the CSV (or standard output) and the plot. Every file is checked and opened
// before any meter is asked anything, and nothing that exists is changed before the run
// starts: a run that cannot start leaves every file byte for byte as it was. The plot is
// written under a temporary name of its own and renamed when complete. An output that is a
// device or a pipe (/dev/null, a FIFO) is written into and stays what it is; a directory, a
// socket or a block device is refused.
//
// During the run the CSV stays at its path: a file moved away or removed (log rotation, a
// hand) is noticed before the next row, said, and a new one made at the path with its header;
// an empty file put there (logrotate's create) is taken, SIGUSR1 or not, and a file cut to
// nothing (copytruncate) gets its header before the next row. A file that another program put
// at the path with content of its own is never written into: the rows go on in a new file
// beside it, and that is said. A device or a pipe is written into and never opened again.
// A path with strftime fields (bench-%Y-%m-%d.csv) names a file for each row by the time of
// its request, local time unless a field is followed by Z (%HZ): a row whose time names a
// later file closes the one open and starts that one, with its header; a row requested before
// the row that started the file open now goes into it, so that the files follow one another,
// each opened and drawn once, and no row is lost or written twice.
#pragma once

#include "log_csv_reader.h"
#include "log_platform.h"

#include <chrono>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace logbook {

// What the run's files are to be, as the user named them.
struct FileSettings {
    std::string output;            // the CSV; empty or "-": standard output
    std::string plot;              // empty: none
    std::vector<std::string> from; // earlier CSVs read as one run instead of a port; "-": stdin
    bool append = false;
    bool force = false;
    // Where the CSV and the plot were named: "FILE:LINE: " in the file of options, which leads
    // what is refused of them at the start; "" for the command line.
    std::string output_place;
    std::string plot_place;
};

struct Files {
    std::FILE* csv = nullptr;
    std::string csv_name;      // empty: standard output
    bool created_csv = false;  // the file did not exist before this run
    bool replace_csv = false;  // --force on an existing file: emptied when the run starts
    bool csv_has_rows = false; // no header is written before appended rows
    bool csv_cut_row = false;  // its last row has no line end: it gets one before new rows
    bool with_meter = false;   // its header's tenth column, for each file opened later
    FileIdentity csv_identity; // of the file open at csv_name
    std::string csv_pattern;   // with strftime fields: csv_name is the file of the latest row
    std::chrono::system_clock::time_point csv_named_at{}; // the time that named csv_name
    std::string plot_name;
    std::string plot_place; // the file the plot's name leads to, through its links
    std::string plot_part;  // the temporary name, created up front; empty for a device or pipe
    std::FILE* plot = nullptr;
    std::string plot_pattern; // with strftime fields: each CSV file's plot, drawn as it closes
    std::string closed_csv;   // a CSV file of the pattern just closed, its plot still to draw
    std::string closed_plot;
    bool write_failed = false;
    bool status_shown = false; // a status line stands on the terminal that rows may share
};

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

// The checks of prepare_files, with nothing created, changed or asked of a meter; the folders
// of the files are checked too. Gives 0 or 2, having said what is wrong.
int check_files(const FileSettings& options, const std::vector<std::string>& meters);

// Whether the path has strftime fields, and the path they give at `time`.
bool has_date_fields(const std::string& path);
std::string dated_path(const std::string& pattern, std::chrono::system_clock::time_point time);

// The run did not start: a CSV this run created and the temporary plot go.
void discard_files(Files& files);

// Writes and flushes one piece of the CSV; after a failure, told once, nothing more is written.
// Output that nobody reads is waited for until the run is asked to stop (see write_out).
bool write_csv(Files& files, const std::string& text);
// A row requested at `utc_time` ("2026-12-08T13:04:38.774Z"), in the file its time names.
bool write_csv_row(Files& files, const std::string& utc_time, const std::string& text);
// SIGUSR1: the CSV is the file at its path again (a regular file; a device or a pipe stays).
void reopen_csv(Files& files);
// Whether the CSV is still at its path; when not, told, and the rows go on as the top says.
void keep_csv_at_path(Files& files);

void close_csv(Files& files);
// Writes the plot and puts it in place; false when it could not, said with the cause and
// where the plot is, if anywhere.
bool put_plot(Files& files, const std::string& svg);
// The same for a plot of its own, written under a temporary name beside `path`.
bool write_plot_file(const std::string& path, const std::string& svg);

} // namespace logbook
