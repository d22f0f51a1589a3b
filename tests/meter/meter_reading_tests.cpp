// One exchange with the simulated meter on a pseudo-terminal, through the POSIX link.
#include "meter_reading.h"
#include "process.h"
#include "serial_link.h"
#include "sim_meter.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

class MeterReadingTest : public testing::Test {
protected:
    void TearDown() override { close_all_ports(); }

    // Starts the simulated meter and opens the meter port on it, as a front end does.
    void connect(std::vector<std::string> options = {})
    {
        sim_ = std::make_unique<SimMeter>(std::move(options));
        ASSERT_FALSE(sim_->path().empty());
        init_port_table();
        ASSERT_NE(open_port(METER_PORT, sim_->path().c_str(), METER_SETTINGS), 0);
        set_line_state(METER_PORT, LINE_DTR, 1);
        set_line_state(METER_PORT, LINE_RTS, 0);
    }

    std::string timed_read(double& seconds)
    {
        const double start = monotonic_seconds();
        std::string frame = meter::read_meter("");
        seconds = seconds_since(start);
        return frame;
    }

    std::unique_ptr<SimMeter> sim_;
};

TEST_F(MeterReadingTest, ACompleteReplyComesBackWithItsLineEnd)
{
    connect();
    double seconds = 0;
    // The link delivers the meter's carriage return as a line feed.
    EXPECT_EQ(timed_read(seconds), "DC -0.842   V\n");
    EXPECT_GE(seconds, 0.7);
    EXPECT_LT(seconds, 1.2);
    EXPECT_EQ(sim_->received(), "\r") << "one request byte per reading";
}

TEST_F(MeterReadingTest, ASilentMeterGivesTheEmptyTextAfterTheWaitAndOneReadTimeOut)
{
    connect({"--silent"});
    double seconds = 0;
    EXPECT_EQ(timed_read(seconds), "");
    EXPECT_GE(seconds, 0.7);
    EXPECT_LT(seconds, 1.3);
    EXPECT_DOUBLE_EQ(meter::ead(0), 0.0);
    std::string stored = "old";
    EXPECT_EQ(meter::nead(0, stored), "");
    EXPECT_EQ(stored, "");
}

TEST_F(MeterReadingTest, ValuesAndLabelsOfASequenceOfReadings)
{
    connect({"--reading", "AC  0.445   V", "--reading", "DC  00.01   A", "--reading",
             "OH   O.L MOhm", "--reading", "DC  0167    V", "--reading", "    0123     "});
    std::string stored;
    EXPECT_DOUBLE_EQ(meter::ead(0), 0.445);
    EXPECT_DOUBLE_EQ(meter::ead(256), 0.01) << "channel 256 is channel 0";
    EXPECT_EQ(meter::nead(0, stored), "OHMOhm") << "overload keeps its label";
    EXPECT_DOUBLE_EQ(meter::ead(0), 167.0);
    // Transistor-gain mode: a blank mode field keeps the value in its columns.
    EXPECT_EQ(meter::nead(0, stored), "      ");
    EXPECT_EQ(stored, "      ");
    EXPECT_EQ(sim_->received(), "\r\r\r\r\r");
}

TEST_F(MeterReadingTest, OtherChannelsAnswerAtOnceWithoutAskingTheMeter)
{
    connect();
    std::string stored = "DC   V";
    const double start = monotonic_seconds();
    EXPECT_DOUBLE_EQ(meter::ead(1), 0.0);
    EXPECT_DOUBLE_EQ(meter::ead(255), 0.0);
    EXPECT_DOUBLE_EQ(meter::ead(-1), 0.0);
    EXPECT_EQ(meter::nead(3, stored), "");
    EXPECT_EQ(stored, "") << "the stored label is emptied";
    EXPECT_LT(seconds_since(start), 0.1);
    EXPECT_EQ(sim_->received(), "");
}

TEST_F(MeterReadingTest, AZeroByteInsideTheReplyIsDropped)
{
    connect({"--reading", "DC -0.\\x00842   V"});
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\n");
}

TEST_F(MeterReadingTest, ALineEndAheadOfTheFrameDoesNotEndTheReply)
{
    connect({"--junk", "\\r\\n"});
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\n");
    EXPECT_DOUBLE_EQ(meter::ead(0), -0.842);
}

// A line that arrives 100 ms after the reply belongs to no request: it neither joins this
// reading nor starts the next.
TEST_F(MeterReadingTest, AStrayLineSoonAfterTheReplyIsNotCollectedWithIt)
{
    connect({"--stray", "JUNK 99.99\\r", "--stray-after", "100"});
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\n");
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\n");
}

TEST_F(MeterReadingTest, BytesThatArrivedBeforeTheRequestDoNotStartTheReply)
{
    // The stray text lands after the first reading has been collected and waits for the next.
    connect({"--stray", "JUNK 99.99\\r", "--stray-after", "1000"});
    EXPECT_DOUBLE_EQ(meter::ead(0), -0.842);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(meter::read_meter(""), "DC -0.842   V\n");
}

TEST_F(MeterReadingTest, ATailThatFollowsCloselyIsCollected)
{
    connect({"--delay", "600", "--tail-from", "6", "--tail-delay", "80"});
    double seconds = 0;
    EXPECT_EQ(timed_read(seconds), "DC -0.842   V\n");
    EXPECT_LT(seconds, 1.3);
}

TEST_F(MeterReadingTest, AReplyStartingLateIsCollectedWhole)
{
    connect({"--delay", "650"});
    double seconds = 0;
    EXPECT_EQ(timed_read(seconds), "DC -0.842   V\n");
    EXPECT_LT(seconds, 1.3);
}

TEST_F(MeterReadingTest, ATailTooLateForItsReadingDoesNotShiftTheNext)
{
    connect({"--delay", "600", "--tail-from", "4", "--tail-delay", "400"});
    EXPECT_EQ(meter::read_meter(""), "DC -");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(meter::read_meter(""), "DC -");
    EXPECT_EQ(sim_->received(), "\r\r");
}

TEST_F(MeterReadingTest, AReplyCutShortGivesWhatArrived)
{
    connect({"--cut", "5"});
    std::string stored;
    EXPECT_EQ(meter::read_meter(""), "DC -0");
    EXPECT_EQ(meter::nead(0, stored), "DC");
    EXPECT_DOUBLE_EQ(meter::ead(0), 0.0);
}

TEST_F(MeterReadingTest, ADeviceThatNeverStopsSendingCannotHoldTheReading)
{
    connect({"--stream", "--reading", "0123456789", "--char-ms", "1", "--cut", "10"});
    double seconds = 0;
    const std::string frame = timed_read(seconds);
    EXPECT_FALSE(frame.empty());
    EXPECT_LT(seconds, 2.5);
}

TEST(MeterReadingWithoutPort, WaitsAndGivesTheEmptyText)
{
    init_port_table();
    const double start = monotonic_seconds();
    EXPECT_EQ(meter::read_meter(""), "");
    EXPECT_GE(seconds_since(start), 0.7);
    EXPECT_DOUBLE_EQ(meter::ead(0), 0.0);
}

} // namespace
