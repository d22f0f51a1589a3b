// Text conversions of the command-line driver. Numbers use "." whatever the user's locale.
#pragma once

#include <cstdint>
#include <string>

// Leading white space, an optional sign, digits with an optional "." and fraction, an optional
// exponent; stops at the first character that does not fit. No number gives 0.0.
double parse_real(const std::string& text);

// "%d": digits, "-" in front of a negative value.
std::string format_integer(std::int32_t value);

// "%.10f": ten digits after the point, the last one rounded.
std::string format_real(double value);

// Yes when `searched` occurs in `text`; no when either is empty.
bool text_contains(const std::string& text, const std::string& searched);

// "A" to "Z" and the Latin-1 capitals 0xC0 to 0xDE lowered; every other byte unchanged.
std::string lower_latin1(std::string text);
