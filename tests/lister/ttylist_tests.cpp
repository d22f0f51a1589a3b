// ttylist in the sandbox's private /dev: placeholder nodes bound to pseudo-terminals, a
// placeholder that opens but is no terminal, and /dev/ttyS21 and /dev/ttyUSB21, which would
// open too but must never be tried.
#include "fake_node.h"
#include "line_log.h"
#include "process.h"
#include "pty_pair.h"
#include "test_paths.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string SERIAL_HEADING = "ports_s\xE9rie_normaux:\n";
const std::string USB_HEADING = "convertisseurs_usb->s\xE9rie\n";

Launch ttylist_launch(std::vector<std::string> environment = {})
{
    Launch launch;
    launch.argv = {OHM_NATIVE_BIN "/ttylist"};
    launch.environment = std::move(environment);
    launch.timeout_ms = 20000;
    return launch;
}

termios terminal_of(const PtyPair& line)
{
    termios settings{};
    tcgetattr(line.held_slave, &settings);
    return settings;
}

void expect_same_settings(const termios& after, const termios& before)
{
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.c_cc), NCCS),
              std::string(reinterpret_cast<const char*>(before.c_cc), NCCS));
}

class TtylistTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_private_dev()) << "the test main moves into tests/rig/sandbox";
    }
};

TEST_F(TtylistTest, ListsWhatOpensUnderTheTwoHeadingsAndLeavesEveryDeviceAsItWas)
{
    PtyPair s3;
    PtyPair s20;
    PtyPair usb0;
    PtyPair beyond;
    PtyPair held; // another program's port: busy, so skipped and not touched
    held.hold("pending");
    const termios held_before = terminal_of(held);
    termios before{};
    tcgetattr(s3.held_slave, &before);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_lflag = ICANON | ECHO | ISIG;
    before.c_iflag = ICRNL;
    tcsetattr(s3.held_slave, TCSANOW, &before);
    before = terminal_of(s3);

    const FakeNode node_s3("ttyS3", s3.slave_path);
    const FakeNode node_s20("ttyS20", s20.slave_path);
    const FakeNode node_s21("ttyS21", beyond.slave_path);
    const FakeNode node_s5("ttyS5", held.slave_path);
    const FakeNode node_usb0("ttyUSB0", usb0.slave_path);
    const FakeNode node_usb5("ttyUSB5", "");
    const FakeNode node_usb21("ttyUSB21", "");
    const std::string dir = make_temp_dir("ohm-ttylist");

    const ProcessResult result =
        run_process(ttylist_launch({"LD_PRELOAD=" OHM_PRELOAD_FIRST OHM_LINE_SHIM,
                                    "OHM_LINE_LOG=" + dir + "/log", "OHM_LINE_STATE_DIR=" + dir}));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(visible(result.out), visible(SERIAL_HEADING + "/dev/ttyS3\n/dev/ttyS20\n" +
                                           USB_HEADING + "/dev/ttyUSB0\n/dev/ttyUSB5\n"));
    EXPECT_EQ(result.err, "");
    expect_same_settings(terminal_of(s3), before);
    expect_same_settings(terminal_of(held), held_before);
    EXPECT_EQ(held.pending_input(), 7);

    const std::string log = read_file(dir + "/log");
    const std::set<int> configured = configured_ptys(log);
    EXPECT_EQ(configured.count(pts_number(beyond.slave_path)), 0u) << "/dev/ttyS21 was tried";
    EXPECT_NE(log.find("pts=" + std::to_string(pts_number(s20.slave_path)) +
                       " tcsetattr speed=300 csize=8 cstopb=0 parenb=0 crtscts=0 ixon=1 ixoff=1"),
              std::string::npos)
        << log;
    remove_tree(dir);
}

TEST_F(TtylistTest, WithNothingToOpenPrintsTheHeadingsWaitsAndExitsWithZero)
{
    const ProcessResult result = run_process(ttylist_launch());
    EXPECT_EQ(result.out, SERIAL_HEADING + USB_HEADING);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_GE(result.seconds, 3.0);
    EXPECT_LT(result.seconds, 10.0);
}

// Each line shows as soon as its device was probed, and the device is closed and has its own
// settings back at once, not when the program ends.
TEST_F(TtylistTest, EachLineReachesAPipeAsSoonAsItsDeviceWasProbed)
{
    PtyPair s0;
    termios before = terminal_of(s0);
    cfsetospeed(&before, B4800);
    cfsetispeed(&before, B4800);
    tcsetattr(s0.held_slave, TCSANOW, &before);
    before = terminal_of(s0);
    const FakeNode node("ttyS0", s0.slave_path);
    BackgroundProcess lister(ttylist_launch());
    const double start = monotonic_seconds();
    for (const std::string expected :
         {"ports_s\xE9rie_normaux:", "/dev/ttyS0", "convertisseurs_usb->s\xE9rie"}) {
        EXPECT_EQ(lister.read_line(5000), expected);
        EXPECT_LT(seconds_since(start), 2.0) << "before the 3 s pause ends";
    }
    ASSERT_TRUE(lister.running());
    expect_same_settings(terminal_of(s0), before);
    const std::vector<pid_t> holders = processes_holding(s0.slave_path);
    EXPECT_EQ(std::count(holders.begin(), holders.end(), lister.pid()), 0);
    EXPECT_EQ(lister.wait(10000), 0);
    EXPECT_GE(seconds_since(start), 3.0);
}

TEST_F(TtylistTest, AStandardInputTerminalStopsEchoingDuringTheRunAndIsPutBack)
{
    PtyPair keyboard;
    termios before{};
    tcgetattr(keyboard.held_slave, &before);
    before.c_lflag |= ICANON | ECHO;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 5;
    tcsetattr(keyboard.held_slave, TCSANOW, &before);
    before = terminal_of(keyboard);

    Launch launch = ttylist_launch();
    launch.stdin_fd = keyboard.held_slave;
    BackgroundProcess lister(launch);
    lister.read_line(5000);
    lister.read_line(5000); // both headings: the pause has begun
    const termios during = terminal_of(keyboard);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(during.c_cc[VMIN], 0);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    EXPECT_EQ(lister.wait(10000), 0);
    expect_same_settings(terminal_of(keyboard), before);
}

} // namespace
