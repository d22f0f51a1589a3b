// The Windows form of the link, run under Wine. The rig (windows_tests.cmake) links
//   COM3 to a simulated meter answering "DC -0.842   V", COM4 to a silent one,
//   COM5 to a third meter, COM6 to /dev/null (opens, refuses GetCommState), COM7 to a
//   missing path, and a 59-character name to a meter.
#include "line_settings_win32.h"
#include "meter_reading.h"
#include "serial_link.h"
#include "wine_rig.h"

#include <gtest/gtest.h>

namespace {

const std::string NAME_OF_59 = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz1234567";

class WindowsLinkTest : public testing::Test {
protected:
    void SetUp() override { init_port_table(); }
    void TearDown() override { close_all_ports(); }
};

DCB sentinel_dcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1234;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 0;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 11;
    dcb.XoffLim = 22;
    dcb.XonChar = 'a';
    dcb.XoffChar = 'b';
    dcb.ErrorChar = 'c';
    dcb.EofChar = 'd';
    dcb.EvtChar = 'e';
    return dcb;
}

void expect_never_changed(const DCB& dcb)
{
    const DCB before = sentinel_dcb();
    EXPECT_EQ(dcb.fBinary, before.fBinary);
    EXPECT_EQ(dcb.fOutxDsrFlow, before.fOutxDsrFlow);
    EXPECT_EQ(dcb.fDtrControl, before.fDtrControl) << "DTR is set by set_line_state only";
    EXPECT_EQ(dcb.fDsrSensitivity, before.fDsrSensitivity);
    EXPECT_EQ(dcb.fTXContinueOnXoff, before.fTXContinueOnXoff);
    EXPECT_EQ(dcb.fErrorChar, before.fErrorChar);
    EXPECT_EQ(dcb.fNull, before.fNull);
    EXPECT_EQ(dcb.fAbortOnError, before.fAbortOnError);
    EXPECT_EQ(dcb.ErrorChar, before.ErrorChar);
    EXPECT_EQ(dcb.EofChar, before.EofChar);
    EXPECT_EQ(dcb.EvtChar, before.EvtChar);
}

struct FlowCase {
    std::int32_t handshake;
    DWORD out_cts;
    DWORD rts_control;
    DWORD out_x;
    DWORD in_x;
    char xon;
    char xoff;
    WORD xon_lim;
    WORD xoff_lim;
};

TEST(LineSettingsDcb, FlowControlTable)
{
    // Codes 0 to 2 keep the software flow control the driver reports, 3 the hardware one.
    const FlowCase cases[] = {
        {0, 0, RTS_CONTROL_DISABLE, 1, 0, 'a', 'b', 11, 22},
        {1, 0, RTS_CONTROL_ENABLE, 1, 0, 'a', 'b', 11, 22},
        {2, 1, RTS_CONTROL_HANDSHAKE, 1, 0, 'a', 'b', 11, 22},
        {3, 1, RTS_CONTROL_TOGGLE, 1, 1, 17, 19, 102, 714},
        {4, 1, RTS_CONTROL_TOGGLE, 1, 0, 'a', 'b', 11, 22},
        {-1, 1, RTS_CONTROL_TOGGLE, 1, 0, 'a', 'b', 11, 22},
    };
    for (const FlowCase& c : cases) {
        DCB dcb = sentinel_dcb();
        apply_line_settings(dcb, LineSettings{300, 0, 8, 1.0f, c.handshake, 1024, 1024});
        SCOPED_TRACE(c.handshake);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.out_cts);
        EXPECT_EQ(dcb.fRtsControl, c.rts_control);
        EXPECT_EQ(dcb.fOutX, c.out_x);
        EXPECT_EQ(dcb.fInX, c.in_x);
        EXPECT_EQ(dcb.XonChar, c.xon);
        EXPECT_EQ(dcb.XoffChar, c.xoff);
        EXPECT_EQ(dcb.XonLim, c.xon_lim);
        EXPECT_EQ(dcb.XoffLim, c.xoff_lim);
        expect_never_changed(dcb);
    }
}

TEST(LineSettingsDcb, RateSizeParityAndStopBits)
{
    struct StopCase {
        float stop_bits;
        BYTE code;
    };
    for (const StopCase& c :
         {StopCase{1.0f, ONESTOPBIT}, StopCase{2.0f, TWOSTOPBITS}, StopCase{1.5f, ONE5STOPBITS},
          StopCase{3.0f, ONE5STOPBITS}, StopCase{0.0f, ONE5STOPBITS}}) {
        DCB dcb = sentinel_dcb();
        apply_line_settings(dcb, LineSettings{134, 0x102, 0x107, c.stop_bits, 0, 1024, 1024});
        EXPECT_EQ(dcb.StopBits, c.code) << c.stop_bits;
        EXPECT_EQ(dcb.BaudRate, 134u) << "the driver decides which rates it takes";
        EXPECT_EQ(dcb.ByteSize, 7) << "low byte of the data bits";
        EXPECT_EQ(dcb.Parity, EVENPARITY) << "low byte of the parity code";
        EXPECT_EQ(dcb.fParity, 1u);
        expect_never_changed(dcb);
    }
}

TEST(DevicePath, PrefixesTheNamespaceAndKeepsAtMost59Characters)
{
    EXPECT_EQ(device_path_for("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(device_path_for(""), "\\\\.\\");
    EXPECT_EQ(device_path_for((NAME_OF_59 + "XYZ").c_str()), "\\\\.\\" + NAME_OF_59);
}

TEST_F(WindowsLinkTest, TheMeterPortIsAskedFor600Baud7DataBits2StopBitsAndGetsDtrOnRtsOff)
{
    ASSERT_NE(open_port(METER_PORT, "COM3", METER_SETTINGS), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_DTR, 1), 0);
    EXPECT_NE(set_line_state(METER_PORT, LINE_RTS, 0), 0);
    const std::string log = read_session_file("line.log");
    EXPECT_NE(log.find("speed=600 csize=7 cstopb=1 parenb=0 crtscts=0 ixon=0 ixoff=0"),
              std::string::npos)
        << log;
    std::string device = read_session_file("sim-com3.path");
    device = device.substr(device.rfind('/') + 1);
    device.erase(device.find('\n'));
    EXPECT_EQ(read_session_file("pts-" + device), "dtr=1 rts=0\n") << log;
}

TEST_F(WindowsLinkTest, PortsThatCannotServeDoNotOpen)
{
    EXPECT_EQ(open_port(0, nullptr, METER_SETTINGS), 0);
    EXPECT_EQ(open_port(0, "COM6", METER_SETTINGS), 0) << "GetCommState refused";
    EXPECT_EQ(open_port(0, "COM7", METER_SETTINGS), 0) << "missing device";
    EXPECT_EQ(open_port(0, "COM99", METER_SETTINGS), 0) << "no such port";
    EXPECT_EQ(open_port(-5, "COM3", METER_SETTINGS), 0);
    EXPECT_EQ(port_is_open(0), 0);
    EXPECT_EQ(port_table.made, nullptr);
}

TEST_F(WindowsLinkTest, ALongNameIsCutTo59Characters)
{
    EXPECT_NE(open_port(0, (NAME_OF_59 + "-and-more").c_str(), METER_SETTINGS), 0);
}

TEST_F(WindowsLinkTest, OneByteFromASilentLineTakesAboutOneHundredTenMs)
{
    ASSERT_NE(open_port(0, "COM4", METER_SETTINGS), 0);
    char byte = 0;
    const double start = now_seconds();
    EXPECT_EQ(read_bytes(0, &byte, 1), 0);
    const double elapsed = now_seconds() - start;
    EXPECT_GE(elapsed, 0.09);
    EXPECT_LT(elapsed, 1.0);
    EXPECT_EQ(input_pending(0), 0);
}

TEST_F(WindowsLinkTest, WrittenBytesArriveUnchangedAndTheReplyIsCounted)
{
    ASSERT_NE(open_port(0, "COM5", METER_SETTINGS), 0);
    EXPECT_EQ(write_text(0, ""), 0);
    EXPECT_EQ(write_text(0, "ab\x80\xE9\n\r"), 6);
    Sleep(700);
    EXPECT_EQ(read_session_file("sim-com5.received"), "ab\x80\xE9\n\r");
    EXPECT_EQ(input_pending(0), 14);
    char frame[32] = {};
    EXPECT_EQ(read_bytes(0, frame, 14), 14);
    EXPECT_EQ(std::string(frame, 14), "DC -0.842   V\r");
    EXPECT_EQ(input_pending(0), 0);
}

TEST_F(WindowsLinkTest, TwoProbesGiveTwoIdentifiersAndReopeningReplaces)
{
    const std::int32_t a = open_port(PORT_ANY, "COM3", PROBE_SETTINGS);
    const std::int32_t b = open_port(PORT_ANY, "COM5", PROBE_SETTINGS);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    close_port(a);
    EXPECT_EQ(port_is_open(a), 0);
    EXPECT_NE(port_is_open(b), 0);

    ASSERT_NE(open_port(0, "COM3", METER_SETTINGS), 0);
    const SerialLink first = port_table.slots[0];
    EXPECT_EQ(open_port(0, "COM7", METER_SETTINGS), 0);
    EXPECT_EQ(port_table.slots[0], first) << "a failed reopen keeps the open port";
    ASSERT_NE(open_port(0, "COM4", METER_SETTINGS), 0);
    EXPECT_NE(port_table.slots[0], first);
    close_all_ports();
    EXPECT_EQ(port_is_open(0), 0);
    EXPECT_EQ(port_is_open(b), 0);
}

TEST_F(WindowsLinkTest, AReadingKeepsTheMetersCarriageReturn)
{
    ASSERT_NE(open_port(METER_PORT, "COM3", METER_SETTINGS), 0);
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);
    const double start = now_seconds();
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\r");
    EXPECT_LT(now_seconds() - start, 1.2);
    EXPECT_DOUBLE_EQ(meter::ead(0), -0.842);
    std::string stored;
    EXPECT_EQ(meter::nead(0, stored), "DC   V");
}

TEST_F(WindowsLinkTest, ASilentMeterGivesTheEmptyTextWithinTheReadTimeOut)
{
    ASSERT_NE(open_port(METER_PORT, "COM4", METER_SETTINGS), 0);
    const double start = now_seconds();
    EXPECT_EQ(meter::read_meter(""), "");
    const double elapsed = now_seconds() - start;
    EXPECT_GE(elapsed, 0.69);
    EXPECT_LT(elapsed, 1.3);
}

} // namespace
