// ohmlog's platform-free parts: what a reply reads in SI units, the CSV it makes, the texts
// for people and the command line.
#include "log_options.h"
#include "log_plot.h"
#include "log_record.h"
#include "log_series.h"
#include "log_summary.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace logbook;

struct ReplyCase {
    const char* reply;
    const char* row; // the CSV row from its third field on: mode to frame
};

// Every value is the exact decimal the meter showed, its point moved to the base unit.
TEST(DecodeReply, FieldsStatusAndExactValueInTheBaseUnit)
{
    const ReplyCase cases[] = {
        {"DC -0.842   V\n", "DC,-0.842,V,-0.842,V,ok,DC -0.842   V"},
        {"OH  1.234KOhm\r", "OH,1.234,KOhm,1234,Ohm,ok,OH  1.234KOhm"},
        {"OH  0.951MOhm\n", "OH,0.951,MOhm,951000,Ohm,ok,OH  0.951MOhm"},
        {"DC  0.5    mV\n", "DC,0.5,mV,0.0005,V,ok,DC  0.5    mV"},
        {"DC  0167   mA\n", "DC,0167,mA,0.167,A,ok,DC  0167   mA"},
        {"DC  00.01  uA\n", "DC,00.01,uA,0.00000001,A,ok,DC  00.01  uA"},
        {"CA  47.00  nF\n", "CA,47.00,nF,0.000000047,F,ok,CA  47.00  nF"},
        {"CA  2.200  uF\n", "CA,2.200,uF,0.0000022,F,ok,CA  2.200  uF"},
        {"FR  1.000 kHz\n", "FR,1.000,kHz,1000,Hz,ok,FR  1.000 kHz"},
        {"FR  0.012 MHz\n", "FR,0.012,MHz,12000,Hz,ok,FR  0.012 MHz"},
        {"TE  0023    C\n", "TE,0023,C,23,degC,ok,TE  0023    C"},
        {"    0123     \n", ",0123,,123,,ok,    0123     "},
        {"DC -0.000   V\n", "DC,-0.000,V,0,V,ok,DC -0.000   V"},
        {"OH  1.234  XY\n", "OH,1.234,XY,1.234,XY,ok,OH  1.234  XY"},
        {"DC -0.842   V", "DC,-0.842,V,-0.842,V,ok,DC -0.842   V"},
        {"OH   O.L MOhm\n", "OH,O.L,MOhm,,,overload,OH   O.L MOhm"},
        {"", ",,,,,no-reply,"},
        {"DC -0", ",,,,,garbled,DC -0"},
        {"\x01x,\"DC\x1b-0.842  \\V\n", ",,,,,garbled,\"\\x01x,\"\"DC\\x1b-0.842  \\\\V\""},
        {"DC  abcde   V\n", ",,,,,garbled,DC  abcde   V"},
        {"DC -0.8.2   V\n", ",,,,,garbled,DC -0.8.2   V"},
        {"DC -0.842   V  \n", ",,,,,garbled,DC -0.842   V  "},
    };
    for (const ReplyCase& c : cases) {
        Record record = decode_reply(c.reply);
        record.time = "T";
        const std::string row = csv_row(record);
        ASSERT_EQ(row.substr(row.size() - 2), "\r\n");
        EXPECT_EQ(row.substr(8, row.size() - 10), c.row) << '"' << c.reply << '"';
    }
    EXPECT_EQ(csv_header(), "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame\r\n");
    EXPECT_DOUBLE_EQ(decode_reply("CA  47.00  nF\n").number, 47e-9);
}

TEST(Texts, SiPrefixesTimesAndAxes)
{
    EXPECT_EQ(si_text(-0.842, "V"), "-842 mV");
    EXPECT_EQ(si_text(1234, "Ohm"), "1.234 kOhm");
    EXPECT_EQ(si_text(47e-9, "F"), "47 nF");
    EXPECT_EQ(si_text(12000, "Hz"), "12 kHz");
    EXPECT_EQ(si_text(23, "degC"), "23 degC");
    EXPECT_EQ(si_text(123, ""), "123");
    EXPECT_EQ(si_text(0, "V"), "0 V");
    EXPECT_EQ(si_text(9.9999996e-7, "V"), "1 uV") << "the prefix of the number as shown";
    EXPECT_EQ(axis_label(-0.8, 0.9, 0.2, "V"), "-800 mV");
    EXPECT_EQ(axis_label(1250, 1500, 50, "Ohm"), "1.25 kOhm");
    EXPECT_EQ(axis_label(1e-17, 1.0, 0.2, ""), "0.0") << "no -0 at zero";
    EXPECT_DOUBLE_EQ(nice_step(0.9, 5), 0.2);
    EXPECT_DOUBLE_EQ(nice_step(37, 5), 10);
    EXPECT_EQ(utc_timestamp(
                  std::chrono::system_clock::time_point(std::chrono::milliseconds(1796990400007))),
              "2026-12-11T12:00:00.007Z");
}

Record reading(Status status, double number, const std::string& unit)
{
    Record record;
    record.status = status;
    record.number = number;
    record.base_unit = unit;
    return record;
}

// A missing reading counts for the unit shown last; a turned dial starts a second unit.
TEST(Summary, PerBaseUnitWithMissingReadingsWhereTheDialWas)
{
    RunStats stats;
    for (const Record& record :
         {reading(Status::no_reply, 0, ""), reading(Status::ok, 1.0, "V"),
          reading(Status::ok, 3.0, "V"), reading(Status::garbled, 0, ""),
          reading(Status::overload, 0, "Ohm"), reading(Status::ok, 2.0, "Ohm"),
          reading(Status::no_reply, 0, "")}) {
        add_record(stats, record);
    }
    ASSERT_EQ(stats.units.size(), 3u);
    const UnitStats& volts = stats.units[1];
    EXPECT_EQ(stats.units[0].unit, UNKNOWN_UNIT);
    EXPECT_EQ(volts.readings, 3);
    EXPECT_EQ(volts.missing, 1);
    EXPECT_DOUBLE_EQ(volts.mean, 2.0);
    EXPECT_DOUBLE_EQ(standard_deviation(volts), std::sqrt(2.0));
    EXPECT_EQ(stats.units[2].overload, 1);
    EXPECT_EQ(stats.units[2].missing, 1);
    EXPECT_EQ(summary(stats, 2.0).substr(0, 40), "ohmlog: 7 readings in 2.0 s, 3.50 a seco");
}

// A million readings in a thousand buckets: the spike, the overload, the gap and the reading
// of another unit among them stay, each where it happened.
TEST(Series, BucketsMergeAndKeepWhatStandsOut)
{
    Series series;
    for (int i = 0; i < 1000000; ++i) {
        Record record = reading(Status::ok, i == 500000 ? 5.0 : 1.0, i == 800000 ? "A" : "V");
        record.status = i == 700000   ? Status::overload
                        : i == 900000 ? Status::no_reply
                                      : Status::ok;
        record.elapsed_s = i * 0.25;
        add_to_series(series, record);
    }
    ASSERT_EQ(series.panels.size(), 2u);
    const std::vector<const Bucket*> used = used_buckets(series.panels[0]);
    EXPECT_GT(used.size(), SERIES_BUCKETS / 2);
    int spikes = 0;
    double overload_at = 0.0;
    double missing_at = 0.0;
    double resumed_at = 0.0;
    long readings = 0;
    for (const Bucket* bucket : used) {
        spikes += bucket->maximum == 5.0 ? 1 : 0;
        overload_at = bucket->overload ? bucket->first_s : overload_at;
        missing_at = bucket->missing ? bucket->first_s : missing_at;
        resumed_at = bucket->resumed ? bucket->first_s : resumed_at;
        readings += bucket->readings;
        EXPECT_EQ(bucket->minimum, 1.0);
    }
    EXPECT_EQ(spikes, 1);
    EXPECT_NEAR(overload_at, 175000.0, series.bucket_s);
    EXPECT_NEAR(missing_at, 225000.0, series.bucket_s);
    EXPECT_NEAR(resumed_at, 200000.25, series.bucket_s);
    EXPECT_EQ(readings, 999999);
}

TEST(Options, BadCommandLinesAreRefused)
{
    const std::vector<std::vector<const char*>> refused = {
        {"-x", "COM1"},
        {"--count"},
        {"-n", "0", "COM1"},
        {"-n", "2x", "COM1"},
        {"-t", "-1", "COM1"},
        {"-t", "0", "COM1"},
        {"-i", "abc", "COM1"},
        {"-i", "1e3", "COM1"},
        {},
        {"COM1", "COM2"},
        {"--append", "--force", "-o", "x", "COM1"},
        {"--bogus", "COM1"},
        {"-i", "10000000000", "COM1"},
        {"--from", "a.csv", "COM1"},
        {"--from", "a.csv", "-n", "3"},
        {"--from", "a.csv", "--serve", "8080"},
    };
    for (const auto& words : refused) {
        std::vector<char*> argv{const_cast<char*>("ohmlog")};
        for (const char* word : words) {
            argv.push_back(const_cast<char*>(word));
        }
        argv.push_back(nullptr);
        LogOptions options;
        std::string problem;
        EXPECT_FALSE(
            parse_log_options(static_cast<int>(argv.size()) - 1, argv.data(), options, problem))
            << (words.empty() ? "(nothing)" : words[0]);
        EXPECT_FALSE(problem.empty());
    }
    const char* good[] = {"ohmlog", "COM3", "--count", "5",      "-t",    "2.5",      "-i",
                          "0.25",   "-o",   "a.csv",   "--plot", "a.svg", "--append", nullptr};
    LogOptions options;
    std::string problem;
    ASSERT_TRUE(parse_log_options(13, const_cast<char**>(good), options, problem)) << problem;
    EXPECT_EQ(options.port, "COM3");
    EXPECT_EQ(options.count, 5);
    EXPECT_DOUBLE_EQ(options.duration_s, 2.5);
    EXPECT_DOUBLE_EQ(options.interval_s, 0.25);
    EXPECT_EQ(options.output, "a.csv");
    EXPECT_EQ(options.plot, "a.svg");
    EXPECT_TRUE(options.append);
}

} // namespace
