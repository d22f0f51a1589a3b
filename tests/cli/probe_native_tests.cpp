// The Linux ohmprobe end to end, in the sandbox's private /dev: simulated meters stand behind
// placeholder nodes /dev/ttyS0 (COM1), /dev/ttyS1 (COM2) and /dev/ttyS11 (COM12), and the line
// shim records which device each run configured and which lines it set.
#include "fake_node.h"
#include "line_log.h"
#include "probe_cases.h"
#include "process.h"
#include "pty_pair.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <gtest/gtest.h>

namespace {

ProcessResult run_probe_binary(const std::vector<std::string>& parameters,
                               std::vector<std::string> environment = {})
{
    Launch launch;
    launch.argv = {OHM_NATIVE_BIN "/ohmprobe"};
    launch.argv.insert(launch.argv.end(), parameters.begin(), parameters.end());
    launch.environment = std::move(environment);
    launch.timeout_ms = 15000;
    return run_process(launch);
}

class ProbeNativeTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_private_dev()) << "the test main moves into tests/rig/sandbox";
        dir_ = make_temp_dir("ohm-probe");
    }
    void TearDown() override { remove_tree(dir_); }

    // Runs with the line shim; the meters answer only while DTR is on and RTS off.
    ProcessResult run_recorded(const std::vector<std::string>& parameters)
    {
        remove((dir_ + "/log").c_str());
        return run_probe_binary(parameters,
                                {"LD_PRELOAD=" OHM_PRELOAD_FIRST OHM_LINE_SHIM,
                                 "OHM_LINE_LOG=" + dir_ + "/log", "OHM_LINE_STATE_DIR=" + dir_});
    }
    std::string log() const { return read_file(dir_ + "/log"); }

    std::string dir_;
};

TEST_F(ProbeNativeTest, AnswersEveryCaseLikeTheWindowsForm)
{
    ProbeRig rig(dir_);
    const FakeNode com1("ttyS0", rig.meter(1).path());
    const FakeNode com2("ttyS1", rig.meter(2).path());
    const FakeNode com12("ttyS11", rig.meter(12).path());
    for (const ProbeCase& c : probe_cases()) {
        SCOPED_TRACE(describe(c));
        rig.note_requests();
        const ProcessResult result = run_recorded(c.parameters);
        rig.check(c, result, log(), "\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(ProbeNativeTest, TheMeterLineIs600Baud7DataBits2StopBitsWithDtrOnAndRtsOff)
{
    SimMeter port1({}, dir_);
    const FakeNode com1("ttyS0", port1.path());
    const ProcessResult result = run_recorded({"ead", "10"});
    EXPECT_EQ(result.out, "-0.8420000000\n");
    EXPECT_NE(log().find("tcsetattr speed=600 csize=7 cstopb=1 parenb=0 crtscts=0 ixon=0"),
              std::string::npos)
        << log();
    const std::string state = read_file(dir_ + "/pts-" + std::to_string(pts_number(port1.path())));
    EXPECT_EQ(state, "dtr=1 rts=0\n");
}

TEST_F(ProbeNativeTest, ADevicePathChoosesTheMeterAndChannel0)
{
    SimMeter meter({"--reading", "OH   O.L MOhm", "--reading", "DC -0.000   V"});
    const ProcessResult result = run_probe_binary({"nead", meter.path()});
    EXPECT_EQ(result.out, "OHMOhm\n");
    EXPECT_EQ(run_probe_binary({"ead", meter.path()}).out, "0.0000000000\n") << "no -0";
    EXPECT_EQ(run_probe_binary({"ea", meter.path()}).out, "0\n") << "overload reads 0";
    EXPECT_EQ(meter.received(), "\r\r\r");

    const std::string file = dir_ + "/meter";
    write_file(file, "");
    EXPECT_EQ(run_probe_binary({"ead", file}).out, "0.0000000000\n");
    EXPECT_EQ(read_file(file), "") << "a file is no device: nothing is written into it";
}

// The exit status is 0 in every case, a reader that has gone away included.
TEST_F(ProbeNativeTest, AClosedPipeOnStandardOutputDoesNotEndTheRunWithASignal)
{
    Launch launch;
    launch.argv = {"/bin/bash", "-c",
                   "{ sleep 0.3; exec " OHM_NATIVE_BIN "/ohmprobe titre; } | true; "
                   "echo \"${PIPESTATUS[0]}\""};
    EXPECT_EQ(run_process(launch).out, "0\n");
}

TEST_F(ProbeNativeTest, ASilentMeterOrAPortThatDoesNotOpenGiveNeutralAnswersAfterTheWait)
{
    SimMeter silent({"--silent"});
    PtyPair held;
    held.hold("pending");
    for (const std::string& device : {silent.path(), std::string("/dev/ttyS5"), held.slave_path}) {
        SCOPED_TRACE(device);
        const ProcessResult ead = run_probe_binary({"ead", device});
        EXPECT_EQ(ead.out, "0.0000000000\n");
        EXPECT_GE(ead.seconds, 0.7);
        EXPECT_EQ(run_probe_binary({"ea", device}).out, "0\n");
        EXPECT_EQ(run_probe_binary({"nead", device}).out, "\n");
        EXPECT_EQ(run_probe_binary({"nea", device}).out, "*1000\n");
    }
    EXPECT_EQ(held.pending_input(), 7) << "a port another program holds is not touched";
    const ProcessResult default_port = run_probe_binary({"ead", "10"});
    EXPECT_EQ(default_port.out, "0.0000000000\n") << "no /dev/ttyS0 here";
    EXPECT_EQ(default_port.exit_status, 0);
}

} // namespace

namespace {

class ProbeBadLineTest : public ProbeNativeTest, public testing::WithParamInterface<BadLineCase> {};

bool is_one_printed_real(const std::string& output)
{
    const auto point = output.find('.');
    if (point == std::string::npos || output.size() != point + 12 || output.back() != '\n') {
        return false;
    }
    const std::string whole = output.substr(output[0] == '-' ? 1 : 0, point - (output[0] == '-'));
    const std::string fraction = output.substr(point + 1, 10);
    const auto digits = [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    };
    return digits(whole) && digits(fraction);
}

// Every bad line ends within the time-outs with a neutral or partial reading, and the first
// run after a sound meter is back behind the port reads it right.
TEST_P(ProbeBadLineTest, EndsWithinTheTimeOutsAndTheNextGoodLineReadsRight)
{
    {
        SimMeter bad(GetParam().meter_options);
        const FakeNode com1("ttyS0", bad.path());
        const ProcessResult result = run_probe_binary({"ead", "10"});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_TRUE(is_one_printed_real(result.out)) << visible(result.out);
        EXPECT_EQ(result.err, "");
        EXPECT_LT(result.seconds, 2.5);
        EXPECT_EQ(run_probe_binary({"nead", "10"}).exit_status, 0);
    }
    SimMeter good;
    const FakeNode com1("ttyS0", good.path());
    EXPECT_EQ(run_probe_binary({"ead", "10"}).out, "-0.8420000000\n");
}

INSTANTIATE_TEST_SUITE_P(Lines, ProbeBadLineTest, testing::ValuesIn(bad_line_cases()),
                         bad_line_name);

} // namespace
