#include "log_csv_reader.h"

#include "log_clock.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace logbook {

namespace {

constexpr std::size_t FIELDS = 9; // and the meter's name in a tenth
// No reading is larger: 9999 on the meter's largest ranges (MOhm, MHz) is 1e10.
constexpr double LARGEST_VALUE = 1e12;

// RFC 4180 fields of one line without its line end; false for a quote out of place.
bool split_fields(const std::string& line, std::vector<std::string>& fields)
{
    fields.assign(1, std::string());
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            if (!quoted && !fields.back().empty()) {
                return false;
            }
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return !quoted;
}

// A decimal within [low, high]; "inf" is beyond any bound and "nan" within none, so neither
// reaches the plot's coordinates.
bool read_number(const std::string& text, double& number, double low, double high)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, number, std::chars_format::fixed);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && number >= low &&
           number <= high;
}

bool digits_at(const std::string& text, std::size_t at, std::size_t count, long& value)
{
    const char* first = text.data() + at;
    const auto result = std::from_chars(first, first + count, value);
    return result.ec == std::errc() && result.ptr == first + count;
}

// Places the row on the file's time line: a row whose elapsed seconds go back for its meter
// starts a run (the meters of one run answer in their own order, each in time).
void place_on_line(TimeLine& line, Record& record, std::chrono::system_clock::time_point utc)
{
    if (!line.started) {
        line.started = true;
        line.start_utc = utc;
    }
    auto& last = line.last_elapsed_s;
    const auto meter = static_cast<std::size_t>(record.meter);
    if (meter >= last.size()) {
        last.resize(meter + 1, -1.0);
    }
    if (record.elapsed_s < last[meter] ||
        std::all_of(last.begin(), last.end(), [](double s) { return s < 0.0; })) {
        // A file of a later day starts days into its run: its line starts at its first row's
        // whole second, which keeps every difference of two times as it was.
        line.run_offset_s = line.runs == 0
                                ? -std::floor(record.elapsed_s)
                                : std::max(run_start_on(line, utc) - record.elapsed_s, line.end_s);
        std::fill(last.begin(), last.end(), -1.0);
        ++line.runs;
    }
    last[meter] = record.elapsed_s;
    record.elapsed_s += line.run_offset_s;
    line.end_s = std::max(line.end_s, record.elapsed_s);
}

// The index of the meter a tenth field names, added in the order of first rows.
int meter_named(CsvReading& reading, const std::string& name)
{
    const auto found = std::find(reading.meters.begin(), reading.meters.end(), name);
    if (found != reading.meters.end()) {
        return static_cast<int>(found - reading.meters.begin());
    }
    reading.meters.push_back(name);
    return static_cast<int>(reading.meters.size()) - 1;
}

// One row as ohmlog wrote it; false when it is not.
bool read_row(const std::string& text, CsvReading& reading, Record& record,
              std::chrono::system_clock::time_point& utc)
{
    std::vector<std::string> fields;
    const std::size_t columns = reading.with_meter ? FIELDS + 1 : FIELDS;
    if (!split_fields(text, fields) || fields.size() != columns || !parse_utc(fields[0], utc) ||
        !read_number(fields[1], record.elapsed_s, 0.0, LONGEST_SECONDS) ||
        !status_named(fields[7], record.status)) {
        return false;
    }
    record.mode = fields[2];
    record.reading = fields[3];
    record.unit = fields[4];
    record.value = fields[5];
    record.base_unit = record.status == Status::ok ? fields[6] : base_unit_of(fields[4]).name;
    record.frame = fields[8];
    if (record.status == Status::ok &&
        !read_number(fields[5], record.number, -LARGEST_VALUE, LARGEST_VALUE)) {
        return false;
    }
    if (reading.with_meter && !fields[FIELDS].empty()) {
        record.meter = meter_named(reading, fields[FIELDS]);
    }
    return !reading.with_meter || !fields[FIELDS].empty();
}

std::string without_line_end(std::string line)
{
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

bool not_ours(CsvReading& reading, const std::string& path, long line_number)
{
    reading.problem = path + ":" + std::to_string(line_number) + ": not a CSV that ohmlog wrote";
    return false;
}

void skip(CsvReading& reading, long line_number)
{
    if (reading.skipped_lines.size() < NAMED_SKIPS) {
        reading.skipped_lines.push_back(line_number);
    }
    ++reading.skipped;
}

} // namespace

double run_start_on(const TimeLine& line, std::chrono::system_clock::time_point utc)
{
    if (!line.started) {
        return 0.0;
    }
    // A clock set back between runs must not draw a run over the one before.
    const double since_start = std::chrono::duration<double>(utc - line.start_utc).count();
    return std::max(since_start, line.end_s);
}

bool parse_utc(const std::string& text, std::chrono::system_clock::time_point& time)
{
    long year = 0;
    long month = 0;
    long day = 0;
    long hour = 0;
    long minute = 0;
    long second = 0;
    long millisecond = 0;
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != '.' || text[23] != 'Z' ||
        !digits_at(text, 0, 4, year) || !digits_at(text, 5, 2, month) ||
        !digits_at(text, 8, 2, day) || !digits_at(text, 11, 2, hour) ||
        !digits_at(text, 14, 2, minute) || !digits_at(text, 17, 2, second) ||
        !digits_at(text, 20, 3, millisecond) || month < 1 || month > 12 || day < 1 || day > 31 ||
        hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    const long long seconds =
        days_from_civil(year, month, day) * 86400LL + hour * 3600LL + minute * 60LL + second;
    time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(seconds * 1000 + millisecond)));
    return true;
}

bool read_csv(const std::string& path, CsvReading& reading,
              const std::function<void(const Record&)>& take)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        reading.problem = "cannot read " + path + ": is a directory";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        reading.problem = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return read_csv(file, path, reading, take);
}

bool read_csv(std::istream& file, const std::string& path, CsvReading& reading,
              const std::function<void(const Record&)>& take)
{
    const auto header_of = [](bool with_meter) {
        const std::string header = csv_header(with_meter);
        return header.substr(0, header.size() - 2);
    };
    std::string header = header_of(false);
    std::string text;
    bool headed = false; // each file of several, too
    for (long line_number = 1; std::getline(file, text); ++line_number) {
        // A line without its line end is the last, cut short as it was being written.
        if (file.eof()) {
            reading.cut_short = true;
            break;
        }
        text = without_line_end(text);
        if (line_number == 1 && text == header_of(true)) {
            reading.with_meter = true;
            header = text;
        } else if (line_number == 1) {
            reading.meters.assign(1, std::string());
        }
        if (text == header) {
            headed = true;
            // Files joined one after the other: a run starts. A file read after another (a
            // file a day) goes on with its run unless its elapsed seconds go back.
            if (line_number > 1) {
                std::fill(reading.line.last_elapsed_s.begin(), reading.line.last_elapsed_s.end(),
                          -1.0);
            }
            continue;
        }
        if (line_number == 1) {
            return not_ours(reading, path, line_number);
        }
        Record record;
        std::chrono::system_clock::time_point utc;
        if (!read_row(text, reading, record, utc)) {
            skip(reading, line_number);
            continue;
        }
        place_on_line(reading.line, record, utc);
        take(record);
        ++reading.rows;
    }
    return headed || not_ours(reading, path, 1);
}

} // namespace logbook
