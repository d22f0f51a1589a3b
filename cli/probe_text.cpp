#include "probe_text.h"

#include <charconv>
#include <limits>

namespace {

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A number too large or too small for a double: its decimal order of magnitude (digits of the
// whole part, or minus the zeros after the point, plus the exponent) says which way it went.
double out_of_range_value(const char* first, const char* last)
{
    const char* position = first;
    while (position < last && *position == '0') {
        ++position;
    }
    long order = 0;
    for (; position < last && is_digit(*position); ++position) {
        ++order;
    }
    if (position < last && *position == '.') {
        for (++position; position < last && is_digit(*position); ++position) {
            if (order <= 0 && *position == '0') {
                --order;
            } else if (order <= 0) {
                break;
            }
        }
    }
    while (position < last && *position != 'e' && *position != 'E') {
        ++position;
    }
    long exponent = 0;
    bool negative_exponent = false;
    if (position < last) {
        ++position;
        if (position < last && (*position == '+' || *position == '-')) {
            negative_exponent = *position++ == '-';
        }
        for (; position < last && is_digit(*position) && exponent < 100000; ++position) {
            exponent = exponent * 10 + (*position - '0');
        }
    }
    order += negative_exponent ? -exponent : exponent;
    return order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

} // namespace

double parse_real(const std::string& text)
{
    std::size_t position = 0;
    while (position < text.size() && is_space(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position++] == '-';
    }
    const char* first = text.data() + position;
    const char* last = text.data() + text.size();
    const bool starts_number =
        first < last &&
        (is_digit(*first) || (*first == '.' && first + 1 < last && is_digit(first[1])));
    if (!starts_number) {
        return 0.0;
    }
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        value = out_of_range_value(first, result.ptr);
    }
    return negative ? -value : value;
}

std::string format_integer(std::int32_t value)
{
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, result.ptr);
}

std::string format_real(double value)
{
    // Enough for the largest double written out in full with ten decimals.
    char digits[400];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 10);
    return std::string(digits, result.ptr);
}

bool text_contains(const std::string& text, const std::string& searched)
{
    return !text.empty() && !searched.empty() && text.find(searched) != std::string::npos;
}

std::string lower_latin1(std::string text)
{
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x41 && byte <= 0x5A) || (byte >= 0xC0 && byte <= 0xDE)) {
            c = static_cast<char>(byte + 32);
        }
    }
    return text;
}
