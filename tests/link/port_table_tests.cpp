// The port table: numbered slots, made identifiers, replacement and closing. Devices are
// pseudo-terminals, so these run on the POSIX form; the Windows form shares the table.
#include "pty_pair.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class PortTableTest : public testing::Test {
protected:
    void SetUp() override { init_port_table(); }
    void TearDown() override { close_all_ports(); }

    static bool descriptor_open(std::int32_t handle)
    {
        return fcntl(static_cast<int>(handle), F_GETFD) != -1;
    }

    PtyPair first;
    PtyPair second;
};

TEST_F(PortTableTest, OpeningNumberTwentyGrowsTheSlotsToThirtySix)
{
    EXPECT_EQ(port_table.slots.size(), 16u);
    ASSERT_NE(open_port(20, first.slave_path.c_str(), METER_SETTINGS), 0);
    EXPECT_EQ(port_table.slots.size(), 36u);
    EXPECT_NE(port_is_open(20), 0);

    char byte = 0;
    EXPECT_EQ(port_is_open(30), 0);
    EXPECT_EQ(write_text(30, "x"), 0);
    EXPECT_EQ(read_bytes(30, &byte, 1), 0);
    EXPECT_EQ(input_pending(30), 0);
    EXPECT_EQ(set_line_state(30, LINE_DTR, 1), 0);
    close_port(30);
    EXPECT_NE(port_is_open(20), 0);
}

TEST_F(PortTableTest, MadeIdentifiersArePositiveDistinctAndOutsideTheSlots)
{
    const std::int32_t a = open_port(PORT_ANY, first.slave_path.c_str(), PROBE_SETTINGS);
    const std::int32_t b = open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_GE(a, static_cast<std::int32_t>(port_table.slots.size()));
    EXPECT_GE(b, static_cast<std::int32_t>(port_table.slots.size()));
    ASSERT_NE(port_table.made, nullptr);
    EXPECT_EQ(port_table.made->id, b) << "the newest port heads the chain";

    close_port(a);
    EXPECT_EQ(port_is_open(a), 0);
    EXPECT_NE(port_is_open(b), 0);
    EXPECT_EQ(write_text(a, "x"), 0);
}

TEST_F(PortTableTest, AFreedMadeIdentifierMayServeAgainButNeverTwiceAtOnce)
{
    const PtyPair lines[5];
    std::vector<std::int32_t> open_ids;
    open_ids.reserve(5);
    for (const PtyPair& line : lines) {
        open_ids.push_back(open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS));
        ASSERT_GT(open_ids.back(), 0);
    }
    close_port(open_ids[2]);
    const std::int32_t again = open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS);
    for (std::size_t i = 0; i < open_ids.size(); ++i) {
        if (i != 2) {
            EXPECT_NE(again, open_ids[i]);
        }
    }
}

TEST_F(PortTableTest, ReopeningANumberOpensTheNewDeviceBeforeClosingTheOld)
{
    const std::int32_t old_handle = open_port(0, first.slave_path.c_str(), METER_SETTINGS);
    ASSERT_NE(old_handle, 0);
    const std::int32_t new_handle = open_port(0, second.slave_path.c_str(), METER_SETTINGS);
    ASSERT_NE(new_handle, 0);
    EXPECT_NE(new_handle, old_handle) << "the new device was open while the old one still was";
    EXPECT_FALSE(descriptor_open(old_handle));
    EXPECT_EQ(port_table.slots[0], new_handle);
}

TEST_F(PortTableTest, AFailedReopenLeavesTheOldPortOpen)
{
    const std::int32_t handle = open_port(0, first.slave_path.c_str(), METER_SETTINGS);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(open_port(0, "/nonexistent/device", METER_SETTINGS), 0);
    EXPECT_NE(port_is_open(0), 0);
    EXPECT_TRUE(descriptor_open(handle));
}

// A device is open once at a time, as on Windows: the first open keeps it, configured.
TEST_F(PortTableTest, ADeviceAlreadyOpenDoesNotOpenAgain)
{
    const std::int32_t handle = open_port(0, first.slave_path.c_str(), METER_SETTINGS);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(open_port(0, first.slave_path.c_str(), LineSettings{9600, 0, 8, 1.0f, 0, 0, 0}), 0);
    EXPECT_EQ(open_port(PORT_ANY, first.slave_path.c_str(), PROBE_SETTINGS), 0);
    EXPECT_EQ(port_table.slots[0], handle);
    termios terminal{};
    tcgetattr(static_cast<int>(handle), &terminal);
    EXPECT_EQ(cfgetospeed(&terminal), B600);
    EXPECT_EQ(terminal.c_iflag & IXON, 0u);

    const std::int32_t made = open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS);
    ASSERT_GT(made, 0);
    EXPECT_EQ(open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS), 0);
    close_port(made);
    EXPECT_GT(open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS), 0)
        << "closing gives the device back";
}

TEST_F(PortTableTest, CloseAllPortsClosesNumberedAndMadePorts)
{
    const std::int32_t numbered = open_port(3, first.slave_path.c_str(), METER_SETTINGS);
    const std::int32_t made = open_port(PORT_ANY, second.slave_path.c_str(), PROBE_SETTINGS);
    const SerialLink made_handle = port_table.made->link;
    close_all_ports();
    EXPECT_EQ(port_is_open(3), 0);
    EXPECT_EQ(port_is_open(made), 0);
    EXPECT_EQ(port_table.made, nullptr);
    EXPECT_FALSE(descriptor_open(numbered));
    EXPECT_FALSE(descriptor_open(static_cast<std::int32_t>(made_handle)));
}

struct RefusedOpen {
    const char* what;
    std::int32_t id;
    bool with_device;
    LineSettings settings;
};

class RefusedOpenTest : public PortTableTest, public testing::WithParamInterface<RefusedOpen> {};

TEST_P(RefusedOpenTest, GivesZeroLeavesNothingOpenAndTheTableUnchanged)
{
    const RefusedOpen& refused = GetParam();
    const int descriptors_before = open_descriptor_count();
    const char* name = refused.with_device ? first.slave_path.c_str() : nullptr;
    EXPECT_EQ(open_port(refused.id, name, refused.settings), 0);
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
    EXPECT_EQ(port_table.slots.size(), 16u);
    EXPECT_EQ(port_table.made, nullptr);
}

LineSettings meter_with(void (*change)(LineSettings&))
{
    LineSettings settings = METER_SETTINGS;
    change(settings);
    return settings;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedOpenTest,
    testing::Values(
        RefusedOpen{"no name", 0, false, METER_SETTINGS},
        RefusedOpen{"negative identifier", -2, true, METER_SETTINGS},
        RefusedOpen{"identifier among the made ones", FIRST_MADE_ID, true, METER_SETTINGS},
        RefusedOpen{"baud 134", 0, true, meter_with([](LineSettings& s) { s.baud = 134; })},
        RefusedOpen{"baud 200", 0, true, meter_with([](LineSettings& s) { s.baud = 200; })},
        RefusedOpen{"baud 230400", 0, true, meter_with([](LineSettings& s) { s.baud = 230400; })},
        RefusedOpen{"4 data bits", 0, true, meter_with([](LineSettings& s) { s.data_bits = 4; })},
        RefusedOpen{"9 data bits", 0, true, meter_with([](LineSettings& s) { s.data_bits = 9; })},
        RefusedOpen{"handshake 4", 0, true, meter_with([](LineSettings& s) { s.handshake = 4; })},
        RefusedOpen{"handshake -1", 0, true,
                    meter_with([](LineSettings& s) { s.handshake = -1; })}),
    [](const testing::TestParamInfo<RefusedOpen>& case_info) {
        std::string name = case_info.param.what;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST_F(PortTableTest, AnAbsentDeviceDoesNotOpen)
{
    EXPECT_EQ(open_port(0, "/nonexistent/ttyS99", METER_SETTINGS), 0);
    EXPECT_EQ(open_port(PORT_ANY, "/nonexistent/ttyS99", PROBE_SETTINGS), 0);
    EXPECT_EQ(port_table.made, nullptr);
}

TEST_F(PortTableTest, ADeviceOnDescriptorZeroStillCountsAsOpen)
{
    const int saved_stdin = dup(0);
    close(0);
    const std::int32_t result = open_port(1, first.slave_path.c_str(), METER_SETTINGS);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_NE(result, 0);
    EXPECT_NE(port_is_open(1), 0);
    EXPECT_EQ(write_text(1, "z"), 1);
    EXPECT_EQ(first.receive(1000, 1), "z");
}

} // namespace
