// The number conversions against the C library's own, in the "C" locale, wherever both
// claim to read the same number.
#include "fuzz_support.h"
#include "meter_frame.h"
#include "probe_text.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The prefix of `text` that is blanks, a sign, digits and an optional fraction.
std::size_t plain_decimal_length(const std::string& text, std::size_t position)
{
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        ++position;
    }
    if (position >= text.size() || !is_digit(text[position])) {
        return 0;
    }
    while (position < text.size() && is_digit(text[position])) {
        ++position;
    }
    if (position < text.size() && text[position] == '.') {
        ++position;
        while (position < text.size() && is_digit(text[position])) {
            ++position;
        }
    }
    return position;
}

void check_value_field(const std::string& field)
{
    const double value = meter::parse_value_field(field);
    std::size_t start = field.find_first_not_of(" \t");
    if (start == std::string::npos) {
        FUZZ_EXPECT(value == 0.0);
        return;
    }
    const std::size_t end = plain_decimal_length(field, start);
    if (end == 0) {
        const char after_sign =
            (field[start] == '-' || field[start] == '+') && start + 1 < field.size()
                ? field[start + 1]
                : field[start];
        if (after_sign != '$' && after_sign != '%') {
            FUZZ_EXPECT(value == 0.0);
        }
        return;
    }
    const std::string number = field.substr(start, end - start);
    FUZZ_EXPECT(value == std::strtod(number.c_str(), nullptr));
}

void check_parse_real(const std::string& text)
{
    const double value = meter::parse_value_field(text); // must not crash on the same text
    (void)value;
    const double parsed = parse_real(text);
    // strtod also reads "inf", "nan" and hexadecimal numbers, which parse_real does not.
    for (const char* foreign : {"x", "X", "n", "N", "i", "I"}) {
        if (text.find(foreign) != std::string::npos) {
            return;
        }
    }
    if (text.find('\0') != std::string::npos) {
        return;
    }
    const double reference = std::strtod(text.c_str(), nullptr);
    if (reference != 0.0 && std::fabs(reference) < 2.3e-308) {
        return; // subnormal results: the two may round the last bit differently
    }
    FUZZ_EXPECT(parsed == reference);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    meter::parse_integer(text);
    check_value_field(text);
    check_parse_real(text);
    return 0;
}
