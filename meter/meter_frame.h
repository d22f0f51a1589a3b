// Turning the meter's reply (a MeterFrame) into a value and a label. No I/O here.
//
// Columns of a frame, counted from 1 as the meter sends them:
//   1-2   mode ("DC", "AC", "OH", blanks in transistor-gain mode): first part of the label
//   3     blank
//   4-9   value field: the number, possibly with blanks around it
//   10-13 unit ("   V", "KOhm"): second part of the label
//   14    carriage return
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace meter {

constexpr std::size_t MODE_COLUMN = 1;
constexpr std::size_t MODE_WIDTH = 2;
constexpr std::size_t VALUE_COLUMN = 4;
constexpr std::size_t VALUE_WIDTH = 6;
constexpr std::size_t UNIT_COLUMN = 10;
constexpr std::size_t UNIT_WIDTH = 4;

// At most `width` characters from column `first_column` on; empty when the frame is shorter.
std::string cut_columns(const std::string& frame, std::size_t first_column, std::size_t width);

// Only trailing spaces go: leading blanks belong to the columns.
std::string trim_trailing_spaces(std::string text);

// Whole number after blanks and one sign: decimal, or base 16 after "$", base 2 after "%".
// Stops at the first character that is not a digit; no digit gives 0.
std::int64_t parse_integer(const std::string& text);

// The value field as a decimal number with its fraction, whatever the locale. A field that
// starts with "$" or "%" keeps its whole-number reading; no digit where the number should
// start gives 0.0.
double parse_value_field(const std::string& field);

double frame_value(const std::string& frame);
std::string frame_label(const std::string& frame);

} // namespace meter
