// ohmbridge.dll (64-bit) under Wine and Xvfb, loaded by bridge_host.exe; xdotool answers the
// port prompt. Started by tests/rig/wine-session with a display.
#include "line_log.h"
#include "process.h"
#include "sim_meter.h"
#include "wine_session.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Report = std::map<std::string, std::string>;

const char* const PROMPT_TITLE_PATTERN = "^Choix du connecteur s";

std::string xdotool_output(const std::vector<std::string>& arguments)
{
    Launch launch;
    launch.argv = {"/usr/bin/xdotool"};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.timeout_ms = 10000;
    return run_process(launch).out;
}

Report parse_report(const std::string& output)
{
    Report report;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // the host writes in text mode
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            report[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return report;
}

// One load of the library by the host, with the prompt answered by keys.
class HostRun {
public:
    HostRun(std::vector<std::string> options, const std::vector<std::string>& calls)
        : log_(session_dir() + "/bridge.log")
    {
        remove(log_.c_str());
        std::vector<std::string> arguments{windows_binary("bridge_host.exe")};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.push_back(windows_binary("ohmbridge.dll"));
        arguments.insert(arguments.end(), calls.begin(), calls.end());
        Launch launch = wine_launch(arguments, {"OHM_LINE_LOG=" + log_});
        host_ = std::make_unique<BackgroundProcess>(launch);
    }

    // The prompt's X window, once it shows; empty if it never does.
    std::string wait_for_prompt()
    {
        const double start = monotonic_seconds();
        while (seconds_since(start) < 30.0 && host_->running()) {
            std::string found =
                xdotool_output({"search", "--onlyvisible", "--name", PROMPT_TITLE_PATTERN});
            if (!found.empty()) {
                window_ = found.substr(0, found.find('\n'));
                return window_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::string();
    }

    void screenshot(const std::string& name)
    {
        const char* dir = std::getenv("OHM_ARTEFACT_DIR");
        Launch launch;
        launch.argv = {"/usr/bin/import", "-window", "root",
                       std::string(dir != nullptr ? dir : "/tmp") + "/" + name};
        run_process(launch);
    }

    // Keys as xdotool names them ("BackSpace", "Return", "Escape"), or text to type.
    void press(const std::vector<std::string>& keys)
    {
        xdotool_output({"windowfocus", "--sync", window_});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<std::string> arguments{"key", "--delay", "30"};
        arguments.insert(arguments.end(), keys.begin(), keys.end());
        xdotool_output(arguments);
    }
    void type(const std::string& text)
    {
        xdotool_output({"windowfocus", "--sync", window_});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        xdotool_output({"type", "--delay", "30", text});
    }

    // Output lines up to and including the one with this key.
    Report read_until(const std::string& key)
    {
        std::string output;
        for (;;) {
            const std::string line = host_->read_line(30000);
            if (line.empty() && !host_->running()) {
                break;
            }
            output += line + "\n";
            if (line.rfind(key + "=", 0) == 0 || line.rfind(key + "\r", 0) == 0) {
                break;
            }
        }
        return parse_report(output);
    }

    Report finish()
    {
        Report report = parse_report(host_->read_rest(60000));
        exit_status_ = host_->wait(10000);
        return report;
    }

    int exit_status() const { return exit_status_; }
    std::string log() const { return read_file(log_); }

private:
    std::string log_;
    std::string window_;
    std::unique_ptr<BackgroundProcess> host_;
    int exit_status_ = -1;
};

std::vector<pid_t> holders_other_than(const SimMeter& meter)
{
    std::vector<pid_t> holders = processes_holding(meter.path());
    holders.erase(std::remove(holders.begin(), holders.end(), meter.pid()), holders.end());
    return holders;
}

class BridgeWineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the session needs OHM_WINE_DISPLAY=1";
        for (int port = 1; port <= 20; ++port) {
            unlink_com(port);
        }
    }

    // A meter behind COMn that answers only while DTR is on and RTS off.
    std::unique_ptr<SimMeter> meter_on(int port, const std::string& reading)
    {
        auto meter = std::make_unique<SimMeter>(std::vector<std::string>{"--reading", reading},
                                                session_dir());
        link_com(port, meter->path());
        return meter;
    }
};

TEST_F(BridgeWineTest, ThePromptListsTheFreePortsAndOpensTheChosenOneForTheMeter)
{
    const auto com2 = meter_on(2, "DC -0.842   V");
    const auto com11 = meter_on(11, "AC  0.445   V");
    link_com(5, "/nonexistent/device");
    link_com(6, "/dev/null");
    HostRun run({"--linger", "1500", "--reopen", "COM2"},
                {"sleep:1500", "ead:0", "nead:0", "ea:0", "nea:0", "stdead:0", "stdnead:0",
                 "stdea:0", "stdnea:0", "eadouble:0.4", "neadouble:-0.4", "stdeadouble:0",
                 "stdneadouble:256", "ead:1", "nead:3", "nea:3", "eadouble:0.5"});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    EXPECT_TRUE(holders_other_than(*com2).empty()) << "the probe closes every port it opened";
    EXPECT_TRUE(holders_other_than(*com11).empty());
    run.screenshot("prompt.png");
    run.press({"BackSpace"});
    run.type("2");
    run.press({"Return"});

    Report report = run.read_until("sleep:1500");
    EXPECT_EQ(report["prompt.seen"], "1");
    EXPECT_EQ(report["prompt.title"], "Choix du connecteur s\\xE9riel");
    EXPECT_EQ(report["control.0.text"], "disponibles : |Com2:|Com11:");
    EXPECT_EQ(report["control.10.text"], "COM1");
    EXPECT_EQ(report["field.selection"], "4,4") << "caret after the default, nothing selected";
    EXPECT_EQ(report["field.focused"], "1");
    EXPECT_FALSE(holders_other_than(*com2).empty()) << "the meter port stays open";
    EXPECT_TRUE(holders_other_than(*com11).empty());

    report = run.read_until("unloaded");
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997");
    EXPECT_EQ(report["nead:0"], "DC   V");
    EXPECT_EQ(report["ea:0"], "-842");
    EXPECT_EQ(report["nea:0"], "DC   V*1000");
    EXPECT_EQ(report["stdead:0"], "-0.84199999999999997");
    EXPECT_EQ(report["stdnead:0"], "DC   V");
    EXPECT_EQ(report["stdea:0"], "-842");
    EXPECT_EQ(report["stdnea:0"], "DC   V*1000");
    EXPECT_EQ(report["eadouble:0.4"], "-0.84199999999999997");
    EXPECT_EQ(report["neadouble:-0.4"], "DC   V");
    EXPECT_EQ(report["stdeadouble:0"], "-0.84199999999999997");
    EXPECT_EQ(report["stdneadouble:256"], "DC   V");
    EXPECT_EQ(report["ead:1"], "0");
    EXPECT_EQ(report["nead:3"], "");
    EXPECT_EQ(report["nea:3"], "");
    EXPECT_EQ(report["eadouble:0.5"], "0");
    EXPECT_EQ(com2->received(), std::string(12, '\r')) << "one request per reading on channel 0";
    EXPECT_EQ(com11->received(), "");
    EXPECT_TRUE(holders_other_than(*com2).empty()) << "unloading closes the meter port";

    report = run.finish();
    EXPECT_EQ(report["reopen"], "ok");
    EXPECT_EQ(run.exit_status(), 0);
    const std::string log = run.log();
    const std::string probe = "tcsetattr speed=300 csize=8 cstopb=0 parenb=0 crtscts=0 ixon=1";
    // Software flow control is kept as the driver reports it; after the probe it is on.
    const std::string meter = "tcsetattr speed=600 csize=7 cstopb=1 parenb=0 crtscts=0 ";
    const std::string com2_pty = "pts=" + std::to_string(pts_number(com2->path())) + " ";
    const std::string com11_pty = "pts=" + std::to_string(pts_number(com11->path())) + " ";
    EXPECT_NE(log.find(com2_pty + probe), std::string::npos) << log;
    EXPECT_NE(log.find(com11_pty + probe), std::string::npos) << log;
    EXPECT_NE(log.find(com2_pty + meter), std::string::npos) << log;
    EXPECT_EQ(log.find(com11_pty + meter), std::string::npos) << log;
}

TEST_F(BridgeWineTest, ThePromptWindowAndItsControls)
{
    HostRun run({}, {});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.press({"Escape"});
    Report report = run.finish();
    EXPECT_EQ(report["control.0.text"], "disponibles : ") << "no port free";
    EXPECT_EQ(report["screen"], "1024,768");
    EXPECT_EQ(report["prompt.place"], "362,319,300,130") << "centred, 300 by 130";
    // WS_VISIBLE | WS_CAPTION, no system menu, sizing border or boxes (Wine adds
    // WS_CLIPSIBLINGS to every top-level window).
    EXPECT_EQ(std::stoul(report["prompt.style"], nullptr, 16) & ~0x04000000ul, 0x10C00000ul);
    EXPECT_EQ(report["control.0.class"], "Static");
    EXPECT_EQ(report["control.0.place"], "10,10,280,22");
    EXPECT_EQ(report["control.0.style"], "5000000B") << "WS_CHILD WS_VISIBLE SS_SIMPLE";
    EXPECT_EQ(report["control.10.class"], "Edit");
    EXPECT_EQ(report["control.10.place"], "10,32,275,21");
    EXPECT_EQ(report["control.10.style"], "50010080")
        << "WS_CHILD WS_VISIBLE WS_TABSTOP ES_AUTOHSCROLL";
    EXPECT_EQ(report["control.10.exstyle"], "00000200") << "WS_EX_CLIENTEDGE";
    EXPECT_EQ(report["control.1000.class"], "Button");
    EXPECT_EQ(report["control.1000.text"], "OK");
    EXPECT_EQ(report["control.1000.place"], "110,67,80,25");
    EXPECT_EQ(report["control.1000.style"], "50010001")
        << "WS_CHILD WS_VISIBLE WS_TABSTOP BS_DEFPUSHBUTTON";
    for (const char* control : {"0", "10", "1000"}) {
        EXPECT_EQ(report[std::string("control.") + control + ".stock_font"], "1") << control;
    }
}

struct AnswerCase {
    const char* what;
    std::vector<std::string> keys; // "type:TEXT" types, anything else is a key name
    const char* expected_ead;      // with COM1 and COM11 meters behind
};

class BridgeAnswerTest : public BridgeWineTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(BridgeAnswerTest, TheAnswerAsTypedChoosesThePort)
{
    const auto com1 = meter_on(1, "DC -0.842   V");
    const auto com11 = meter_on(11, "AC  0.445   V");
    HostRun run({}, {"ead:0", "nea:0", "titre", "eb:0", "sa:0:300", "rsa:0"});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    for (const std::string& key : GetParam().keys) {
        if (key.rfind("type:", 0) == 0) {
            run.type(key.substr(5));
        } else {
            run.press({key});
        }
    }
    Report report = run.finish();
    EXPECT_EQ(report["loaded"], "1") << "the library stays loaded whatever the answer";
    EXPECT_EQ(report["ead:0"], GetParam().expected_ead);
    EXPECT_EQ(report["titre"], "multim\\xE8tre MAS345");
    EXPECT_EQ(report["eb:0"], "1");
    EXPECT_EQ(report["sa:0:300"], "44");
    EXPECT_EQ(report["rsa:0"], "44");
    if (std::string(GetParam().expected_ead) == "0") {
        EXPECT_EQ(report["nea:0"], "*1000");
        EXPECT_EQ(com1->received() + com11->received(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BridgeAnswerTest,
    testing::Values(AnswerCase{"default_confirmed", {"Return"}, "-0.84199999999999997"},
                    AnswerCase{"typing_appends", {"type:1", "Return"}, "0.44500000000000001"},
                    AnswerCase{"lower_case_port",
                               {"BackSpace", "BackSpace", "BackSpace", "BackSpace", "type:com11",
                                "Return"},
                               "0.44500000000000001"},
                    AnswerCase{"escape_with_text", {"Escape"}, "0"},
                    AnswerCase{"emptied_and_confirmed",
                               {"BackSpace", "BackSpace", "BackSpace", "BackSpace", "Return"},
                               "0"},
                    AnswerCase{"no_such_port", {"type:7", "Return"}, "0"}),
    [](const testing::TestParamInfo<AnswerCase>& case_info) {
        return std::string(case_info.param.what);
    });

TEST_F(BridgeWineTest, StoredOutputsAndTextsAcrossCalls)
{
    HostRun run({}, {"sa:0:300",
                     "rsa:5",
                     "stdsa:1:7",
                     "stdrsa:0",
                     "sad:5:2.5",
                     "rsad:0",
                     "stdsad:0:-1.25",
                     "stdrsad:9",
                     "sb:3:1",
                     "rsb:3",
                     "rsb:4",
                     "stdsb:259:300",
                     "stdrsb:3",
                     "sb:10:1",
                     "rsb:10",
                     "sbdouble:2.5:6.5",
                     "rsbdouble:3",
                     "stdsbdouble:-0.5:1",
                     "stdrsbdouble:2.4",
                     "sadouble:99:0.125",
                     "rsadouble:0",
                     "stdsadouble:0:8",
                     "stdrsadouble:1",
                     "eb:0",
                     "eb:1",
                     "stdeb:256",
                     "ebdouble:0.4",
                     "ebdouble:0.5",
                     "stdebdouble:-0.4",
                     "titre",
                     "detail",
                     "stdtitre",
                     "stddetail",
                     "neb:0",
                     "nsa:0",
                     "nsad:0",
                     "nsb:0",
                     "stdneb:0",
                     "nebdouble:0",
                     "nsadouble:0",
                     "nsbdouble:0",
                     "stdnsbdouble:0",
                     "keep-text",
                     "ead:0"});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.press({"Escape"});
    Report report = run.finish();
    const std::map<std::string, std::string> expected{
        {"sa:0:300", "44"},
        {"rsa:5", "44"},
        {"stdsa:1:7", "7"},
        {"stdrsa:0", "7"},
        {"sad:5:2.5", "2.5"},
        {"rsad:0", "2.5"},
        {"stdsad:0:-1.25", "-1.25"},
        {"stdrsad:9", "-1.25"},
        {"sb:3:1", "0"},
        {"rsb:3", "1"},
        {"rsb:4", "0"},
        {"stdsb:259:300", "0"},
        {"stdrsb:3", "44"},
        {"sb:10:1", "-777"},
        {"rsb:10", "0"},
        {"sbdouble:2.5:6.5", "0"},
        {"rsbdouble:3", "7"},
        {"stdsbdouble:-0.5:1", "-777"},
        {"stdrsbdouble:2.4", "0"},
        {"sadouble:99:0.125", "0.125"},
        {"rsadouble:0", "0.125"},
        {"stdsadouble:0:8", "8"},
        {"stdrsadouble:1", "8"},
        {"eb:0", "1"},
        {"eb:1", "0"},
        {"stdeb:256", "1"},
        {"ebdouble:0.4", "1"},
        {"ebdouble:0.5", "0"},
        {"stdebdouble:-0.4", "1"},
        {"titre", "multim\\xE8tre MAS345"},
        {"detail", "Pilote pour multim\\xE8tre MASTECH MAS-345"},
        {"stdtitre", "titre dll"},
        {"stddetail", "d\\xE9tail de la dll fictive"},
        {"neb:0", ""},
        {"nsa:0", ""},
        {"nsad:0", ""},
        {"nsb:0", ""},
        {"stdneb:0", ""},
        {"nebdouble:0", ""},
        {"nsadouble:0", ""},
        {"nsbdouble:0", ""},
        {"stdnsbdouble:0", ""},
        {"keep-text", "kept"},
        {"ead:0", "0"},
    };
    for (const auto& [call, answer] : expected) {
        EXPECT_EQ(report[call], answer) << call;
    }
}

TEST_F(BridgeWineTest, TheHostsWindowsAreDisabledWhileThePromptShows)
{
    HostRun run({"--host-windows"}, {});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.screenshot("prompt-over-host.png");
    run.press({"Escape"});
    Report report = run.finish();
    EXPECT_EQ(report["prompt.owner"], "host") << "the foreground window of the process";
    EXPECT_EQ(report["host.disabled_while_prompting"], "1");
    EXPECT_EQ(report["host.enabled_after"], "1");
    EXPECT_EQ(report["host_second_window.disabled_while_prompting"], "1");
    EXPECT_EQ(report["host_second_window.enabled_after"], "1");
    EXPECT_EQ(report["host_disabled_window.enabled_while_prompting"], "0");
    EXPECT_EQ(report["host_disabled_window.enabled_after"], "0") << "it was disabled before";
}

TEST_F(BridgeWineTest, AQuitMessageEndsThePromptAndReachesTheHostsLoop)
{
    const auto com1 = meter_on(1, "DC -0.842   V");
    HostRun run({"--host-windows", "--post-quit"}, {"ead:0"});
    Report report = run.finish();
    EXPECT_EQ(report["prompt.seen"], "1");
    EXPECT_EQ(report["loaded"], "1");
    EXPECT_EQ(report["quit.seen"], "1");
    EXPECT_EQ(report["quit.code"], "77");
    EXPECT_EQ(report["prompt.gone"], "1");
    EXPECT_EQ(report["host.enabled_after"], "1");
    EXPECT_EQ(report["host_second_window.enabled_after"], "1");
    EXPECT_EQ(report["host_disabled_window.enabled_after"], "0");
    EXPECT_EQ(report["ead:0"], "0") << "no answer, no port";
    EXPECT_EQ(com1->received(), "");
}

// Only a real quit message belongs to the host's loop: a message loop that fails ends the
// prompt with no answer and posts nothing.
TEST_F(BridgeWineTest, AFailingMessageLoopEndsThePromptWithoutPostingAQuit)
{
    const auto com1 = meter_on(1, "DC -0.842   V");
    HostRun run({"--host-windows", "--fail-message-loop"}, {"ead:0"});
    Report report = run.finish();
    EXPECT_EQ(report["message_loop.patched"], "1");
    EXPECT_NE(report["message_loop.failed_calls"], "0");
    EXPECT_EQ(report["loaded"], "1");
    EXPECT_EQ(report["quit.seen"], "0");
    EXPECT_EQ(report["prompt.gone"], "1");
    EXPECT_EQ(report["host.enabled_after"], "1");
    EXPECT_EQ(report["host_second_window.enabled_after"], "1");
    EXPECT_EQ(report["ead:0"], "0") << "no answer, no port";
    EXPECT_EQ(com1->received(), "");
}

// Each of the 54 exports through a pointer of its declared type, the stack pointer compared
// around the call in assembly (32-bit only: 64-bit Windows leaves the arguments to the caller).
TEST_F(BridgeWineTest, EveryExportAnswersAsTheCatalogueAndRemovesItsOwnArguments)
{
    const char* arch = std::getenv("OHM_WINDOWS_ARCH");
    if (arch == nullptr || std::string(arch) != "x86") {
        GTEST_SKIP() << "64-bit Windows has no callee-removed arguments";
    }
    const auto com1 = meter_on(1, "DC -0.842   V");
    HostRun run({"--check-stack"}, {});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.press({"Return"});
    Report report = run.finish();
    const std::string reading = "-0.84199999999999997";
    const std::map<std::string, std::string> expected{
        {"ea", "-842"},
        {"stdea", "-842"},
        {"ead", reading},
        {"stdead", reading},
        {"eb", "1"},
        {"stdeb", "0"},
        {"nea", "DC   V*1000"},
        {"stdnea", "DC   V*1000"},
        {"nead", "DC   V"},
        {"stdnead", ""},
        {"neb", ""},
        {"stdneb", ""},
        {"nsa", ""},
        {"stdnsa", ""},
        {"nsad", ""},
        {"stdnsad", ""},
        {"nsb", ""},
        {"stdnsb", ""},
        {"sa", "44"},
        {"rsa", "44"},
        {"stdsa", "7"},
        {"stdrsa", "7"},
        {"sad", "2.5"},
        {"rsad", "2.5"},
        {"stdsad", "-1.25"},
        {"stdrsad", "-1.25"},
        {"sb", "0"},
        {"rsb", "1"},
        {"stdsb", "0"},
        {"stdrsb", "44"},
        {"titre", "multim\\xE8tre MAS345"},
        {"detail", "Pilote pour multim\\xE8tre MASTECH MAS-345"},
        {"stdtitre", "titre dll"},
        {"stddetail", "d\\xE9tail de la dll fictive"},
        {"eadouble", reading},
        {"stdeadouble", "0"},
        {"ebdouble", "0"},
        {"stdebdouble", "1"},
        {"neadouble", "DC   V"},
        {"stdneadouble", "DC   V"},
        {"nebdouble", ""},
        {"stdnebdouble", ""},
        {"nsadouble", ""},
        {"stdnsadouble", ""},
        {"nsbdouble", ""},
        {"stdnsbdouble", ""},
        {"sadouble", "0.125"},
        {"rsadouble", "0.125"},
        {"stdsadouble", "8"},
        {"stdrsadouble", "8"},
        {"sbdouble", "0"},
        {"rsbdouble", "7"},
        {"stdsbdouble", "-777"},
        {"stdrsbdouble", "0"},
    };
    ASSERT_EQ(expected.size(), 54u);
    EXPECT_EQ(report["stack.checked"], "54");
    for (const auto& [name, answer] : expected) {
        EXPECT_EQ(report["checked." + name], answer) << name;
        EXPECT_EQ(report["checked." + name + ".stack"], "0") << name << ": bytes left or taken";
    }
    EXPECT_EQ(com1->received(), std::string(10, '\r'));
}

} // namespace

namespace {

TEST_F(BridgeWineTest, AnUnpluggedCableGivesNeutralAnswersUntilItIsBack)
{
    const auto com1 = meter_on(1, "DC -0.842   V");
    HostRun run({}, {"ead:0", "sleep:300", "ead:0", "nea:0", "sleep:301", "ead:0", "nead:0"});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.press({"Return"});
    Report report = run.read_until("sleep:300");
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997");
    com1->toggle_cable();
    report = run.read_until("sleep:301");
    EXPECT_EQ(report["ead:0"], "0");
    EXPECT_EQ(report["nea:0"], "*1000");
    com1->toggle_cable();
    report = run.finish();
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997")
        << "the first reading once the cable is back";
    EXPECT_EQ(report["nead:0"], "DC   V");
    EXPECT_EQ(run.exit_status(), 0);
}

TEST_F(BridgeWineTest, APortThatVanishesBetweenCallsGivesNeutralAnswers)
{
    auto com1 = meter_on(1, "DC -0.842   V");
    HostRun run({}, {"ead:0", "sleep:300", "ead:0", "nead:0", "ea:0", "stdtitre"});
    ASSERT_FALSE(run.wait_for_prompt().empty());
    run.press({"Return"});
    Report report = run.read_until("sleep:300");
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997");
    com1.reset(); // the adapter is pulled out: the line hangs up
    const double start = monotonic_seconds();
    report = run.finish();
    EXPECT_LT(seconds_since(start), 6.0);
    EXPECT_EQ(report["ead:0"], "0");
    EXPECT_EQ(report["nead:0"], "");
    EXPECT_EQ(report["ea:0"], "0");
    EXPECT_EQ(report["stdtitre"], "titre dll");
    EXPECT_EQ(run.exit_status(), 0);
}

} // namespace
