#include "log_files.h"

#include "log_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace logbook {

namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// A file whose bytes writing would change: not a device such as /dev/null, nor a pipe.
bool is_file(const std::string& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool has_bytes(const std::string& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return !error && size > 0;
}

// A power failure or a full disk may leave the last row without its line end.
bool ends_without_line_end(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    char last = '\n';
    return file && file.seekg(-1, std::ios::end) && file.get(last) && last != '\n';
}

// Whether two names lead to one file: the same file if both exist, else the same place.
bool same_file(const std::string& a, const std::string& b)
{
    std::error_code error;
    if (exists(a) && exists(b)) {
        return fs::equivalent(a, b, error);
    }
    const fs::path place_a = fs::weakly_canonical(a, error);
    const bool known_a = !error;
    const fs::path place_b = fs::weakly_canonical(b, error);
    return known_a && !error && place_a == place_b;
}

// An existing file is kept unless the user said what to do with it. With --append the plot
// shows the whole file, earlier runs included, so it may be drawn again.
bool may_write(const std::string& path, bool allowed)
{
    if (path.empty() || allowed || !is_file(path)) {
        return true;
    }
    say(path + " exists; --append adds to it, --force replaces it");
    return false;
}

bool open_plot(Files& files, const std::string& plot)
{
    if (plot.empty()) {
        return true;
    }
    files.plot_name = plot;
    files.plot_part = plot + "." + std::to_string(process_id()) + ".part";
    files.plot = create_new_file(files.plot_part);
    if (files.plot == nullptr) {
        say("cannot write " + plot + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// Opened for appending, so that nothing of an existing file is lost before the run starts.
bool open_csv(Files& files, const FileSettings& options)
{
    if (options.output.empty()) {
        use_binary_stdout();
        files.csv = stdout;
        return true;
    }
    files.csv_name = options.output;
    files.created_csv = !exists(options.output);
    files.replace_csv = options.force && is_file(options.output);
    files.csv_has_rows = options.append && has_bytes(options.output);
    files.csv_cut_row = files.csv_has_rows && ends_without_line_end(options.output);
    files.csv = std::fopen(options.output.c_str(), "ab");
    if (files.csv == nullptr) {
        say("cannot write " + options.output + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// An appended file holds rows of the run's meters, named alike. Its rows come as each meter
// answered, so the meters' order is the command line's, not that of their first rows there.
bool same_meters(const FileSettings& options, const std::vector<std::string>& meters,
                 const CsvReading& earlier)
{
    const auto one_of_the_run = [&meters](const std::string& name) {
        return std::find(meters.begin(), meters.end(), name) != meters.end();
    };
    const bool several = meters.size() > 1;
    if (earlier.with_meter != several) {
        say("cannot append to " + options.output + ": its rows are of " +
            (earlier.with_meter ? "several meters" : "one meter") + ", this run's of " +
            std::to_string(meters.size()));
        return false;
    }
    if (several && earlier.rows > 0 &&
        (earlier.meters.size() != meters.size() ||
         !std::all_of(earlier.meters.begin(), earlier.meters.end(), one_of_the_run))) {
        say("cannot append to " + options.output + ": its meters are " + listed(earlier.meters) +
            ", this run's " + listed(meters));
        return false;
    }
    return true;
}

// The rows a plot starts with: the --from file, or those an appended CSV already holds, which
// is read in any case to see that it holds rows of the run's meters.
bool read_earlier(const FileSettings& options, const std::vector<std::string>& meters,
                  CsvReading& earlier, const std::function<void(const Record&)>& take_earlier)
{
    const bool from = !options.from.empty();
    const std::string& path = from ? options.from : options.output;
    if (!from && !(options.append && has_bytes(options.output))) {
        return true;
    }
    if (!from) {
        // A file that is not ohmlog's is the user's to append to, as ever; its plot is not.
        CsvReading scan;
        const bool ours = read_csv(path, scan, [](const Record&) {});
        if (ours && !same_meters(options, meters, scan)) {
            return false;
        }
        if (options.plot.empty()) {
            earlier = ours ? scan : CsvReading{};
            return true;
        }
    }
    const auto take = [&](const Record& row) {
        Record record = row;
        if (!from && earlier.with_meter) {
            const auto name = std::find(meters.begin(), meters.end(),
                                        earlier.meters[static_cast<std::size_t>(row.meter)]);
            record.meter = static_cast<int>(name - meters.begin());
        }
        take_earlier(record);
    };
    if (!read_csv(path, earlier, take)) {
        say(earlier.problem);
        return false;
    }
    for (const long line : earlier.skipped_lines) {
        say(path + ":" + std::to_string(line) + ": cannot read this line; skipped");
    }
    if (earlier.skipped > static_cast<long>(earlier.skipped_lines.size())) {
        say(path + ": " +
            std::to_string(earlier.skipped - static_cast<long>(earlier.skipped_lines.size())) +
            " more lines skipped");
    }
    return true;
}

} // namespace

void say(const std::string& message)
{
    std::fprintf(stderr, "ohmlog: %s\n", message.c_str());
}

int prepare_files(const FileSettings& options, const std::vector<std::string>& meters, Files& files,
                  CsvReading& earlier, const std::function<void(const Record&)>& take_earlier)
{
    const std::string& rows = options.from.empty() ? options.output : options.from;
    if (!options.plot.empty() && !rows.empty() && same_file(rows, options.plot)) {
        say("the rows and the plot cannot both be " + options.plot);
        return 2;
    }
    if (!may_write(options.output, options.append || options.force) ||
        !may_write(options.plot, options.append || options.force) ||
        !read_earlier(options, meters, earlier, take_earlier)) {
        return 1;
    }
    if (!open_plot(files, options.plot) || (options.from.empty() && !open_csv(files, options))) {
        discard_files(files);
        return 1;
    }
    // Names told apart above may still be one file where case does not count.
    if (files.created_csv && !options.plot.empty() && same_file(rows, options.plot)) {
        discard_files(files);
        say("the rows and the plot cannot both be " + options.plot);
        return 2;
    }
    return 0;
}

bool start_files(Files& files, bool with_meter)
{
    if (files.csv == nullptr) {
        return true;
    }
    if (files.replace_csv) {
        std::error_code error;
        fs::resize_file(files.csv_name, 0, error);
        if (error) {
            say("cannot write " + files.csv_name + ": " + error.message());
            files.write_failed = true;
            return false;
        }
    }
    if (files.csv_cut_row) {
        return write_csv(files, "\r\n");
    }
    return files.csv_has_rows || write_csv(files, csv_header(with_meter));
}

void discard_files(Files& files)
{
    if (files.csv != nullptr && files.csv != stdout) {
        std::fclose(files.csv);
        if (files.created_csv) {
            std::remove(files.csv_name.c_str());
        }
    }
    files.csv = nullptr;
    if (files.plot != nullptr) {
        std::fclose(files.plot);
        std::remove(files.plot_part.c_str());
        files.plot = nullptr;
    }
}

bool write_csv(Files& files, const std::string& text)
{
    if (files.write_failed) {
        return false;
    }
    if (std::fputs(text.c_str(), files.csv) < 0 || std::fflush(files.csv) != 0) {
        say("cannot write " + (files.csv_name.empty() ? "the output" : files.csv_name) + ": " +
            std::strerror(errno));
        files.write_failed = true;
    }
    return !files.write_failed;
}

void close_csv(Files& files)
{
    if (files.csv != nullptr && files.csv != stdout) {
        std::fclose(files.csv);
    }
    files.csv = nullptr;
}

bool put_plot(Files& files, const std::string& svg)
{
    if (files.plot == nullptr) {
        return true;
    }
    const bool written = std::fwrite(svg.data(), 1, svg.size(), files.plot) == svg.size();
    const bool closed = std::fclose(files.plot) == 0;
    files.plot = nullptr;
    if (!written || !closed || !replace_file(files.plot_part, files.plot_name)) {
        say("cannot write " + files.plot_name);
        std::remove(files.plot_part.c_str());
        return false;
    }
    return true;
}

} // namespace logbook
