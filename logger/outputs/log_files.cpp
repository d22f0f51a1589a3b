#include "log_files.h"

#include "log_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <regex>
#include <sstream>
#include <tuple>

namespace logbook {

namespace {

namespace fs = std::filesystem;

// A device of Windows' names (NUL) is there without being a file.
bool exists(const std::string& path)
{
    std::error_code error;
    return is_device_name(path) || fs::exists(file_path(path), error);
}

// A file whose bytes writing would change: not a device such as /dev/null, nor a pipe.
bool is_file(const std::string& path)
{
    std::error_code error;
    return fs::is_regular_file(file_path(path), error);
}

// Why an output cannot go to `path`, or "" when it can: nothing there yet, a file, or a device
// or a pipe that it is written into. What a link leads to counts; what cannot be told here,
// the opening says.
std::string unwritable(const std::string& path)
{
    std::error_code error;
    switch (fs::status(file_path(path), error).type()) {
    case fs::file_type::directory: return "is a directory";
    case fs::file_type::socket: return "is a socket";
    case fs::file_type::block: return "is a block device"; // a disk's bytes are no output's
    default: return "";
    }
}

// A device or a pipe: written into as it is, never replaced.
bool is_stream(const std::string& path)
{
    std::error_code error;
    return exists(path) && !fs::is_regular_file(file_path(path), error);
}

// Where a file written under `path` is: the place its symbolic links lead to, there or not.
std::string landing(const std::string& path)
{
    constexpr int LINKS_FOLLOWED = 40; // as many as Linux follows
    fs::path place = file_path(path);
    std::error_code error;
    for (int links = 0; links < LINKS_FOLLOWED && fs::is_symlink(place, error); ++links) {
        const fs::path target = fs::read_symlink(place, error);
        place = target.is_absolute() ? target : place.parent_path() / target;
    }
    return file_name(place);
}

// A rename lands on a file or on nothing: never on a device, a pipe or a directory that has
// taken the name meanwhile.
bool replaceable(const std::string& path)
{
    std::error_code error;
    const fs::file_type type = fs::symlink_status(file_path(path), error).type();
    return type == fs::file_type::regular || type == fs::file_type::not_found;
}

bool has_bytes(const std::string& path)
{
    std::error_code error;
    const auto size = fs::file_size(file_path(path), error);
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
        const bool one = fs::equivalent(file_path(a), file_path(b), error);
        if (!error) {
            return one;
        }
        // libstdc++ compares no devices or pipes. A device such as /dev/null may take both; a
        // pipe's reader could not tell the rows from the plot: where the links lead tells.
        if (!fs::is_fifo(file_path(a), error)) {
            return false;
        }
    }
    const fs::path place_a = fs::weakly_canonical(file_path(a), error);
    const bool known_a = !error;
    const fs::path place_b = fs::weakly_canonical(file_path(b), error);
    return known_a && !error && place_a == place_b;
}

// An existing file is kept unless the user said what to do with it. With --append the plot
// shows the whole file, earlier runs included, so it may be drawn again. `place`: where the
// file was named in the file of options.
bool may_write(const std::string& path, const std::string& place, bool allowed,
               bool appending = true)
{
    const std::string cause = path.empty() ? "" : unwritable(path);
    if (!cause.empty()) {
        say(Severity::error, place + "cannot write " + path + ": " + cause);
        return false;
    }
    if (path.empty() || allowed || !is_file(path)) {
        return true;
    }
    say(Severity::error, place + path + " exists; " +
                             (appending ? option_written(place, "append") + " adds to it, " : "") +
                             option_written(place, "force") + " replaces it");
    return false;
}

// A path whose fields name folders (%Y/%m/bench-%d.csv) gets the folders of each new date.
void make_dated_folder(const std::string& pattern, const std::string& path)
{
    std::error_code error;
    if (has_date_fields(file_name(file_path(pattern).parent_path()))) {
        fs::create_directories(file_path(path).parent_path(), error);
    }
}

// Why a file cannot be written, when another run's claim on it is in the way.
std::string written_by(int holder)
{
    return ": another ohmlog" + (holder > 0 ? ", process " + std::to_string(holder) + "," : "") +
           " writes it";
}

// A file that ohmlog writes is claimed for the run while it is open: a second run writing it
// too is refused, saying who writes it. A device or a pipe is no one run's.
bool claimed(std::FILE* file, const std::string& path)
{
    int holder = 0;
    if (!is_file(path) || claim_file(file, holder)) {
        return true;
    }
    say(Severity::error, "cannot write " + path + written_by(holder));
    return false;
}

// A file just made: no other run holds it, and none will while this one has it.
void claim_new(std::FILE* file)
{
    int holder = 0;
    claim_file(file, holder);
}

// A temporary plot is the plot's name, the writer's process id and ".part": "run.svg.4321.part".
std::string part_name(const std::string& place, int process)
{
    return place + "." + std::to_string(process) + ".part";
}

// The temporary plots in `folder` whose plot's name matches `plots`: one that no run claims
// any more, left by a run that was killed while it wrote, is removed and said. Gives the id of
// a process that writes a plot of `only_place` (-1 for none, 0 for one that cannot be told).
int clear_parts(const fs::path& folder, const std::regex& plots, const std::string& only_place)
{
    int writer = -1;
    std::error_code error;
    static const std::regex part(R"((.*)\.[0-9]+\.part)");
    for (const auto& entry : fs::directory_iterator(folder.empty() ? "." : folder, error)) {
        const std::string name = file_name(entry.path().filename());
        std::smatch parts;
        if (!std::regex_match(name, parts, part) || !std::regex_match(parts[1].str(), plots)) {
            continue;
        }
        const std::string path = folder.empty() ? name : file_name(folder / file_path(name));
        std::FILE* file = open_to_append(path);
        int holder = 0;
        const bool stale = file != nullptr && claim_file(file, holder);
        if (file != nullptr) {
            std::fclose(file);
        }
        if (stale && std::remove(path.c_str()) == 0) {
            say(Severity::info, "removed " + path + ", left by a run that ended as it wrote it");
        } else if (!stale && parts[1].str() == file_name(file_path(only_place).filename())) {
            writer = holder;
        }
    }
    return writer;
}

// Every character as itself in a regular expression.
std::string literally(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The header of a CSV file that is empty: new, or cut to nothing under ohmlog (logrotate's
// copytruncate). Not through write_csv: the header is no row, and the file is where it must be.
bool head_empty_csv(Files& files)
{
    files.csv_identity = identity_of_open(files.csv);
    if (!files.csv_identity.regular || files.csv_identity.size > 0) {
        return true;
    }
    if (std::fputs(csv_header(files.with_meter).c_str(), files.csv) < 0 ||
        std::fflush(files.csv) != 0) {
        say(Severity::error, "cannot write " + files.csv_name + ": " + std::strerror(errno));
        files.write_failed = true;
    }
    return !files.write_failed;
}

// The CSV at its path, for a new day or an empty file put there: added to, its header first
// when empty.
bool open_csv_at_path(Files& files)
{
    make_dated_folder(files.csv_pattern, files.csv_name);
    files.csv = open_to_append(files.csv_name);
    if (files.csv == nullptr) {
        say(Severity::error, "cannot write " + files.csv_name + ": " + std::strerror(errno));
        files.write_failed = true;
        return false;
    }
    if (!claimed(files.csv, files.csv_name)) {
        std::fclose(files.csv);
        files.csv = nullptr;
        files.write_failed = true;
        return false;
    }
    return head_empty_csv(files);
}

// Whether the file at the path of a new day may take its rows: nothing there, an empty file, or
// a CSV that starts with this run's header (the day's file of a run restarted that day).
bool takes_new_day(const Files& files)
{
    const FileIdentity there = identity_of_path(files.csv_name);
    std::ifstream file(files.csv_name, std::ios::binary);
    std::string first;
    return !there.known || (there.regular && there.size == 0) ||
           (there.regular && std::getline(file, first) &&
            first + "\n" == csv_header(files.with_meter));
}

// A CSV made at `path`, where nothing was: false, with errno, when it could not be (EEXIST:
// something is there after all, which is left alone); any other failure is said.
bool open_new_csv(Files& files, const std::string& path)
{
    files.csv = create_new_file(path);
    if (files.csv == nullptr) {
        if (errno != EEXIST) {
            say(Severity::error, "cannot write " + path + ": " + std::strerror(errno));
            files.write_failed = true;
        }
        return false;
    }
    files.csv_name = path;
    claim_new(files.csv);
    return head_empty_csv(files);
}

// A new file beside `path` for the rows that cannot go there: its name with the time, in UTC,
// before its extension (bench-20261209T071429Z.csv), or after it that and a number.
bool open_csv_beside(Files& files, const std::string& path)
{
    const fs::path place = file_path(path);
    const std::tm now = calendar_fields(
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()), true);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "-%Y%m%dT%H%M%SZ", &now);
    const std::string stem = file_name(place.parent_path() / place.stem()) + stamp;
    const std::string extension = file_name(place.extension());
    for (int again = 1; !files.write_failed && again < 100; ++again) {
        std::string name = stem;
        name += (again > 1 ? "-" + std::to_string(again) : "") + extension;
        if (open_new_csv(files, name)) {
            return true;
        }
    }
    if (!files.write_failed) {
        say(Severity::error, "cannot write " + stem + extension + ": too many files of that name");
        files.write_failed = true;
    }
    return false;
}

// The CSV is the file at its path, or a new one. One moved away or removed is made again there;
// an empty file put there (a rotation's) is taken; anything else that another program put there
// is left as it is, and the rows go on in a new file beside it. After SIGUSR1 (`rotated`) the
// usual outcomes of a rotation go unsaid.
void follow_path(Files& files, bool rotated)
{
    if (files.csv_name.empty() || files.csv == nullptr || !files.csv_identity.regular) {
        return; // standard output, a device or a pipe: written into as it is
    }
    const FileIdentity there = identity_of_path(files.csv_name);
    if (one_file(there, files.csv_identity)) {
        return;
    }
    std::fclose(files.csv);
    files.csv = nullptr;
    const std::string path = files.csv_name;
    if (!there.known && open_new_csv(files, path)) {
        if (!rotated) {
            say(Severity::warning,
                path + " was moved or removed; the rows go on in a new file at its path");
        }
        return;
    }
    const FileIdentity now = identity_of_path(path);
    if (files.write_failed) {
        return;
    }
    if (now.regular && now.size == 0) {
        if (!rotated) {
            say(Severity::warning, path + " was replaced by an empty file; the rows go on in it");
        }
        open_csv_at_path(files);
        return;
    }
    if (open_csv_beside(files, path)) {
        say(Severity::warning,
            path + " was replaced by a file that ohmlog did not write, which is left as it is; " +
                "the rows go on in " + files.csv_name);
    }
}

// ISO 8601 writes UTC as a Z after the time: a field followed by one gives the fields in UTC.
bool fields_in_utc(const std::string& pattern)
{
    for (std::size_t at = pattern.find('%'); at != std::string::npos && at + 2 < pattern.size();
         at = pattern.find('%', at + 2)) {
        if (pattern[at + 1] != '%' && pattern[at + 2] == 'Z') {
            return true;
        }
    }
    return false;
}

// The settings with the paths of the files open now, their fields filled in at `now`.
FileSettings named_now(const FileSettings& options, std::chrono::system_clock::time_point now)
{
    FileSettings named = options;
    named.output =
        has_date_fields(options.output) ? dated_path(options.output, now) : options.output;
    named.plot = has_date_fields(options.plot) ? dated_path(options.plot, now) : options.plot;
    return named;
}

// `place`: where the plot was named in the file of options, before what is refused of it.
bool open_plot(Files& files, const std::string& plot, const std::string& place = "")
{
    if (plot.empty()) {
        return true;
    }
    files.plot_name = plot;
    if (is_stream(plot)) {
        files.plot = std::fopen(plot.c_str(), "wb");
    } else {
        // Beside the file the links lead to, so that the rename replaces that file.
        files.plot_place = landing(plot);
        const fs::path landed = file_path(files.plot_place);
        const int writer =
            clear_parts(landed.parent_path(), std::regex(literally(file_name(landed.filename()))),
                        files.plot_place);
        if (writer >= 0) {
            say(Severity::error, place + "cannot write " + plot + written_by(writer));
            return false;
        }
        files.plot_part = part_name(files.plot_place, process_id());
        files.plot = create_new_file(files.plot_part);
        if (files.plot != nullptr) {
            claim_new(files.plot);
        }
    }
    if (files.plot == nullptr) {
        say(Severity::error, place + "cannot write " + plot + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// Opened for appending, so that nothing of an existing file is lost before the run starts.
// Gives 0, or the exit status: 2 when the path cannot be written at all (a read-only file
// system, no permission), which only other options mend; 1 otherwise.
int open_csv(Files& files, const FileSettings& options)
{
    if (options.output.empty() && stdout_was_closed()) {
        say(Severity::error,
            options.output_place + "cannot write the rows: standard output is closed; name a file");
        return 1;
    }
    if (options.output.empty()) {
        use_binary_stdout();
        files.csv = stdout;
        return 0;
    }
    files.csv_name = options.output;
    files.created_csv = !exists(options.output);
    files.replace_csv = options.force && is_file(options.output);
    files.csv_has_rows = options.append && has_bytes(options.output);
    files.csv_cut_row = files.csv_has_rows && ends_without_line_end(options.output);
    files.csv = open_to_append(options.output);
    if (files.csv == nullptr) {
        const int error = errno;
        say(Severity::error,
            options.output_place + "cannot write " + options.output + ": " + std::strerror(error));
        return error == EROFS || error == EACCES || error == EPERM ? 2 : 1;
    }
    files.csv_identity = identity_of_open(files.csv);
    return claimed(files.csv, options.output) ? 0 : 1;
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
        say(Severity::error, options.output_place + "cannot append to " + options.output +
                                 ": its rows are of " +
                                 (earlier.with_meter ? "several meters" : "one meter") +
                                 ", this run's of " + std::to_string(meters.size()));
        return false;
    }
    if (several && earlier.rows > 0 &&
        (earlier.meters.size() != meters.size() ||
         !std::all_of(earlier.meters.begin(), earlier.meters.end(), one_of_the_run))) {
        say(Severity::error, options.output_place + "cannot append to " + options.output +
                                 ": its meters are " + listed(earlier.meters) + ", this run's " +
                                 listed(meters));
        return false;
    }
    return true;
}

// Tells what reading `path` skipped.
void tell_skipped(const std::string& path, CsvReading& earlier)
{
    for (const long line : earlier.skipped_lines) {
        say(Severity::warning,
            path + ":" + std::to_string(line) + ": cannot read this line; skipped");
    }
    if (earlier.skipped > static_cast<long>(earlier.skipped_lines.size())) {
        say(Severity::warning,
            path + ": " +
                std::to_string(earlier.skipped - static_cast<long>(earlier.skipped_lines.size())) +
                " more lines skipped");
    }
    earlier.skipped = 0;
    earlier.skipped_lines.clear();
}

// The --from files, one after the other as one run: rows of one meter, or named meters, alike.
bool read_from_files(const FileSettings& options, CsvReading& earlier,
                     const std::function<void(const Record&)>& take_earlier)
{
    for (std::size_t k = 0; k < options.from.size(); ++k) {
        const bool with_meter = earlier.with_meter;
        const bool from_stdin = options.from[k] == "-";
        const std::string name = from_stdin ? "standard input" : options.from[k];
        const std::string place = k < options.from_places.size() ? options.from_places[k] : "";
        if (from_stdin) {
            std::ios::sync_with_stdio(false); // read in blocks: ohmlog writes through C's stdio
        }
        if (!(from_stdin ? read_csv(std::cin, name, earlier, take_earlier)
                         : read_csv(name, earlier, take_earlier))) {
            say(Severity::error, place + earlier.problem);
            return false;
        }
        if (k > 0 && earlier.with_meter != with_meter) {
            std::string refused = place;
            refused += "cannot read " + name + " with " + options.from[0] +
                       " as one run: the rows of one are of one meter, of the other of several";
            say(Severity::error, refused);
            return false;
        }
        tell_skipped(name, earlier);
        if (earlier.cut_short) {
            say(Severity::warning, name + ": the last row is cut short and left out");
        }
        earlier.cut_short = false;
    }
    return true;
}

// The rows a plot starts with: the --from files, or those an appended CSV already holds, which
// is read in any case to see that it holds rows of the run's meters.
bool read_earlier(const FileSettings& options, const std::vector<std::string>& meters,
                  CsvReading& earlier, const std::function<void(const Record&)>& take_earlier)
{
    if (!options.from.empty()) {
        return read_from_files(options, earlier, take_earlier);
    }
    const std::string& path = options.output;
    if (!(options.append && has_bytes(options.output))) {
        return true;
    }
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
    const auto take = [&](const Record& row) {
        Record record = row;
        if (earlier.with_meter) {
            const auto name = std::find(meters.begin(), meters.end(),
                                        earlier.meters[static_cast<std::size_t>(row.meter)]);
            record.meter = static_cast<int>(name - meters.begin());
        }
        take_earlier(record);
    };
    if (!read_csv(path, earlier, take)) {
        say(Severity::error, earlier.problem);
        return false;
    }
    tell_skipped(path, earlier);
    return true;
}

// Whether a file can be made at `path` as the options name it, said when not: its folder must
// take it, or with date fields that name folders, the nearest folder there must take those. A
// relative path names its folder as well, which is the run's working folder.
bool folder_takes(const std::string& pattern, const std::string& path, const std::string& place)
{
    fs::path folder = file_path(path).parent_path();
    std::error_code error;
    while (!folder.empty() && !fs::exists(folder, error) && folder != folder.parent_path()) {
        folder = folder.parent_path();
    }
    const bool made_by_run = folder != file_path(path).parent_path() &&
                             has_date_fields(file_name(file_path(pattern).parent_path()));
    if (path.empty() || folder_writable(made_by_run ? file_name(folder / "x") : path)) {
        return true;
    }
    const fs::path named = fs::absolute(file_path(path), error).parent_path();
    say(Severity::error, place + "cannot write " + path + ": its folder" +
                             (error ? std::string() : ", " + file_name(named) + ",") +
                             " is not there or not writable");
    return false;
}

// The names that a pattern's strftime fields may give, each field any text.
std::regex names_of(const std::string& pattern)
{
    std::string expression;
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        if (pattern[at] != '%' || at + 1 == pattern.size()) {
            expression += literally(pattern.substr(at, 1));
        } else if (pattern[++at] == '%') {
            expression += "%";
        } else {
            at += (pattern[at] == 'E' || pattern[at] == 'O') && at + 1 < pattern.size() ? 1 : 0;
            expression += ".*";
        }
    }
    return std::regex(expression);
}

// The checks made before anything is opened: 0, or the exit status, having said why.
// The finest date field of a pattern: how often the names it gives may change, in seconds (a
// month and a year as long as theirs may be); 0 for none. Flags, widths and the E and O
// modifiers of glibc (%-d, %_5H, %Ey) are passed over.
double finest_field_s(const std::string& pattern)
{
    constexpr double MINUTE = 60.0;
    constexpr double HOUR = 60.0 * MINUTE;
    constexpr double DAY = 24.0 * HOUR;
    const std::pair<const char*, double> periods[] = {
        {"sTrcX+", 1.0},     {"MR", MINUTE},     {"HIkl", HOUR},       {"pP", DAY / 2.0},
        {"deajAuwDFx", DAY}, {"UWV", 7.0 * DAY}, {"mbBh", 31.0 * DAY}, {"YyGgC", 366.0 * DAY}};
    double finest = 0.0;
    for (std::size_t at = pattern.find('%'); at != std::string::npos && at + 1 < pattern.size();
         at = pattern.find('%', at + 1)) {
        at = pattern.find_first_not_of("_-0^#123456789EO", at + 1);
        if (at == std::string::npos) {
            break;
        }
        for (const auto& [fields, period] : periods) {
            if (std::strchr(fields, pattern[at]) != nullptr && (finest == 0.0 || period < finest)) {
                finest = period;
            }
        }
    }
    return finest;
}

// A plot named with date fields is drawn as each file of -o closes: its name must tell every
// file apart, on the same clock.
bool plot_names_each_file(const FileSettings& options)
{
    const std::string plot = option_written(options.plot_place, "plot");
    const std::string output = option_written(options.output_place, "output");
    if (!has_date_fields(options.output)) {
        say(Severity::error, options.plot_place + plot +
                                 " with date fields draws each file of an " + output +
                                 " with date fields");
        return false;
    }
    const double plots = finest_field_s(options.plot);
    const double files = finest_field_s(options.output);
    if (plots > files ||
        (plots == files && fields_in_utc(options.plot) != fields_in_utc(options.output))) {
        say(Severity::error,
            options.plot_place + "bad " + plot + " '" + options.plot +
                "': one plot would stand for several files of '" + options.output +
                "', each drawn over the last; its date fields must change as often as the CSV's, "
                "in local time or UTC alike");
        return false;
    }
    return true;
}

int refusal(const FileSettings& options, const std::vector<std::string>& meters,
            CsvReading& earlier, const std::function<void(const Record&)>& take_earlier)
{
    if (has_date_fields(options.plot) && !plot_names_each_file(options)) {
        return 2;
    }
    const FileSettings named = named_now(options, std::chrono::system_clock::now());
    const std::vector<std::string> rows =
        named.from.empty() ? std::vector<std::string>{named.output} : named.from;
    for (const std::string& path : rows) {
        // "-" is standard input or output, never the plot's file.
        if (!named.plot.empty() && !path.empty() && path != "-" && same_file(path, named.plot)) {
            say(Severity::error,
                options.plot_place + "the rows and the plot cannot both be " + named.plot);
            return 2;
        }
    }
    if (!may_write(named.output, options.output_place, named.append || named.force) ||
        !may_write(named.plot, options.plot_place,
                   named.append || named.force || has_date_fields(options.plot),
                   named.from.empty()) ||
        !read_earlier(named, meters, earlier, take_earlier)) {
        return 1;
    }
    return 0;
}

} // namespace

bool has_date_fields(const std::string& path)
{
    for (std::size_t at = path.find('%'); at != std::string::npos && at + 1 < path.size();
         at = path.find('%', at + 2)) {
        if (path[at + 1] != '%') {
            return true;
        }
    }
    return false;
}

std::string dated_path(const std::string& pattern, std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    const std::tm parts = calendar_fields(seconds, fields_in_utc(pattern));
    std::ostringstream text;
    text << std::put_time(&parts, pattern.c_str());
    return text.str();
}

int prepare_files(const FileSettings& options, const std::vector<std::string>& meters, Files& files,
                  CsvReading& earlier, const std::function<void(const Record&)>& take_earlier)
{
    const int refused = refusal(options, meters, earlier, take_earlier);
    if (refused != 0) {
        return refused;
    }
    const auto now = std::chrono::system_clock::now();
    const FileSettings named = named_now(options, now);
    files.csv_pattern = has_date_fields(options.output) ? options.output : "";
    files.csv_named_at = now;
    files.plot_pattern = has_date_fields(options.plot) ? options.plot : "";
    const std::string& rows = named.from.empty() ? named.output : named.from.front();
    // A folder that cannot take a new file is the options' fault, as --check-config says: a
    // service is not started again for it.
    if ((!exists(named.output) &&
         !folder_takes(options.output, named.output, options.output_place)) ||
        (!is_stream(named.plot) && !folder_takes(options.plot, named.plot, options.plot_place))) {
        return 2;
    }
    if (!files.plot_pattern.empty()) {
        const fs::path plot_folder = file_path(named.plot).parent_path();
        clear_parts(plot_folder, names_of(file_name(file_path(options.plot).filename())), "");
    }
    make_dated_folder(options.output, named.output);
    make_dated_folder(options.plot, named.plot);
    // A plot of each file is made as the file closes: only its folder is seen to now.
    const bool plot_now = files.plot_pattern.empty();
    if (!plot_now && !folder_writable(named.plot)) {
        say(Severity::error, options.plot_place + "cannot write " + named.plot +
                                 ": its folder is not there or not writable");
        return 1;
    }
    // The CSV first: one that is a FIFO waits for its reader with nothing made yet, which a
    // signal may end.
    int csv_refused = named.from.empty() ? open_csv(files, named) : 0;
    if (csv_refused == 0 && plot_now && !open_plot(files, named.plot, options.plot_place)) {
        csv_refused = 1;
    }
    if (csv_refused != 0) {
        discard_files(files);
        return csv_refused;
    }
    // Names told apart above may still be one file where case does not count.
    if (files.created_csv && !named.plot.empty() && same_file(rows, named.plot)) {
        discard_files(files);
        say(Severity::error,
            options.plot_place + "the rows and the plot cannot both be " + named.plot);
        return 2;
    }
    return 0;
}

int check_files(const FileSettings& options, const std::vector<std::string>& meters)
{
    CsvReading earlier;
    if (refusal(options, meters, earlier, [](const Record&) {}) != 0) {
        return 2;
    }
    const FileSettings named = named_now(options, std::chrono::system_clock::now());
    return folder_takes(options.output, named.output, options.output_place) &&
                   folder_takes(options.plot, named.plot, options.plot_place)
               ? 0
               : 2;
}

bool start_files(Files& files, bool with_meter)
{
    files.with_meter = with_meter;
    if (files.csv == nullptr) {
        return true;
    }
    if (files.replace_csv) {
        std::error_code error;
        fs::resize_file(file_path(files.csv_name), 0, error);
        if (error) {
            say(Severity::error, "cannot write " + files.csv_name + ": " + error.message());
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
            std::remove(landing(files.csv_name).c_str());
        }
    }
    files.csv = nullptr;
    if (files.plot != nullptr) {
        std::fclose(files.plot);
        if (!files.plot_part.empty()) {
            std::remove(files.plot_part.c_str());
        }
        files.plot = nullptr;
    }
}

namespace {

// A full disk takes part of a row: the file ends with its last whole row, so that a reader
// never meets half a row (what the stream still holds goes at its close, before the cut).
void cut_to_whole_rows(Files& files, long whole_rows)
{
    std::fclose(files.csv);
    files.csv = nullptr;
    std::error_code ignored;
    if (fs::is_regular_file(file_path(files.csv_name), ignored)) {
        fs::resize_file(file_path(files.csv_name), static_cast<std::uintmax_t>(whole_rows),
                        ignored);
    }
}

} // namespace

namespace {

// A file cut to nothing under ohmlog (logrotate's copytruncate) gets its header before the row.
bool head_cut_csv(Files& files)
{
    if (files.csv_name.empty() || files.csv == nullptr || files.write_failed) {
        return !files.write_failed;
    }
    const FileIdentity open = identity_of_open(files.csv);
    if (!open.regular || open.size > 0) {
        return true;
    }
    say(Severity::warning, files.csv_name + " was emptied; its header goes before the next row");
    return head_empty_csv(files);
}

} // namespace

bool write_csv(Files& files, const std::string& text)
{
    if (files.write_failed) {
        return false;
    }
    keep_csv_at_path(files);
    if (files.write_failed) {
        return false;
    }
    const long whole_rows = files.csv == stdout ? -1 : std::ftell(files.csv);
    const WriteEnd end = write_out(files.csv, text);
    if (end != WriteEnd::written) {
        say(Severity::error,
            "cannot write " + (files.csv_name.empty() ? "the output" : files.csv_name) + ": " +
                (end == WriteEnd::unread ? "nothing reads it; the rows from here on are not written"
                                         : std::strerror(errno)));
        files.write_failed = true;
        if (end == WriteEnd::failed && whole_rows >= 0) {
            cut_to_whole_rows(files, whole_rows);
        }
    }
    return !files.write_failed;
}

bool write_csv_row(Files& files, const std::string& utc_time, const std::string& text)
{
    std::chrono::system_clock::time_point time;
    if (!files.csv_pattern.empty() && !files.write_failed && parse_utc(utc_time, time)) {
        const std::string name = dated_path(files.csv_pattern, time);
        // Never back to an earlier file: a row requested before the one that started the file
        // open now, and complete after it, goes into this one.
        if (time > files.csv_named_at &&
            name != dated_path(files.csv_pattern, files.csv_named_at)) {
            std::fclose(files.csv);
            files.csv = nullptr;
            files.closed_csv = files.csv_name;
            files.closed_plot = files.plot_pattern.empty()
                                    ? ""
                                    : dated_path(files.plot_pattern, files.csv_named_at);
            files.csv_name = name;
            files.csv_named_at = time;
            make_dated_folder(files.plot_pattern, dated_path(files.plot_pattern, time));
            if (takes_new_day(files)) {
                open_csv_at_path(files);
            } else if (open_csv_beside(files, name)) {
                say(Severity::warning, name + " holds what this run did not write, which is left " +
                                           "as it is; the rows go on in " + files.csv_name);
            }
        }
    }
    keep_csv_at_path(files);
    return head_cut_csv(files) && write_csv(files, text);
}

void reopen_csv(Files& files)
{
    if (!files.write_failed) {
        follow_path(files, true);
    }
}

void keep_csv_at_path(Files& files)
{
    follow_path(files, false);
}

void close_csv(Files& files)
{
    if (files.csv != nullptr && files.csv != stdout) {
        std::fclose(files.csv);
    }
    files.csv = nullptr;
}

namespace {

// The plot written into its open file, which is closed; false, said, when it could not be.
bool write_open_plot(Files& files, const std::string& svg)
{
    const bool written = std::fwrite(svg.data(), 1, svg.size(), files.plot) == svg.size() &&
                         std::fflush(files.plot) == 0;
    const std::string write_error = written ? "" : std::strerror(errno);
    const bool closed = std::fclose(files.plot) == 0 && written;
    files.plot = nullptr;
    if (!closed) {
        const std::string cause = written ? std::strerror(errno) : write_error;
        const std::string& name = files.plot_part.empty() ? files.plot_name : files.plot_part;
        say(Severity::error, "cannot write the plot " + name + ": " + cause);
        if (!files.plot_part.empty() && std::remove(files.plot_part.c_str()) != 0) {
            say(Severity::warning, files.plot_part + " is left: " + std::strerror(errno));
        }
        return false;
    }
    return true;
}

} // namespace

bool put_plot(Files& files, const std::string& svg)
{
    if (files.plot == nullptr) {
        return true;
    }
    if (!write_open_plot(files, svg)) {
        return false;
    }
    if (files.plot_part.empty()) {
        return true; // a device or a pipe, written into
    }
    if (!exists(files.plot_part)) {
        // Its folder was emptied or removed meanwhile: made again at its path, if it can be.
        Files again;
        if (!open_plot(again, files.plot_name) || !write_open_plot(again, svg)) {
            return false;
        }
        files.plot_part = again.plot_part;
        files.plot_place = again.plot_place;
    }
    if (!replaceable(files.plot_place)) {
        say(Severity::error, "cannot put the plot in place as " + files.plot_name +
                                 ": something that is not a file has taken its name; it is in " +
                                 files.plot_part);
        return false;
    }
    if (!replace_file(files.plot_part, files.plot_place)) {
        say(Severity::error, "cannot put the plot in place as " + files.plot_name + ": " +
                                 std::strerror(errno) + "; it is in " + files.plot_part);
        return false;
    }
    return true;
}

bool write_plot_file(const std::string& path, const std::string& svg)
{
    Files one;
    return open_plot(one, path) && put_plot(one, svg);
}

} // namespace logbook
