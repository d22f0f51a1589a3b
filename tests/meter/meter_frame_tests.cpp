// The columns of a reply and the conversions of its value field.
#include "meter_frame.h"

#include <clocale>
#include <cmath>

#include <gtest/gtest.h>

namespace {

using meter::cut_columns;
using meter::frame_label;
using meter::frame_value;
using meter::parse_integer;
using meter::parse_value_field;

struct FieldCase {
    const char* field;
    double value;
};

// The fraction is kept (1.999 V is not 1 V); a field without a digit where the number starts
// reads 0; "$" and "%" keep their whole-number reading.
const FieldCase field_cases[] = {
    {" 1.234", 1.234},  {"-1.9", -1.9},    {"-0.5", -0.5},    {"0167 ", 167.0}, {"00.01", 0.01},
    {"-0.842", -0.842}, {" 0.445", 0.445}, {"\t\t+2.5", 2.5}, {"1.999", 1.999}, {"12abc", 12.0},
    {"3.5.6", 3.5},     {"7.", 7.0},       {"- 1.2", 0.0},    {" O.L ", 0.0},   {"", 0.0},
    {"   ", 0.0},       {"-", 0.0},        {".5", 0.0},       {"x12", 0.0},     {"$1F", 31.0},
    {"$ff.8", 255.0},   {"-$10", -16.0},   {"%101", 5.0},     {" %102", 2.0},   {"--1", 0.0},
    {"+-1", 0.0},       {"1e3", 1.0},      {"0123 ", 123.0},  {"-0.000", 0.0},  {"-00", 0.0},
};

void expect_field_table()
{
    for (const FieldCase& c : field_cases) {
        const double value = parse_value_field(c.field);
        EXPECT_DOUBLE_EQ(value, c.value) << '"' << c.field << '"';
        EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << '"' << c.field << '"';
    }
}

TEST(ValueField, KeepsTheFractionAndTheWholeNumberRules)
{
    expect_field_table();
}

TEST(ValueField, NumbersBeyondADoubleGoToInfinityOrZero)
{
    EXPECT_EQ(parse_value_field(std::string(400, '9')), HUGE_VAL);
    EXPECT_EQ(parse_value_field("-" + std::string(400, '9')), -HUGE_VAL);
    EXPECT_EQ(parse_value_field("0." + std::string(330, '0') + "1"), 0.0);
}

struct IntegerCase {
    const char* text;
    std::int64_t value;
};

TEST(ParseInteger, StopsAtTheFirstCharacterThatIsNotADigitOfItsBase)
{
    const IntegerCase cases[] = {
        {" 1.234", 1}, {"-1.9", -1},     {"-0.5", 0}, {"- 12", 0},
        {"0167", 167}, {"\t 42xyz", 42}, {"+7", 7},   {"$7fFf", 32767},
        {"$G", 0},     {"%1101", 13},    {"%2", 0},   {"-%11", -3},
        {"", 0},       {"abc", 0},       {"$", 0},    {"2147483648", 2147483648LL},
    };
    for (const IntegerCase& c : cases) {
        EXPECT_EQ(parse_integer(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(ParseInteger, WrapsInsteadOfFailingOnEndlessDigits)
{
    EXPECT_NO_FATAL_FAILURE(parse_integer(std::string(200, '9')));
    EXPECT_NO_FATAL_FAILURE(parse_integer("$" + std::string(200, 'F')));
}

struct CutCase {
    const char* frame;
    std::size_t column;
    std::size_t width;
    const char* cut;
};

TEST(CutColumns, TakesAtMostTheWidthAndNothingPastTheEnd)
{
    const CutCase cases[] = {
        {"DC -0.842   V\r", 4, 6, "-0.842"},
        {"DC -0.842   V\r", 10, 4, "   V"},
        {"DC -0.842   V\r", 1, 2, "DC"},
        {"DC -", 4, 6, "-"},
        {"DC", 4, 6, ""},
        {"DC ", 4, 6, ""},
        {"", 1, 2, ""},
        {"ABCDEFGHIJKLMNOP", 10, 4, "JKLM"},
    };
    for (const CutCase& c : cases) {
        EXPECT_EQ(cut_columns(c.frame, c.column, c.width), c.cut)
            << '"' << c.frame << "\" from " << c.column;
    }
}

struct FrameCase {
    const char* frame;
    double value;
    const char* label;
};

TEST(Frame, ValueAndLabelOfTheMetersFrames)
{
    const FrameCase cases[] = {
        {"DC -0.842   V\r", -0.842, "DC   V"},
        {"AC  0.445   V\r", 0.445, "AC   V"},
        {"DC  00.01   A\r", 0.01, "DC   A"},
        {"OH  0.951KOhm\r", 0.951, "OHKOhm"},
        {"OH   O.L MOhm\r", 0.0, "OHMOhm"},
        {"DC  0167    V\r", 167.0, "DC   V"},
        {"    0123     \r", 123.0, "      "},
        {"    0123", 123.0, "  "},
        {"DC ", 0.0, "DC"},
        {"D", 0.0, "D"},
        {"", 0.0, ""},
    };
    for (const FrameCase& c : cases) {
        EXPECT_DOUBLE_EQ(frame_value(c.frame), c.value) << '"' << c.frame << '"';
        EXPECT_EQ(frame_label(c.frame), c.label) << '"' << c.frame << '"';
    }
}

TEST(Frame, OnlyTrailingSpacesAreTrimmed)
{
    EXPECT_EQ(meter::trim_trailing_spaces("    0123     "), "    0123");
    EXPECT_EQ(meter::trim_trailing_spaces("  DC 1   V\r"), "  DC 1   V\r");
    EXPECT_EQ(meter::trim_trailing_spaces("x\t "), "x\t");
    EXPECT_EQ(meter::trim_trailing_spaces("     "), "");
}

// A host may run with a decimal comma; the meter's point must still read as one.
TEST(ValueField, ReadsThePointUnderADecimalCommaLocale)
{
    const char* chosen = nullptr;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "fr_FR.utf8",
                             "French_France.1252", "German_Germany.1252"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            chosen = name;
            break;
        }
    }
    ASSERT_NE(chosen, nullptr) << "no decimal-comma locale installed (tests/run-all makes them)";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    expect_field_table();
    EXPECT_DOUBLE_EQ(frame_value("DC -0.842   V\r"), -0.842);
    std::setlocale(LC_ALL, "C");
}

} // namespace
