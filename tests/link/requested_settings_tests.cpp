// What the link asks of the device, seen through the line shim (LD_PRELOAD): a
// pseudo-terminal cannot hold 7 data bits or modem lines, so they are recorded instead.
#include "process.h"
#include "pty_pair.h"
#include "serial_link.h"

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace {

class RequestedSettings : public testing::Test {
protected:
    void SetUp() override
    {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "line_shim") != nullptr)
            << "run with the line shim preloaded (ctest does)";
        dir_ = make_temp_dir("ohm-shim");
        setenv("OHM_LINE_LOG", (dir_ + "/log").c_str(), 1);
        setenv("OHM_LINE_STATE_DIR", dir_.c_str(), 1);
        init_port_table();
    }
    void TearDown() override
    {
        close_all_ports();
        remove_tree(dir_);
    }
    std::string log() const { return read_file(dir_ + "/log"); }
    std::string lines_state() const
    {
        return read_file(dir_ + "/pts-" + line.slave_path.substr(line.slave_path.rfind('/') + 1));
    }

    std::string dir_;
    PtyPair line;
};

TEST_F(RequestedSettings, TheMeterLineIs600Baud7DataBitsNoParity2StopBitsNoHandshake)
{
    ASSERT_NE(open_port(METER_PORT, line.slave_path.c_str(), METER_SETTINGS), 0);
    EXPECT_NE(log().find("tcsetattr speed=600 csize=7 cstopb=1 parenb=0 crtscts=0 ixon=0 ixoff=0"),
              std::string::npos)
        << log();
}

TEST_F(RequestedSettings, DtrCanBeRaisedAndRtsLoweredRightAfterOpening)
{
    ASSERT_NE(open_port(METER_PORT, line.slave_path.c_str(), METER_SETTINGS), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_DTR, 1), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_RTS, 0), 0);
    EXPECT_EQ(lines_state(), "dtr=1 rts=0\n");
    EXPECT_NE(set_line_state(METER_PORT, LINE_DTR, 0), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_RTS, 7), 0);
    EXPECT_EQ(lines_state(), "dtr=0 rts=1\n");
}

TEST_F(RequestedSettings, TheProbeIs300Baud8DataBits1StopBitWithXonXoff)
{
    const std::int32_t id = open_port(PORT_ANY, line.slave_path.c_str(), PROBE_SETTINGS);
    ASSERT_GT(id, 0);
    EXPECT_NE(log().find("tcsetattr speed=300 csize=8 cstopb=0 parenb=0 crtscts=0 ixon=1 ixoff=1"),
              std::string::npos)
        << log();
}

} // namespace
