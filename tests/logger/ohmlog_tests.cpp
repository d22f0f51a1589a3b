// The Linux ohmlog end to end, in the sandbox's private /dev, against simulated meters.
#include "fake_node.h"
#include "process.h"
#include "pty_pair.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

Launch ohmlog_launch(const std::vector<std::string>& arguments)
{
    Launch launch;
    launch.argv = {OHM_NATIVE_BIN "/ohmlog"};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.timeout_ms = 30000;
    return launch;
}

ProcessResult run_ohmlog(const std::vector<std::string>& arguments)
{
    return run_process(ohmlog_launch(arguments));
}

std::vector<std::string> csv_lines(const std::string& csv)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = csv.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(csv.substr(start, end - start));
    }
    EXPECT_EQ(start, csv.size()) << "every row is complete";
    return lines;
}

// A row from its third field on: the time and the elapsed seconds vary from run to run.
std::string fields_after_time(const std::string& row)
{
    return row.substr(row.find(',', row.find(',') + 1) + 1);
}

double elapsed_of(const std::string& row)
{
    return std::stod(row.substr(row.find(',') + 1));
}

int count_of(const std::string& text, const std::string& part)
{
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class OhmlogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_private_dev()) << "the test main moves into tests/rig/sandbox";
        dir_ = make_temp_dir("ohm-log");
    }
    void TearDown() override { remove_tree(dir_); }

    std::string dir_;
};

// A run across modes and prefixes, on COM3 written in lower case; a turned dial gives one
// panel per base unit, and a real SVG renderer draws the plot.
TEST_F(OhmlogTest, ASequenceOfReadingsAcrossModesAndPrefixes)
{
    SimMeter meter({"--reading", "DC -0.842   V", "--reading", "DC  0.5    mV", "--reading",
                    "OH  1.234KOhm", "--reading", "OH   O.L MOhm", "--reading", "    0123     ",
                    "--reading", "CA  47.00  nF"});
    const FakeNode com3("ttyS2", meter.path());
    const std::string plot = dir_ + "/plot.svg";
    const ProcessResult result = run_ohmlog({"-n", "6", "--plot", plot, "com3"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::vector<std::string> rows = csv_lines(result.out);
    ASSERT_EQ(rows.size(), 7u) << result.out;
    EXPECT_EQ(rows[0], "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame");
    const std::vector<std::string> expected = {"DC,-0.842,V,-0.842,V,ok,DC -0.842   V",
                                               "DC,0.5,mV,0.0005,V,ok,DC  0.5    mV",
                                               "OH,1.234,KOhm,1234,Ohm,ok,OH  1.234KOhm",
                                               "OH,O.L,MOhm,,,overload,OH   O.L MOhm",
                                               ",0123,,123,,ok,    0123     ",
                                               "CA,47.00,nF,0.000000047,F,ok,CA  47.00  nF"};
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,\d+\.\d{3},.*)");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(fields_after_time(rows[i + 1]), expected[i]);
        EXPECT_TRUE(std::regex_match(rows[i + 1], utc)) << rows[i + 1];
    }
    EXPECT_EQ(elapsed_of(rows[1]), 0.0);
    EXPECT_GT(elapsed_of(rows[6]), elapsed_of(rows[5]));
    EXPECT_EQ(meter.received(), "\r\r\r\r\r\r");
    EXPECT_NE(result.err.find("ohmlog: 6 readings in "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("  Ohm: readings 2, ok 1, overload 1, missing 0; min 1.234 kOhm"),
              std::string::npos)
        << result.err;

    const std::string svg = read_file(plot);
    EXPECT_EQ(count_of(svg, "class=\"panel\""), 4) << "V, Ohm, gain and F";
    Launch render;
    render.argv = {"/usr/bin/rsvg-convert", "-o", dir_ + "/plot.png", plot};
    ASSERT_EQ(run_process(render).exit_status, 0);
    Launch measure;
    measure.argv = {"/usr/bin/convert", dir_ + "/plot.png", "-format", "%[fx:standard_deviation]",
                    "info:"};
    EXPECT_GT(std::stod(run_process(measure).out), 0.01) << "the rendered plot is not blank";
}

struct BadLineCase {
    const char* what;
    std::vector<std::string> meter_options;
    const char* row;
};

class OhmlogBadLineTest : public OhmlogTest, public testing::WithParamInterface<BadLineCase> {};

// Every request has its row, whatever came back; the run goes on.
TEST_P(OhmlogBadLineTest, EachRequestHasItsRow)
{
    SimMeter meter(GetParam().meter_options);
    const ProcessResult result = run_ohmlog({"--count", "2", meter.path()});
    EXPECT_EQ(result.exit_status, 0);
    const std::vector<std::string> rows = csv_lines(result.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(fields_after_time(rows[1]), GetParam().row);
    EXPECT_EQ(fields_after_time(rows[2]), GetParam().row);
    EXPECT_EQ(meter.received(), "\r\r");
}

INSTANTIATE_TEST_SUITE_P(Lines, OhmlogBadLineTest,
                         testing::Values(BadLineCase{"silent", {"--silent"}, ",,,,,no-reply,"},
                                         BadLineCase{"junk",
                                                     {"--junk", "x,\"\\x01"},
                                                     ",,,,,garbled,\"x,\"\"\x01"
                                                     "DC -0.842   V\""},
                                         BadLineCase{
                                             "cut_short", {"--cut", "6"}, ",,,,,garbled,DC -0."}),
                         [](const testing::TestParamInfo<BadLineCase>& case_info) {
                             return std::string(case_info.param.what);
                         });

// Request k starts at k intervals after the first: the time a reply takes does not add up.
TEST_F(OhmlogTest, AnIntervalKeepsItsPace)
{
    SimMeter meter;
    const std::vector<std::string> rows =
        csv_lines(run_ohmlog({"-n", "4", "-i", "0.4", meter.path()}).out);
    ASSERT_EQ(rows.size(), 5u);
    for (std::size_t k = 1; k < rows.size(); ++k) {
        EXPECT_GE(elapsed_of(rows[k]), 0.4 * static_cast<double>(k - 1) - 0.001);
        EXPECT_LT(elapsed_of(rows[k]), 0.4 * static_cast<double>(k - 1) + 0.15) << rows[k];
    }
}

TEST_F(OhmlogTest, AnUnpluggedMeterGivesNoReplyRowsAndTheRunGoesOn)
{
    SimMeter meter;
    BackgroundProcess log(ohmlog_launch({"-n", "5", "-i", "0.3", meter.path()}));
    EXPECT_EQ(log.read_line(5000).substr(0, 4), "time");
    EXPECT_NE(log.read_line(5000).find(",ok,"), std::string::npos);
    meter.toggle_cable();
    EXPECT_NE(log.read_line(5000).find(",no-reply,"), std::string::npos);
    EXPECT_NE(log.read_line(5000).find(",no-reply,"), std::string::npos);
    meter.toggle_cable();
    const std::string rest = log.read_rest(10000);
    EXPECT_NE(rest.find(",ok,"), std::string::npos) << rest;
    EXPECT_EQ(log.wait(5000), 0);
}

class OhmlogStopTest : public OhmlogTest, public testing::WithParamInterface<int> {};

// Ctrl-C (SIGINT) or SIGTERM: every completed row on disk, the plot written, the summary
// printed, status 0, and soon.
TEST_P(OhmlogStopTest, EndsTheRunWithEverythingWritten)
{
    SimMeter meter;
    const std::string csv = dir_ + "/log.csv";
    const std::string plot = dir_ + "/log.svg";
    Launch launch = ohmlog_launch({"-o", csv, "--plot", plot, meter.path()});
    launch.stderr_path = dir_ + "/stderr";
    BackgroundProcess log(launch);
    const double start = monotonic_seconds();
    while (count_of(read_file(csv), "\r\n") < 4 && seconds_since(start) < 10.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(count_of(read_file(csv), "\r\n"), 4)
        << "each row is on disk as soon as it is complete";
    const double stop = monotonic_seconds();
    kill(log.pid(), GetParam());
    EXPECT_EQ(log.wait(5000), 0);
    EXPECT_LT(seconds_since(stop), 2.0) << "half a second in the benchmark; generous here";
    const std::vector<std::string> rows = csv_lines(read_file(csv));
    ASSERT_GE(rows.size(), 4u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(fields_after_time(rows[i]), "DC,-0.842,V,-0.842,V,ok,DC -0.842   V");
    }
    EXPECT_NE(read_file(plot).find("</svg>"), std::string::npos);
    EXPECT_FALSE(std::ifstream(plot + ".part").good());
    EXPECT_NE(read_file(dir_ + "/stderr").find(std::to_string(rows.size() - 1) + " readings in"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, OhmlogStopTest, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& case_info) {
                             return case_info.param == SIGINT ? "sigint" : "sigterm";
                         });

TEST_F(OhmlogTest, AnExistingFileIsKeptUnlessAppendOrForceIsGiven)
{
    SimMeter meter;
    const std::string csv = dir_ + "/log.csv";
    write_file(csv, "kept\r\n");
    const ProcessResult refused = run_ohmlog({"-n", "1", "-o", csv, meter.path()});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(count_of(refused.err, "\n"), 1) << refused.err;
    EXPECT_EQ(read_file(csv), "kept\r\n");
    EXPECT_EQ(meter.received(), "") << "nothing asked of the meter";

    EXPECT_EQ(run_ohmlog({"-n", "1", "-o", csv, "--append", meter.path()}).exit_status, 0);
    std::vector<std::string> rows = csv_lines(read_file(csv));
    ASSERT_EQ(rows.size(), 2u) << "no second header";
    EXPECT_EQ(rows[0], "kept");
    EXPECT_EQ(run_ohmlog({"-n", "1", "-o", csv, "--force", meter.path()}).exit_status, 0);
    rows = csv_lines(read_file(csv));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].substr(0, 5), "time,");

    write_file(dir_ + "/old.svg", "old");
    EXPECT_EQ(run_ohmlog({"-n", "1", "--plot", dir_ + "/old.svg", meter.path()}).exit_status, 1);
    EXPECT_EQ(read_file(dir_ + "/old.svg"), "old");
}

struct RefusedCase {
    const char* what;
    std::vector<std::string> arguments; // PORT stands for the port of the case
    int exit_status;
    const char* said;
};

class OhmlogRefusedTest : public OhmlogTest, public testing::WithParamInterface<RefusedCase> {};

// One clear line, the right status, no file left behind, and the meter's port as it was.
TEST_P(OhmlogRefusedTest, SaysWhyInOneLine)
{
    PtyPair line;
    if (std::string(GetParam().what) == "port_busy") {
        line.hold("");
    }
    termios before{};
    tcgetattr(line.held_slave, &before);
    const FakeNode com5("ttyS4", line.slave_path);
    const PtyPair root_only;
    chmod(root_only.slave_path.c_str(), 0600);
    const FakeNode locked("ttyUSB3", root_only.slave_path);
    const FakeNode not_a_device("ttyUSB4", "");
    std::vector<std::string> arguments;
    for (const std::string& argument : GetParam().arguments) {
        arguments.push_back(argument == "CSV" ? dir_ + "/out.csv" : argument);
    }
    Launch launch = ohmlog_launch(arguments);
    if (std::string(GetParam().what) == "permission_denied") {
        launch.argv.insert(launch.argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody",
                                                 "--regid=nogroup", "--clear-groups"});
    }
    const ProcessResult result = run_process(launch);
    EXPECT_EQ(result.exit_status, GetParam().exit_status);
    EXPECT_NE(result.err.find(GetParam().said), std::string::npos) << result.err;
    if (result.exit_status == 1) {
        EXPECT_EQ(count_of(result.err, "\n"), 1) << result.err;
    }
    EXPECT_FALSE(std::ifstream(dir_ + "/out.csv").good()) << "nothing half-written";
    termios after{};
    tcgetattr(line.held_slave, &after);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(line.receive(100), "") << "no request was sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OhmlogRefusedTest,
    testing::Values(
        RefusedCase{"absent", {"-o", "CSV", "/dev/ttyUSB9"}, 1, "/dev/ttyUSB9: no such device"},
        RefusedCase{"absent_com_port", {"-o", "CSV", "COM12"}, 1, "COM12: no such device"},
        RefusedCase{"no_device_name", {"-o", "CSV", "meter"}, 1, "meter: not a serial port"},
        RefusedCase{"a_file", {"-o", "CSV", "/dev/ttyUSB4"}, 1, "/dev/ttyUSB4: not a device"},
        RefusedCase{"port_busy", {"-o", "CSV", "COM5"}, 1, "COM5: in use by another program"},
        RefusedCase{"permission_denied", {"-o", "CSV", "/dev/ttyUSB3"}, 1, "dialout"},
        RefusedCase{"output_unwritable",
                    {"-o", "/nonexistent/dir/out.csv", "COM5"},
                    1,
                    "cannot write /nonexistent/dir/out.csv"},
        RefusedCase{"plot_unwritable",
                    {"-o", "CSV", "--plot", "/nonexistent/p.svg", "COM5"},
                    1,
                    "cannot write /nonexistent/p.svg"},
        RefusedCase{"unknown_option", {"--colour", "COM5"}, 2, "unknown option --colour"},
        RefusedCase{"bad_count", {"-n", "three", "COM5"}, 2, "bad count"},
        RefusedCase{"bad_interval", {"-i", "-1", "COM5"}, 2, "bad interval"},
        RefusedCase{"no_port", {"-n", "1"}, 2, "usage: ohmlog"}),
    [](const testing::TestParamInfo<RefusedCase>& case_info) {
        return std::string(case_info.param.what);
    });

// On a terminal, one status line is rewritten in place; the summary follows it.
TEST_F(OhmlogTest, AStatusLineOnATerminal)
{
    SimMeter meter({"--reading", "DC -0.842   V", "--reading", "DC  0.445   V"});
    PtyPair terminal;
    Launch launch = ohmlog_launch({"-n", "3", meter.path()});
    launch.stderr_path = terminal.slave_path;
    EXPECT_EQ(run_process(launch).exit_status, 0);
    const std::string shown = terminal.receive(1000);
    EXPECT_NE(shown.find("\r3 readings  last -842 mV  min -842 mV  max 445 mV"), std::string::npos)
        << visible(shown);
    EXPECT_NE(shown.find("ohmlog: 3 readings"), std::string::npos);
    EXPECT_EQ(run_ohmlog({"--version"}).out, "ohmlog 1.0\n");
}

} // namespace
