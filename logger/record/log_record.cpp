#include "log_record.h"

#include "log_clock.h"
#include "meter_frame.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <map>
#include <vector>

namespace logbook {

namespace {

constexpr std::size_t FRAME_LENGTH = 13;

bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

std::string trim_blanks(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool all_of_set(const std::string& text, const char* allowed)
{
    return text.find_first_not_of(allowed) == std::string::npos;
}

// Sign, digits, at most one point, at least one digit: "-0.842", "0167", "00.01".
bool is_decimal(const std::string& text)
{
    const std::size_t digits_from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const std::string digits = text.substr(digits_from);
    return !digits.empty() && all_of_set(digits, "0123456789.") &&
           digits.find_first_of("0123456789") != std::string::npos &&
           digits.find('.') == digits.rfind('.');
}

// The display's overload: "O.L", "OL", "-O.L", ".OL".
bool is_overload(const std::string& reading)
{
    std::string letters;
    for (const char c : reading) {
        if (c != '.' && c != '-' && c != '+') {
            letters += c;
        }
    }
    return letters == "OL";
}

constexpr const char* LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz ";

// Thirteen characters: a mode of letters or blanks, a blank, the value field and a unit of
// letters, "%" or blanks. Each column is held to what it may contain, so no control byte or
// byte beyond ASCII passes.
bool is_frame(const std::string& text)
{
    if (text.size() != FRAME_LENGTH) {
        return false;
    }
    const std::string reading =
        trim_blanks(meter::cut_columns(text, meter::VALUE_COLUMN, meter::VALUE_WIDTH));
    return all_of_set(meter::cut_columns(text, meter::MODE_COLUMN, meter::MODE_WIDTH), LETTERS) &&
           text[2] == ' ' && (is_decimal(reading) || is_overload(reading)) &&
           all_of_set(meter::cut_columns(text, meter::UNIT_COLUMN, meter::UNIT_WIDTH),
                      (std::string(LETTERS) + "%").c_str());
}

double number_of(const std::string& decimal)
{
    double number = 0.0;
    std::from_chars(decimal.data(), decimal.data() + decimal.size(), number);
    return number;
}

} // namespace

std::string csv_field(const std::string& field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

BaseUnit base_unit_of(const std::string& shown_unit)
{
    static const std::map<std::string, BaseUnit> units{
        {"V", {"V", 0}},      {"mV", {"V", -3}},   {"A", {"A", 0}},      {"mA", {"A", -3}},
        {"uA", {"A", -6}},    {"Ohm", {"Ohm", 0}}, {"KOhm", {"Ohm", 3}}, {"kOhm", {"Ohm", 3}},
        {"MOhm", {"Ohm", 6}}, {"F", {"F", 0}},     {"mF", {"F", -3}},    {"uF", {"F", -6}},
        {"nF", {"F", -9}},    {"pF", {"F", -12}},  {"Hz", {"Hz", 0}},    {"KHz", {"Hz", 3}},
        {"kHz", {"Hz", 3}},   {"MHz", {"Hz", 6}},  {"C", {"degC", 0}},   {"hFE", {"", 0}},
        {"", {"", 0}},
    };
    const auto found = units.find(shown_unit);
    return found != units.end() ? found->second : BaseUnit{shown_unit, 0};
}

std::string shift_decimal(const std::string& number, int exponent)
{
    const bool negative = !number.empty() && number[0] == '-';
    std::string digits;
    long point = -1;
    for (const char c : number) {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == '.') {
            point = static_cast<long>(digits.size());
        }
    }
    if (point < 0) {
        point = static_cast<long>(digits.size());
    }
    point += exponent;
    if (point <= 0) {
        digits.insert(0, static_cast<std::size_t>(1 - point), '0');
        point = 1;
    } else if (point > static_cast<long>(digits.size())) {
        digits.append(static_cast<std::size_t>(point) - digits.size(), '0');
    }
    std::string whole = digits.substr(0, static_cast<std::size_t>(point));
    std::string fraction = digits.substr(static_cast<std::size_t>(point));
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size() - 1));
    fraction.erase(fraction.find_last_not_of('0') + 1);
    const std::string magnitude = fraction.empty() ? whole : whole + "." + fraction;
    return negative && magnitude != "0" ? "-" + magnitude : magnitude;
}

int compare_decimals(const std::string& a, const std::string& b)
{
    const bool a_negative = !a.empty() && a[0] == '-';
    const bool b_negative = !b.empty() && b[0] == '-';
    if (a_negative != b_negative) {
        return a_negative ? -1 : 1;
    }
    // Without leading zeros, the longer whole part is the larger; then digit by digit, the
    // shorter fraction filled with zeros.
    const auto split = [](const std::string& number, bool negative, std::string& fraction) {
        const std::size_t point = number.find('.');
        fraction = point == std::string::npos ? "" : number.substr(point + 1);
        return number.substr(negative ? 1 : 0, point - (negative ? 1 : 0));
    };
    std::string a_fraction;
    std::string b_fraction;
    const std::string a_whole = split(a, a_negative, a_fraction);
    const std::string b_whole = split(b, b_negative, b_fraction);
    const std::size_t places = std::max(a_fraction.size(), b_fraction.size());
    a_fraction.resize(places, '0');
    b_fraction.resize(places, '0');
    const int order = a_whole.size() != b_whole.size()
                          ? (a_whole.size() < b_whole.size() ? -1 : 1)
                          : (a_whole + a_fraction).compare(b_whole + b_fraction);
    const int sign = order < 0 ? -1 : order > 0 ? 1 : 0;
    return a_negative ? -sign : sign;
}

std::string multiply_decimals(const std::string& a, const std::string& b)
{
    const auto digits_of = [](const std::string& number, int& decimals) {
        const std::size_t point = number.find('.');
        decimals = point == std::string::npos ? 0 : static_cast<int>(number.size() - point - 1);
        std::string digits;
        std::copy_if(number.begin(), number.end(), std::back_inserter(digits),
                     [](char c) { return c >= '0' && c <= '9'; });
        return digits;
    };
    int a_decimals = 0;
    int b_decimals = 0;
    const std::string a_digits = digits_of(a, a_decimals);
    const std::string b_digits = digits_of(b, b_decimals);
    std::vector<int> product(a_digits.size() + b_digits.size() + 1, 0);
    for (std::size_t i = 0; i < a_digits.size(); ++i) {
        for (std::size_t j = 0; j < b_digits.size(); ++j) {
            product[a_digits.size() - 1 - i + b_digits.size() - 1 - j] +=
                (a_digits[i] - '0') * (b_digits[j] - '0');
        }
    }
    std::string text;
    for (std::size_t k = 0; k + 1 < product.size(); ++k) {
        product[k + 1] += product[k] / 10;
        text.insert(text.begin(), static_cast<char>('0' + product[k] % 10));
    }
    const bool negative = (a.rfind('-', 0) == 0) != (b.rfind('-', 0) == 0);
    return shift_decimal((negative ? "-" : "") + text, -(a_decimals + b_decimals));
}

bool plain_name(const std::string& name)
{
    return !name.empty() &&
           name.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") ==
               std::string::npos;
}

std::string option_written(const std::string& place, const std::string& name)
{
    return (place.empty() ? "--" : "") + name;
}

std::string refusal_at(const std::string& place, const std::string& problem)
{
    if (place.empty()) {
        return problem;
    }
    std::string text = problem;
    for (const std::string lead : {"--", "bad --"}) {
        if (text.rfind(lead, 0) == 0) {
            text.erase(lead.size() - 2, 2);
            break;
        }
    }
    const bool comment_in_value = text.find(" #") != std::string::npos;
    return place + text + (comment_in_value ? " (a # after a value is part of it)" : "");
}

Record decode_reply(const std::string& reply)
{
    Record record;
    record.frame = reply;
    while (!record.frame.empty() && is_line_end(record.frame.back())) {
        record.frame.pop_back();
    }
    if (reply.empty()) {
        record.status = Status::no_reply;
        return record;
    }
    if (!is_frame(record.frame)) {
        record.status = Status::garbled;
        return record;
    }
    record.mode =
        trim_blanks(meter::cut_columns(record.frame, meter::MODE_COLUMN, meter::MODE_WIDTH));
    record.reading =
        trim_blanks(meter::cut_columns(record.frame, meter::VALUE_COLUMN, meter::VALUE_WIDTH));
    record.unit =
        trim_blanks(meter::cut_columns(record.frame, meter::UNIT_COLUMN, meter::UNIT_WIDTH));
    const BaseUnit base = base_unit_of(record.unit);
    record.base_unit = base.name;
    if (is_overload(record.reading)) {
        record.status = Status::overload;
        return record;
    }
    record.status = Status::ok;
    record.value = shift_decimal(record.reading, base.exponent);
    record.number = number_of(record.value);
    return record;
}

bool shows_unit(const Record& record)
{
    return record.status == Status::ok || record.status == Status::overload;
}

const char* status_name(Status status)
{
    switch (status) {
    case Status::ok: return "ok";
    case Status::overload: return "overload";
    case Status::no_reply: return "no-reply";
    case Status::garbled: return "garbled";
    case Status::port_lost: return "port-lost";
    }
    return "garbled";
}

bool status_named(const std::string& name, Status& status)
{
    for (const Status candidate :
         {Status::ok, Status::overload, Status::no_reply, Status::garbled, Status::port_lost}) {
        if (name == status_name(candidate)) {
            status = candidate;
            return true;
        }
    }
    return false;
}

std::string escaped_bytes(const std::string& bytes)
{
    static const char* const HEX = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += std::string("\\x") + HEX[byte >> 4] + HEX[byte & 0x0F];
        }
    }
    return text;
}

std::string csv_header(bool with_meter)
{
    return std::string("time,elapsed_s,mode,reading,unit,value,base_unit,status,frame") +
           (with_meter ? ",meter" : "") + "\r\n";
}

std::string csv_row(const Record& record, const std::string& meter)
{
    std::string row = csv_row(record);
    return row.insert(row.size() - 2, "," + csv_field(meter));
}

bool is_dc(const Record& record, const char* base_unit)
{
    return record.status == Status::ok && record.mode == "DC" && record.base_unit == base_unit;
}

std::string csv_row(const Record& record)
{
    const bool ok = record.status == Status::ok;
    const std::string fields[] = {record.time,
                                  fixed_text(record.elapsed_s, 3),
                                  record.mode,
                                  record.reading,
                                  record.unit,
                                  record.value,
                                  ok ? record.base_unit : std::string(),
                                  status_name(record.status),
                                  escaped_bytes(record.frame)};
    std::string row;
    for (const std::string& field : fields) {
        row += (row.empty() ? "" : ",") + csv_field(field);
    }
    return row + "\r\n";
}

// Computed rather than taken from gmtime, whose result is shared by every thread: the meters'
// sessions stamp their requests at once.
std::string utc_timestamp(std::chrono::system_clock::time_point time)
{
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const long long seconds = milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0);
    const long long of_day = seconds - (seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0)) * 86400;
    const CivilDate date = civil_from_days(static_cast<long>((seconds - of_day) / 86400));
    char text[128];
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ldT%02lld:%02lld:%02lld.%03lldZ", date.year,
                  date.month, date.day, of_day / 3600, of_day / 60 % 60, of_day % 60,
                  milliseconds - seconds * 1000);
    return text;
}

std::string fixed_text(double value, int decimals)
{
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

} // namespace logbook
