// The POSIX form against pseudo-terminals whose master end the test holds.
#include "process.h"
#include "pty_pair.h"
#include "serial_link.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

class PosixLinkTest : public testing::Test {
protected:
    void SetUp() override { init_port_table(); }
    void TearDown() override { close_all_ports(); }

    void open_meter_port()
    {
        ASSERT_NE(open_port(METER_PORT, line.slave_path.c_str(), METER_SETTINGS), 0);
    }
    int link_descriptor() const { return static_cast<int>(port_table.slots[METER_PORT]); }
    termios link_terminal() const
    {
        termios terminal{};
        tcgetattr(link_descriptor(), &terminal);
        return terminal;
    }
    void wait_pending(std::int32_t expected)
    {
        const double start = monotonic_seconds();
        while (input_pending(METER_PORT) < expected && seconds_since(start) < 2.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    PtyPair line;
};

struct BuiltSettings {
    const char* what;
    LineSettings settings;
    speed_t speed;
    tcflag_t iflag;
    tcflag_t cflag_flags; // besides speed and size
};

class TerminalFromZeroTest : public PosixLinkTest,
                             public testing::WithParamInterface<BuiltSettings> {};

TEST_P(TerminalFromZeroTest, SetsExactlyTheseFlagsAndCharacters)
{
    const BuiltSettings& expected = GetParam();
    termios dirty{};
    tcgetattr(line.held_slave, &dirty);
    dirty.c_lflag |= ECHO | ICANON | ISIG;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_iflag |= IXOFF | INLCR | IGNCR;
    dirty.c_cc[VINTR] = 3;
    tcsetattr(line.held_slave, TCSANOW, &dirty);

    ASSERT_NE(open_port(METER_PORT, line.slave_path.c_str(), expected.settings), 0);
    const termios terminal = link_terminal();
    EXPECT_EQ(cfgetospeed(&terminal), expected.speed);
    EXPECT_EQ(terminal.c_iflag, expected.iflag);
    EXPECT_EQ(terminal.c_oflag, 0u);
    EXPECT_EQ(terminal.c_lflag, 0u);
    const tcflag_t checked = CREAD | CLOCAL | CSTOPB | CRTSCTS | PARENB;
    EXPECT_EQ(terminal.c_cflag & checked, expected.cflag_flags);
    const std::map<int, cc_t> set_characters{{VEOF, 4}, {VMIN, 1}, {VSTART, 17}, {VSTOP, 19}};
    for (int index = 0; index < NCCS; ++index) {
        const auto set = set_characters.find(index);
        const cc_t wanted = set != set_characters.end() ? set->second : 0;
        EXPECT_EQ(terminal.c_cc[index], wanted) << "c_cc[" << index << "]";
    }
    EXPECT_NE(fcntl(link_descriptor(), F_GETFL) & O_NONBLOCK, 0) << "left non-blocking";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TerminalFromZeroTest,
    testing::Values(
        BuiltSettings{"meter", METER_SETTINGS, B600, IGNPAR | ICRNL, CREAD | CLOCAL | CSTOPB},
        BuiltSettings{"probe", PROBE_SETTINGS, B300, IGNPAR | ICRNL | IXON | IXOFF | IXANY,
                      CREAD | CLOCAL},
        BuiltSettings{"hardware_handshake", LineSettings{9600, 0, 8, 1.0f, 2, 1024, 1024}, B9600,
                      IGNPAR | ICRNL, CREAD | CLOCAL | CRTSCTS},
        BuiltSettings{"odd_parity_not_applied", LineSettings{1200, 1, 8, 1.0f, 1, 0, 0}, B1200,
                      IGNPAR | ICRNL, CREAD | CLOCAL},
        BuiltSettings{"stop_bits_one_and_a_half", LineSettings{115200, 0, 8, 1.5f, 0, 1024, 1024},
                      B115200, IGNPAR | ICRNL, CREAD | CLOCAL | CSTOPB},
        BuiltSettings{"stop_bits_three", LineSettings{50, 0, 8, 3.0f, 0, 1024, 1024}, B50,
                      IGNPAR | ICRNL, CREAD | CLOCAL | CSTOPB}),
    [](const testing::TestParamInfo<BuiltSettings>& case_info) {
        return std::string(case_info.param.what);
    });

TEST_F(PosixLinkTest, OpeningDropsInputThatArrivedBefore)
{
    line.send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    open_meter_port();
    EXPECT_EQ(input_pending(METER_PORT), 0);
}

TEST_F(PosixLinkTest, WriteTextSendsEveryByteUnchanged)
{
    open_meter_port();
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    EXPECT_EQ(write_text(METER_PORT, all.c_str()), 255);
    EXPECT_EQ(line.receive(2000, all.size()), all);
}

TEST_F(PosixLinkTest, WriteTextOfNothingSendsNothing)
{
    open_meter_port();
    EXPECT_EQ(write_text(METER_PORT, ""), 0);
    EXPECT_EQ(write_text(METER_PORT, nullptr), 0);
    EXPECT_EQ(line.receive(50), "");
}

TEST_F(PosixLinkTest, ReadingOneByteOnASilentLineGivesNothingAfterAboutOneHundredTenMs)
{
    open_meter_port();
    char byte = 'x';
    const double start = monotonic_seconds();
    EXPECT_EQ(read_bytes(METER_PORT, &byte, 1), 0);
    const double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 0.100);
    EXPECT_LT(elapsed, 0.45);
}

TEST_F(PosixLinkTest, ReadingTakesWaitingBytesAtOnceAndCarriageReturnsArriveAsLineFeeds)
{
    open_meter_port();
    line.send("ab\rc");
    wait_pending(4);
    char bytes[8] = {};
    const double start = monotonic_seconds();
    EXPECT_EQ(read_bytes(METER_PORT, bytes, 4), 4);
    EXPECT_LT(seconds_since(start), 0.05);
    EXPECT_EQ(std::string(bytes, 4), "ab\nc");
}

TEST_F(PosixLinkTest, ReadingStopsWhenTheLineFallsSilentBetweenBytes)
{
    open_meter_port();
    // 64 bytes allow 740 ms in all: only the 100 ms between bytes can end this read.
    std::thread device([this] {
        line.send("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        line.send("cd");
    });
    char bytes[64] = {};
    const std::int32_t count = read_bytes(METER_PORT, bytes, 64);
    device.join();
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::string(bytes, 2), "ab");
}

TEST_F(PosixLinkTest, InputPendingCountsWhatHasArrivedAndDiscardDropsIt)
{
    open_meter_port();
    EXPECT_EQ(input_pending(METER_PORT), 0);
    line.send("1234567");
    wait_pending(7);
    EXPECT_EQ(input_pending(METER_PORT), 7);
    char byte = 0;
    EXPECT_EQ(read_bytes(METER_PORT, &byte, 1), 1);
    EXPECT_EQ(input_pending(METER_PORT), 6);
    discard_input(METER_PORT);
    EXPECT_EQ(input_pending(METER_PORT), 0);
}

TEST_F(PosixLinkTest, AHungUpLineGivesNothingAtOnce)
{
    open_meter_port();
    line.hang_up();
    char byte = 0;
    const double start = monotonic_seconds();
    EXPECT_EQ(read_bytes(METER_PORT, &byte, 1), 0);
    EXPECT_EQ(input_pending(METER_PORT), 0);
    EXPECT_EQ(write_text(METER_PORT, "\r"), 0);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_NE(port_was_lost(METER_PORT), 0);
}

// Kept out while the port is open: a program started meanwhile (the descriptor is not
// inherited) and a second open (the lock). A holder that is killed leaves nothing behind on the
// pseudo-terminal, which outlives it: an ordinary user's program opens it next.
TEST_F(PosixLinkTest, AnOpenPortIsTheLinksAloneWhileItsHolderLives)
{
    chmod(line.slave_path.c_str(), 0666);
    Launch plain_open;
    plain_open.argv = {"/usr/bin/setpriv",
                       "--reuid=nobody",
                       "--regid=nogroup",
                       "--clear-groups",
                       "/bin/sh",
                       "-c",
                       "exec 3<>" + line.slave_path};
    open_meter_port();
    EXPECT_NE(port_is_serial_line(METER_PORT), 0);
    char byte = 0;
    EXPECT_EQ(read_bytes(METER_PORT, &byte, 1), 0);
    EXPECT_EQ(port_was_lost(METER_PORT), 0) << "a silent line is not a lost one";
    Launch child;
    child.argv = {"/bin/sleep", "5"};
    BackgroundProcess started(child);
    // Until its exec the child holds every descriptor of ours, as any forked child does.
    const std::string program = "/proc/" + std::to_string(started.pid()) + "/exe";
    const auto sleep_program = std::filesystem::canonical("/bin/sleep");
    std::error_code ignored;
    const double start = monotonic_seconds();
    while (std::filesystem::read_symlink(program, ignored) != sleep_program &&
           seconds_since(start) < 2.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<pid_t> holders = processes_holding(line.slave_path);
    EXPECT_EQ(std::count(holders.begin(), holders.end(), started.pid()), 0);
    EXPECT_EQ(open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS), 0);
    EXPECT_EQ(errno, EWOULDBLOCK) << "said as in use";
    close_port(METER_PORT);

    int opened[2];
    ASSERT_EQ(pipe(opened), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const bool held = open_port(METER_PORT, line.slave_path.c_str(), METER_SETTINGS) != 0;
        std::_Exit(write(opened[1], held ? "y" : "n", 1) == 1 ? (pause(), 0) : 1);
    }
    char held = 0;
    EXPECT_EQ(read(opened[0], &held, 1), 1);
    EXPECT_EQ(held, 'y');
    EXPECT_EQ(open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS), 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(opened[0]);
    close(opened[1]);
    EXPECT_EQ(run_process(plain_open).exit_status, 0) << "the killed holder left the port busy";
    EXPECT_GT(open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS), 0);
}

TEST_F(PosixLinkTest, FlowControlCharactersCanBeChanged)
{
    open_meter_port();
    EXPECT_NE(set_line_state(METER_PORT, LINE_XON_CHAR, 0x141), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_XOFF_CHAR, 'B'), 0);
    const termios terminal = link_terminal();
    EXPECT_EQ(terminal.c_cc[VSTART], 'A') << "only the low byte counts";
    EXPECT_EQ(terminal.c_cc[VSTOP], 'B');
    EXPECT_EQ(set_line_state(METER_PORT, 5, 1), 0);
    EXPECT_EQ(set_line_state(METER_PORT, 0, 1), 0);
}

// Other programs' ports and consoles must not be left at the probe's 300 baud and XON/XOFF.
TEST_F(PosixLinkTest, ClosingPutsBackTheSettingsTheDeviceHad)
{
    termios before{};
    tcgetattr(line.held_slave, &before);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_lflag = ECHO | ICANON | ISIG;
    before.c_iflag = ICRNL | BRKINT;
    before.c_oflag = OPOST | ONLCR;
    before.c_cc[VMIN] = 5;
    tcsetattr(line.held_slave, TCSANOW, &before);
    tcgetattr(line.held_slave, &before);

    for (const bool all : {false, true}) {
        const std::int32_t id = open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS);
        ASSERT_GT(id, 0);
        all ? close_all_ports() : close_port(id);
        termios after{};
        tcgetattr(line.held_slave, &after);
        EXPECT_EQ(cfgetospeed(&after), B9600);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_cc[VMIN], 5);
    }
}

TEST_F(PosixLinkTest, AFileThatIsNoTerminalOpensAndClosesCleanly)
{
    const std::string dir = make_temp_dir("ohm-link");
    const std::string placeholder = dir + "/ttyS7";
    write_file(placeholder, "");
    const std::int32_t id = open_port(PORT_ANY, placeholder.c_str(), PROBE_SETTINGS);
    EXPECT_GT(id, 0);
    char byte = 0;
    EXPECT_EQ(read_bytes(id, &byte, 1), 0);
    close_port(id);
    EXPECT_EQ(port_is_open(id), 0);
    remove_tree(dir);
}

} // namespace
