// libohmbridge.so loaded by Python's ctypes, in the sandbox's private /dev: simulated meters
// behind /dev/ttyS1 (Com2) and /dev/ttyS10 (Com11); the prompt answered on a pseudo-terminal
// that is the host's controlling terminal.
#include "fake_node.h"
#include "process.h"
#include "pty_pair.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <termios.h>

namespace {

using Report = std::map<std::string, std::string>;

Report parse_report(const std::string& output)
{
    Report report;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            report[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return report;
}

Launch host_launch(const std::vector<std::string>& calls)
{
    Launch launch;
    launch.argv = {"/usr/bin/env", "python3", OHM_SOURCE_DIR "/tests/library/ctypes_host.py",
                   OHM_NATIVE_BIN "/libohmbridge.so"};
    launch.argv.insert(launch.argv.end(), calls.begin(), calls.end());
    launch.new_session = true;
    launch.timeout_ms = 60000;
    if (!std::string(OHM_PRELOAD_FIRST).empty()) {
        // Python is not built with the sanitizers the library was built with; its own
        // allocations at exit are none of our business.
        launch.environment = {"LD_PRELOAD=" OHM_PRELOAD_FIRST, "ASAN_OPTIONS=detect_leaks=0"};
    }
    return launch;
}

class BridgeNativeTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_private_dev()) << "the test main moves into tests/rig/sandbox";
        com2_ = std::make_unique<SimMeter>(std::vector<std::string>{"--reading", "DC -0.842   V"});
        com11_ = std::make_unique<SimMeter>(std::vector<std::string>{"--reading", "AC  0.445   V"});
        node2_ = std::make_unique<FakeNode>("ttyS1", com2_->path());
        node11_ = std::make_unique<FakeNode>("ttyS10", com11_->path());
    }

    // Loads the library with `terminal` as the host's controlling terminal, waits for the
    // prompt's field, types `keys`, and gives the host's report.
    Report answer_prompt(PtyPair& terminal, const std::string& keys,
                         const std::vector<std::string>& calls)
    {
        Launch launch = host_launch(calls);
        launch.controlling_terminal = terminal.slave_path;
        launch.working_dir = working_dir_;
        BackgroundProcess host(launch);
        shown_ = wait_for(terminal, "> COM1");
        terminal.send(keys);
        Report report = parse_report(host.read_rest(30000));
        shown_ += terminal.receive(200);
        exit_status_ = host.wait(5000);
        return report;
    }

    static std::string wait_for(PtyPair& terminal, const std::string& text)
    {
        std::string shown;
        const double start = monotonic_seconds();
        while (shown.find(text) == std::string::npos && seconds_since(start) < 20.0) {
            shown += terminal.receive(100);
        }
        return shown;
    }

    std::unique_ptr<SimMeter> com2_;
    std::unique_ptr<SimMeter> com11_;
    std::unique_ptr<FakeNode> node2_;
    std::unique_ptr<FakeNode> node11_;
    std::string shown_;
    std::string working_dir_;
    int exit_status_ = -1;
};

TEST_F(BridgeNativeTest, ThePromptShowsTheFreePortsAndTheAnswerChoosesTheMeter)
{
    PtyPair held; // Com5, held by another program: not listed, and not touched
    held.hold("pending");
    termios held_before{};
    tcgetattr(held.held_slave, &held_before);
    const FakeNode node5("ttyS4", held.slave_path);
    PtyPair terminal;
    termios before{};
    tcgetattr(terminal.held_slave, &before);
    const Report report = answer_prompt(terminal,
                                        "\x7f"
                                        "2\r",
                                        {"ead:0", "nead:0", "ea:0", "nea:0", "stdead:0",
                                         "eadouble:0.4", "neadouble:0", "ead:1", "titre",
                                         "sa:0:300", "rsa:3", "sbdouble:12:1", "stddetail"});
    EXPECT_NE(shown_.find("Choix du connecteur s\xC3\xA9riel"), std::string::npos) << shown_;
    EXPECT_NE(shown_.find("disponibles : |Com2:|Com11:\r\n"), std::string::npos) << shown_;
    EXPECT_EQ(report.at("loaded"), "1");
    EXPECT_EQ(report.at("ead:0"), "-0.84199999999999997");
    EXPECT_EQ(report.at("nead:0"), "DC   V");
    EXPECT_EQ(report.at("ea:0"), "-842");
    EXPECT_EQ(report.at("nea:0"), "DC   V*1000");
    EXPECT_EQ(report.at("stdead:0"), "-0.84199999999999997");
    EXPECT_EQ(report.at("eadouble:0.4"), "-0.84199999999999997");
    EXPECT_EQ(report.at("neadouble:0"), "DC   V");
    EXPECT_EQ(report.at("ead:1"), "0");
    EXPECT_EQ(report.at("titre"), "multim\\xE8tre MAS345");
    EXPECT_EQ(report.at("sa:0:300"), "44");
    EXPECT_EQ(report.at("rsa:3"), "44");
    EXPECT_EQ(report.at("sbdouble:12:1"), "-777");
    EXPECT_EQ(report.at("stddetail"), "d\\xE9tail de la dll fictive");
    EXPECT_EQ(com2_->received(), std::string(7, '\r'));
    EXPECT_EQ(com11_->received(), "");
    EXPECT_EQ(exit_status_, 0);
    termios held_after{};
    tcgetattr(held.held_slave, &held_after);
    EXPECT_EQ(cfgetospeed(&held_after), B600);
    EXPECT_EQ(held_after.c_iflag, held_before.c_iflag);
    EXPECT_EQ(held.pending_input(), 7);

    termios after{};
    tcgetattr(terminal.held_slave, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal is put back as it was";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

struct KeysCase {
    const char* what;
    std::string keys;
    const char* expected_ead;
};

class BridgeKeysTest : public BridgeNativeTest, public testing::WithParamInterface<KeysCase> {};

// The host runs in a folder that holds a file named "meter": an answer that names no device
// must not open it, relative or absolute (FILE), and nothing is written into it.
TEST_P(BridgeKeysTest, EditingKeys)
{
    PtyPair terminal;
    const std::string folder = make_temp_dir("ohm-host");
    write_file(folder + "/meter", "");
    std::string keys = GetParam().keys;
    for (const auto& [name, path] : {std::pair<std::string, std::string>{"DEVICE", com11_->path()},
                                     {"FILE", folder + "/meter"}}) {
        const auto at = keys.find(name);
        if (at != std::string::npos) {
            keys.replace(at, name.size(), path);
        }
    }
    working_dir_ = folder;
    const Report report = answer_prompt(terminal, keys, {"ead:0", "nea:0", "eb:0"});
    EXPECT_EQ(read_file(folder + "/meter"), "");
    remove_tree(folder);
    EXPECT_EQ(report.at("ead:0"), GetParam().expected_ead);
    EXPECT_EQ(report.at("eb:0"), "1") << "loaded whatever the answer";
    if (std::string(GetParam().expected_ead) == "0") {
        EXPECT_EQ(report.at("nea:0"), "*1000");
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, BridgeKeysTest,
                         testing::Values(KeysCase{"typing_appends", "1\r", "0.44500000000000001"},
                                         KeysCase{"lower_case_name",
                                                  "\x7f\x7f\x7f\x7f"
                                                  "com11\n",
                                                  "0.44500000000000001"},
                                         KeysCase{"device_path",
                                                  "\x08\x08\x08\x08"
                                                  "DEVICE\r",
                                                  "0.44500000000000001"},
                                         KeysCase{"escape_cancels",
                                                  "\x7f"
                                                  "2\x1b",
                                                  "0"},
                                         KeysCase{"cursor_keys_are_not_escape",
                                                  "\x1b[D\x1bOH\x1b[3~"
                                                  "1\r",
                                                  "0.44500000000000001"},
                                         KeysCase{"emptied_and_confirmed", "\x7f\x7f\x7f\x7f\x7f\r",
                                                  "0"},
                                         KeysCase{"port_zero",
                                                  "\x7f"
                                                  "0\r",
                                                  "0"},
                                         KeysCase{"leading_zero",
                                                  "\x7f"
                                                  "011\r",
                                                  "0"},
                                         KeysCase{"relative_name",
                                                  "\x7f\x7f\x7f\x7f"
                                                  "meter\r",
                                                  "0"},
                                         KeysCase{"path_of_a_file",
                                                  "\x7f\x7f\x7f\x7f"
                                                  "FILE\r",
                                                  "0"}),
                         [](const testing::TestParamInfo<KeysCase>& case_info) {
                             return std::string(case_info.param.what);
                         });

struct EndingCase {
    const char* what;
    const char* keys; // typed at the prompt; the terminal sends Ctrl-C as SIGINT
    int signal;       // sent to the host instead, when not 0
};

class BridgeEndedAtThePromptTest : public BridgeNativeTest,
                                   public testing::WithParamInterface<EndingCase> {};

// The host ends while the prompt has the terminal without echo: the user's terminal is put
// back as it was all the same.
TEST_P(BridgeEndedAtThePromptTest, LeavesTheTerminalAsItWas)
{
    PtyPair terminal;
    termios before{};
    tcgetattr(terminal.held_slave, &before);
    before.c_lflag |= ECHO | ICANON | ISIG;
    tcsetattr(terminal.held_slave, TCSANOW, &before);
    Launch launch = host_launch({"ead:0"});
    launch.controlling_terminal = terminal.slave_path;
    BackgroundProcess host(launch);
    wait_for(terminal, "> COM1");
    termios during{};
    tcgetattr(terminal.held_slave, &during);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);
    if (GetParam().signal != 0) {
        kill(host.pid(), GetParam().signal);
    } else {
        terminal.send(GetParam().keys);
    }
    host.wait(10000);
    EXPECT_FALSE(host.running());
    termios after{};
    tcgetattr(terminal.held_slave, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(com2_->received() + com11_->received(), "") << "no port was opened";
}

INSTANTIATE_TEST_SUITE_P(Endings, BridgeEndedAtThePromptTest,
                         testing::Values(EndingCase{"ctrl_c", "2\x03", 0},
                                         EndingCase{"sigterm", "", SIGTERM}),
                         [](const testing::TestParamInfo<EndingCase>& case_info) {
                             return std::string(case_info.param.what);
                         });

TEST_F(BridgeNativeTest, WithoutAControllingTerminalTheLibraryLoadsWithoutAPort)
{
    const ProcessResult result = run_process(host_launch({"ead:0", "nea:0", "stdtitre"}));
    const Report report = parse_report(result.out);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(report.at("loaded"), "1");
    EXPECT_EQ(report.at("ead:0"), "0");
    EXPECT_EQ(report.at("nea:0"), "*1000");
    EXPECT_EQ(report.at("stdtitre"), "titre dll");
    EXPECT_EQ(com2_->received() + com11_->received(), "");
}

} // namespace

namespace {

// The library's meter line fails while the host is running: the test acts while the host
// sleeps between its calls.
class BridgeLostLineTest : public BridgeNativeTest {
protected:
    void load_with_port_com2(const std::vector<std::string>& calls)
    {
        Launch launch = host_launch(calls);
        launch.controlling_terminal = terminal_.slave_path;
        host_ = std::make_unique<BackgroundProcess>(launch);
        wait_for(terminal_, "> COM1");
        terminal_.send("\x7f"
                       "2\r");
    }

    // The host's report up to the line that starts with `key`.
    Report read_until(const std::string& key)
    {
        std::string output;
        for (;;) {
            const std::string line = host_->read_line(30000);
            output += line + "\n";
            if (line.empty() || line.rfind(key, 0) == 0) {
                return parse_report(output);
            }
        }
    }

    PtyPair terminal_;
    std::unique_ptr<BackgroundProcess> host_;
};

TEST_F(BridgeLostLineTest, AnUnpluggedCableGivesNeutralAnswersUntilItIsBack)
{
    load_with_port_com2({"ead:0", "sleep:300", "ead:0", "nea:0", "sleep:300", "ead:0", "nead:0"});
    Report report = read_until("sleep:300");
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997");
    com2_->toggle_cable();
    report = read_until("sleep:300");
    EXPECT_EQ(report["ead:0"], "0");
    EXPECT_EQ(report["nea:0"], "*1000");
    com2_->toggle_cable();
    report = parse_report(host_->read_rest(30000));
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997")
        << "the first reading once the cable is back";
    EXPECT_EQ(report["nead:0"], "DC   V");
    EXPECT_EQ(host_->wait(5000), 0);
}

TEST_F(BridgeLostLineTest, APortThatVanishesBetweenCallsGivesNeutralAnswersAtOnce)
{
    load_with_port_com2({"ead:0", "sleep:300", "ead:0", "nead:0", "ea:0", "stdtitre", "unload"});
    Report report = read_until("sleep:300");
    EXPECT_EQ(report["ead:0"], "-0.84199999999999997");
    node2_.reset();
    com2_->stop(); // the adapter is pulled out: the line hangs up
    report = parse_report(host_->read_rest(30000));
    EXPECT_EQ(report["ead:0"], "0");
    EXPECT_LT(std::stod(report["ead:0.seconds"]), 1.5);
    EXPECT_EQ(report["nead:0"], "");
    EXPECT_EQ(report["ea:0"], "0");
    EXPECT_EQ(report["stdtitre"], "titre dll");
    EXPECT_EQ(report["unload"], "1");
    EXPECT_EQ(host_->wait(5000), 0);
}

TEST_F(BridgeLostLineTest, UnloadingReleasesTheMeterPort)
{
    load_with_port_com2({"ead:0", "sleep:300", "unload", "sleep:300"});
    read_until("sleep:300");
    const std::vector<pid_t> while_loaded = processes_holding(com2_->path());
    EXPECT_EQ(std::count(while_loaded.begin(), while_loaded.end(), host_->pid()), 1);
    read_until("sleep:300");
    const std::vector<pid_t> after = processes_holding(com2_->path());
    EXPECT_EQ(std::count(after.begin(), after.end(), host_->pid()), 0);
    EXPECT_EQ(host_->wait(5000), 0);
}

} // namespace
