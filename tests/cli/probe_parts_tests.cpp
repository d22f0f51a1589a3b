// The platform-free parts of the command-line driver: splitting, conversions, decoding and
// the dispatch table.
#include "command_line.h"
#include "probe_run.h"
#include "probe_text.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

#include <gtest/gtest.h>

namespace {

struct SplitCase {
    const char* raw;
    std::vector<std::string> parameters;
};

TEST(SplitCommandLine, WordsQuotesAndTheProgramName)
{
    const SplitCase cases[] = {
        {"ohmprobe", {}},
        {"", {}},
        {"    ", {}},
        {"ohmprobe ead 10", {"ead", "10"}},
        {"ohmprobe   ead    10   ", {"ead", "10"}},
        {"ohmprobe ead\t10", {"ead\t10"}},
        {"ohmprobe \"a b\" c", {"a b", "c"}},
        {"ohmprobe \"\" x", {"", "x"}},
        {"ohmprobe \"\"", {""}},
        {"ohmprobe \"ab\"cd", {"ab", "cd"}},
        {"ohmprobe \"a\"\"b\"", {"a", "b"}},
        {"ohmprobe ab\"cd ef\"", {"ab\"cd", "ef\""}},
        {"ohmprobe \"unclosed word", {"unclosed word"}},
        {"ohmprobe x \"", {"x", ""}},
        {"\"C:\\Program Files\\ohmprobe.exe\" ead 10", {"ead", "10"}},
        {"\"C:\\Program Files\\ohmprobe.exe\"ead", {"ead"}},
        {"ohmprobe ead 10 2.5 extra words", {"ead", "10", "2.5", "extra", "words"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(split_command_line(c.raw), c.parameters) << '[' << c.raw << ']';
    }
}

struct RealCase {
    const char* text;
    double value;
};

const RealCase real_cases[] = {
    {"10", 10.0}, {" 12.5x", 12.5}, {"-10", -10.0}, {"+3", 3.0},     {"1e2", 100.0}, {"1E-1", 0.1},
    {"abc", 0.0}, {"", 0.0},        {".5", 0.5},    {"-.5", -0.5},   {"1.", 1.0},    {"1e", 1.0},
    {"1e+", 1.0}, {" \t\n7", 7.0},  {"0x10", 0.0},  {"inf", 0.0},    {"nan", 0.0},   {"1,5", 1.0},
    {"--1", 0.0}, {".", 0.0},       {"10.4", 10.4}, {"1e-999", 0.0}, {"-0", -0.0},
};

void expect_real_table()
{
    for (const RealCase& c : real_cases) {
        EXPECT_DOUBLE_EQ(parse_real(c.text), c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(parse_real("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_real("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_real("0.0000000001e-999"), 0.0);
    EXPECT_EQ(parse_real("0.0000000001e+999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_real(std::string(400, '1') + "2.5e-30811111111111111111111"), 0.0);
    EXPECT_EQ(parse_real("0." + std::string(330, '0') + "1"), 0.0);
}

const double formatted_values[] = {0.0,   -777.0,     1.5,     -0.842,          0.445,
                                   1e-11, 5e-11,      -5e-11,  2.5e-10,         123456789.123456789,
                                   1e20,  -1.0 / 3.0, 32767.0, 0.9999999999949, 1e300,
                                   -0.0};

void expect_format_table()
{
    for (double value : formatted_values) {
        char expected[512];
        std::snprintf(expected, sizeof expected, "%.10f", value);
        EXPECT_EQ(format_real(value), expected) << value;
    }
}

TEST(ProbeText, ParseReal)
{
    expect_real_table();
}

TEST(ProbeText, FormatRealIsPrintfsTenDecimals)
{
    EXPECT_EQ(format_real(0.0), "0.0000000000");
    EXPECT_EQ(format_real(-777.0), "-777.0000000000");
    EXPECT_EQ(format_real(1.5), "1.5000000000");
    expect_format_table();
}

TEST(ProbeText, FormatInteger)
{
    EXPECT_EQ(format_integer(0), "0");
    EXPECT_EQ(format_integer(44), "44");
    EXPECT_EQ(format_integer(-777), "-777");
    EXPECT_EQ(format_integer(2147483647), "2147483647");
    EXPECT_EQ(format_integer(-2147483647 - 1), "-2147483648");
}

// A user's decimal comma changes neither the parameters nor the printed numbers.
TEST(ProbeText, NumbersKeepThePointUnderADecimalCommaLocale)
{
    const char* chosen = nullptr;
    for (const char* name : {"fr_FR.UTF-8", "de_DE.UTF-8", "fr_FR.utf8", "de_DE.utf8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            chosen = name;
            break;
        }
    }
    ASSERT_NE(chosen, nullptr) << "no decimal-comma locale installed (tests/run-all makes them)";
    expect_real_table();
    EXPECT_EQ(format_real(-0.842), "-0.8420000000");
    EXPECT_EQ(format_real(1234567.5), "1234567.5000000000");
    std::setlocale(LC_ALL, "C");
}

TEST(ProbeText, LowerLatin1AndTextContains)
{
    EXPECT_EQ(lower_latin1("EAD"), "ead");
    EXPECT_EQ(lower_latin1("StdTitre"), "stdtitre");
    EXPECT_EQ(lower_latin1("aZ[@`{"), "az[@`{");
    EXPECT_EQ(lower_latin1("\xC0\xC9\xDE\xDF\xE9\xBF"), "\xE0\xE9\xFE\xDF\xE9\xBF");
    EXPECT_TRUE(text_contains("ead?", "?"));
    EXPECT_TRUE(text_contains("?", "?"));
    EXPECT_FALSE(text_contains("ead", "?"));
    EXPECT_FALSE(text_contains("", "?"));
    EXPECT_FALSE(text_contains("?", ""));
}

struct DecodeCase {
    const char* parameter;
    std::int8_t port;
    double channel;
};

TEST(DecodePortAndChannel, TensChooseThePortTheRestTheChannel)
{
    const DecodeCase cases[] = {
        {"10", 1, 0.0},   {"20", 2, 0.0},     {"123", 12, 3.0},    {"5", 1, 5.0},
        {"10.4", 1, 0.4}, {"10.5", 1, 0.5},   {"-10", -1, 0.0},    {"1280", -128, 2560.0},
        {"0", 1, 0.0},    {"abc", 1, 0.0},    {"2560", 1, 2560.0}, {"9", 1, 9.0},
        {"-5", -1, 5.0},  {"1270", 127, 0.0}, {"30.0", 3, 0.0},
    };
    for (const DecodeCase& c : cases) {
        const PortAndChannel decoded = decode_port_and_channel(c.parameter);
        EXPECT_EQ(decoded.port_number, c.port) << c.parameter;
        EXPECT_NEAR(decoded.channel_value, c.channel, 1e-9) << c.parameter;
    }
}

TEST(Dispatch, ThirtyFourNamesAndNothingElse)
{
    const char* names[] = {"ea",     "nea",     "ead",      "nead",     "sa",     "nsa",
                           "rsa",    "sad",     "nsad",     "rsad",     "eb",     "neb",
                           "sb",     "nsb",     "rsb",      "titre",    "detail", "stdea",
                           "stdnea", "stdead",  "stdnead",  "stdsa",    "stdnsa", "stdrsa",
                           "stdsad", "stdnsad", "stdrsad",  "stdeb",    "stdneb", "stdsb",
                           "stdnsb", "stdrsb",  "stdtitre", "stddetail"};
    driver::Catalogue catalogue{driver::BehaviourSet::command_line};
    const DispatchArguments other_channel{11, 22, 22.0};
    for (const char* name : names) {
        EXPECT_TRUE(dispatch(name, catalogue, other_channel).has_value()) << name;
    }
    for (const char* name : {"EAD", "eadouble", "stdeadouble", "", "ead ", "?", "std"}) {
        EXPECT_FALSE(dispatch(name, catalogue, other_channel).has_value()) << name;
    }
    EXPECT_EQ(dispatch("sad", catalogue, other_channel), "-777.0000000000");
    EXPECT_EQ(dispatch("stdsb", catalogue, other_channel), "-777");
    EXPECT_EQ(dispatch("rsb", catalogue, other_channel), "0") << "channel 11 has no state";
    EXPECT_EQ(dispatch("stdrsad", catalogue, other_channel), "0.0000000000");
    EXPECT_EQ(dispatch("detail", catalogue, other_channel), "");
    EXPECT_EQ(dispatch("stdea", catalogue, other_channel), "0");
}

} // namespace
