#include "log_outputs.h"

#include "log_platform.h"

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

bool open_plot(Outputs& outputs, const std::string& plot)
{
    if (plot.empty()) {
        return true;
    }
    outputs.plot_name = plot;
    outputs.plot_part = plot + "." + std::to_string(process_id()) + ".part";
    outputs.plot = create_new_file(outputs.plot_part);
    if (outputs.plot == nullptr) {
        say("cannot write " + plot + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// Opened for appending, so that nothing of an existing file is lost before the run starts.
bool open_csv(Outputs& outputs, const LogOptions& options)
{
    if (options.output.empty()) {
        use_binary_stdout();
        outputs.csv = stdout;
        return true;
    }
    outputs.csv_name = options.output;
    outputs.created_csv = !exists(options.output);
    outputs.replace_csv = options.force && is_file(options.output);
    outputs.csv_has_rows = options.append && has_bytes(options.output);
    outputs.csv_cut_row = outputs.csv_has_rows && ends_without_line_end(options.output);
    outputs.csv = std::fopen(options.output.c_str(), "ab");
    if (outputs.csv == nullptr) {
        say("cannot write " + options.output + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// The rows a chart starts with: the --from file, or those an appended CSV already holds.
bool read_earlier(const LogOptions& options, Chart& chart, CsvReading& earlier)
{
    const std::string& path = options.from.empty() ? options.output : options.from;
    const bool wanted = !options.from.empty() ||
                        (options.append && !options.plot.empty() && has_bytes(options.output));
    if (wanted && !read_csv_into(path, chart, earlier)) {
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

int prepare_outputs(const LogOptions& options, Outputs& outputs, Chart& chart, CsvReading& earlier)
{
    const std::string& rows = options.from.empty() ? options.output : options.from;
    if (!options.plot.empty() && !rows.empty() && same_file(rows, options.plot)) {
        say("the rows and the plot cannot both be " + options.plot);
        return 2;
    }
    if (!may_write(options.output, options.append || options.force) ||
        !may_write(options.plot, options.append || options.force) ||
        !read_earlier(options, chart, earlier)) {
        return 1;
    }
    if (!open_plot(outputs, options.plot) ||
        (options.from.empty() && !open_csv(outputs, options))) {
        discard_outputs(outputs);
        return 1;
    }
    // Names told apart above may still be one file where case does not count.
    if (outputs.created_csv && !options.plot.empty() && same_file(rows, options.plot)) {
        discard_outputs(outputs);
        say("the rows and the plot cannot both be " + options.plot);
        return 2;
    }
    return 0;
}

bool start_outputs(Outputs& outputs)
{
    if (outputs.csv == nullptr) {
        return true;
    }
    if (outputs.replace_csv) {
        std::error_code error;
        fs::resize_file(outputs.csv_name, 0, error);
        if (error) {
            say("cannot write " + outputs.csv_name + ": " + error.message());
            outputs.write_failed = true;
            return false;
        }
    }
    if (outputs.csv_cut_row) {
        return write_csv(outputs, "\r\n");
    }
    return outputs.csv_has_rows || write_csv(outputs, csv_header());
}

void discard_outputs(Outputs& outputs)
{
    if (outputs.csv != nullptr && outputs.csv != stdout) {
        std::fclose(outputs.csv);
        if (outputs.created_csv) {
            std::remove(outputs.csv_name.c_str());
        }
    }
    outputs.csv = nullptr;
    if (outputs.plot != nullptr) {
        std::fclose(outputs.plot);
        std::remove(outputs.plot_part.c_str());
        outputs.plot = nullptr;
    }
}

bool write_csv(Outputs& outputs, const std::string& text)
{
    if (outputs.write_failed) {
        return false;
    }
    if (std::fputs(text.c_str(), outputs.csv) < 0 || std::fflush(outputs.csv) != 0) {
        say("cannot write " + (outputs.csv_name.empty() ? "the output" : outputs.csv_name) + ": " +
            std::strerror(errno));
        outputs.write_failed = true;
    }
    return !outputs.write_failed;
}

bool finish_outputs(Outputs& outputs, const std::string& svg)
{
    if (outputs.csv != nullptr && outputs.csv != stdout) {
        std::fclose(outputs.csv);
    }
    outputs.csv = nullptr;
    if (outputs.plot == nullptr) {
        return true;
    }
    const bool written = std::fwrite(svg.data(), 1, svg.size(), outputs.plot) == svg.size();
    const bool closed = std::fclose(outputs.plot) == 0;
    outputs.plot = nullptr;
    if (!written || !closed || !replace_file(outputs.plot_part, outputs.plot_name)) {
        say("cannot write " + outputs.plot_name);
        std::remove(outputs.plot_part.c_str());
        return false;
    }
    return true;
}

} // namespace logbook
