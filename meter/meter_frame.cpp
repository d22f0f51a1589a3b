#include "meter_frame.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace meter {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_decimal_digit(char c)
{
    return c >= '0' && c <= '9';
}

int digit_value(char c, int base)
{
    int value = base; // "not a digit of this base"
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    }
    return value < base ? value : -1;
}

std::size_t skip_blanks(const std::string& text, std::size_t position)
{
    while (position < text.size() && is_blank(text[position])) {
        ++position;
    }
    return position;
}

// Reads one sign character if there is one; true when it was "-".
bool read_sign(const std::string& text, std::size_t& position)
{
    if (position < text.size() && (text[position] == '-' || text[position] == '+')) {
        return text[position++] == '-';
    }
    return false;
}

double read_decimal(const std::string& text, std::size_t position)
{
    const char* first = text.data() + position;
    const char* last = text.data() + text.size();
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::fixed);
    if (result.ec == std::errc::result_out_of_range) {
        // Without an exponent, only a non-zero whole part can be too large; the rest is too
        // small.
        const char* whole_end = std::find(first, result.ptr, '.');
        const bool too_large =
            std::find_if(first, whole_end, [](char c) { return c != '0'; }) != whole_end;
        return too_large ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return value;
}

} // namespace

std::string cut_columns(const std::string& frame, std::size_t first_column, std::size_t width)
{
    if (first_column == 0 || frame.size() < first_column) {
        return std::string();
    }
    return frame.substr(first_column - 1, width);
}

std::string trim_trailing_spaces(std::string text)
{
    const auto last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

std::int64_t parse_integer(const std::string& text)
{
    std::size_t position = skip_blanks(text, 0);
    const bool negative = read_sign(text, position);
    int base = 10;
    if (position < text.size() && text[position] == '$') {
        base = 16;
        ++position;
    } else if (position < text.size() && text[position] == '%') {
        base = 2;
        ++position;
    }
    // Unsigned arithmetic wraps where a long digit string overflows, instead of being undefined.
    std::uint64_t value = 0;
    for (; position < text.size(); ++position) {
        const int digit = digit_value(text[position], base);
        if (digit < 0) {
            break;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    if (negative) {
        value = 0 - value;
    }
    return static_cast<std::int64_t>(value);
}

double parse_value_field(const std::string& field)
{
    std::size_t position = skip_blanks(field, 0);
    const bool negative = read_sign(field, position);
    if (position >= field.size()) {
        return 0.0;
    }
    if (field[position] == '$' || field[position] == '%') {
        return static_cast<double>(parse_integer(field));
    }
    if (!is_decimal_digit(field[position])) {
        return 0.0;
    }
    const double magnitude = read_decimal(field, position);
    // "-0.000" is a reading of zero, as a silent meter's is: no negative zero.
    return negative && magnitude != 0.0 ? -magnitude : magnitude;
}

double frame_value(const std::string& frame)
{
    return parse_value_field(cut_columns(frame, VALUE_COLUMN, VALUE_WIDTH));
}

std::string frame_label(const std::string& frame)
{
    return cut_columns(frame, MODE_COLUMN, MODE_WIDTH) +
           cut_columns(frame, UNIT_COLUMN, UNIT_WIDTH);
}

} // namespace meter
