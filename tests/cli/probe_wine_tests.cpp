// The 64-bit Windows ohmprobe under Wine, started by tests/rig/wine-session: simulated meters
// behind COM1, COM2 and COM12, the line shim recording which port each run configured.
#include "line_log.h"
#include "probe_cases.h"
#include "process.h"
#include "sim_meter.h"
#include "wine_session.h"

#include <map>

#include <gtest/gtest.h>

namespace {

class ProbeWineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    }

    ProcessResult run_probe_exe(const std::vector<std::string>& parameters)
    {
        std::vector<std::string> arguments{windows_binary("ohmprobe.exe")};
        arguments.insert(arguments.end(), parameters.begin(), parameters.end());
        const std::string log = session_dir() + "/probe.log";
        remove(log.c_str());
        ProcessResult result = run_under_wine(arguments, {"OHM_LINE_LOG=" + log});
        last_log_ = read_file(log);
        return result;
    }

    std::string last_log_;
};

TEST_F(ProbeWineTest, AnswersEveryCaseWithWindowsLineEnds)
{
    ProbeRig rig(session_dir());
    for (int port : {1, 2, 12}) {
        link_com(port, rig.meter(port).path());
    }
    for (const ProbeCase& c : probe_cases()) {
        SCOPED_TRACE(describe(c));
        rig.note_requests();
        const ProcessResult result = run_probe_exe(c.parameters);
        rig.check(c, result, last_log_, "\r\n");
    }
    for (int port : {1, 2, 12}) {
        unlink_com(port);
    }
}

TEST_F(ProbeWineTest, TheHelpIsWindows1252WithCarriageReturnLineFeed)
{
    // The whole text is compared in the cases above; here the bytes that a code page or a
    // text-mode stream would change.
    const ProcessResult result = run_probe_exe({});
    EXPECT_EQ(result.out.substr(0, 10), "Pilote ex\xE9");
    std::size_t line_ends = 0;
    for (std::size_t i = 0; i < result.out.size(); ++i) {
        if (result.out[i] == '\n') {
            EXPECT_EQ(result.out[i - 1], '\r') << "at " << i;
            ++line_ends;
        }
    }
    EXPECT_EQ(line_ends, 9u);
    EXPECT_EQ(result.out.find('\xC3'), std::string::npos) << "no UTF-8 anywhere";
}

TEST_F(ProbeWineTest, APortThatDoesNotOpenGivesNeutralAnswersAfterTheWait)
{
    link_com(1, "/nonexistent/device");
    const ProcessResult ead = run_probe_exe({"ead", "10"});
    EXPECT_EQ(ead.out, "0.0000000000\r\n");
    EXPECT_GE(ead.seconds, 0.7);
    EXPECT_EQ(run_probe_exe({"nea", "10"}).out, "*1000\r\n");
    EXPECT_EQ(run_probe_exe({"ea", "10"}).out, "0\r\n");
    unlink_com(1);
    const ProcessResult missing = run_probe_exe({"nead", "10"});
    EXPECT_EQ(missing.out, "\r\n");
    EXPECT_EQ(missing.exit_status, 0);
}

TEST_F(ProbeWineTest, ASilentMeterGivesZeroAfterTheWait)
{
    SimMeter silent({"--silent"});
    link_com(1, silent.path());
    const ProcessResult ead = run_probe_exe({"ead", "10"});
    EXPECT_EQ(ead.out, "0.0000000000\r\n");
    EXPECT_GE(ead.seconds, 0.7);
    EXPECT_EQ(silent.received(), "\r");
    unlink_com(1);
}

} // namespace

namespace {

class ProbeWineBadLineTest : public ProbeWineTest,
                             public testing::WithParamInterface<BadLineCase> {};

// Under Wine the bad line is a hung-up, streaming or garbage-sending pseudo-terminal behind
// COM1; the run still ends in time, and a sound meter is read right afterwards.
TEST_P(ProbeWineBadLineTest, EndsWithinTheTimeOutsAndTheNextGoodLineReadsRight)
{
    {
        SimMeter bad(GetParam().meter_options);
        link_com(1, bad.path());
        const ProcessResult result = run_probe_exe({"ead", "10"});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out.substr(result.out.size() - 2), "\r\n") << visible(result.out);
        EXPECT_NE(result.out.find('.'), std::string::npos) << visible(result.out);
        EXPECT_LT(result.seconds, 3.0);
    }
    SimMeter good;
    link_com(1, good.path());
    EXPECT_EQ(run_probe_exe({"ead", "10"}).out, "-0.8420000000\r\n");
    unlink_com(1);
}

INSTANTIATE_TEST_SUITE_P(Lines, ProbeWineBadLineTest, testing::ValuesIn(bad_line_cases()),
                         bad_line_name);

} // namespace
