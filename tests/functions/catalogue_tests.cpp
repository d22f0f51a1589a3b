// Both behaviour sets of the catalogue, side by side.
#include "catalogue.h"
#include "process.h"
#include "rounding.h"
#include "serial_link.h"
#include "sim_meter.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using driver::BehaviourSet;
using driver::Catalogue;
using driver::ERROR_VALUE;

Catalogue command_line_set()
{
    return Catalogue{BehaviourSet::command_line};
}

Catalogue library_set()
{
    return Catalogue{BehaviourSet::library};
}

TEST(NearestInteger, HalvesGoAwayFromZeroOnTheSinglePrecisionCopy)
{
    struct Case {
        double x;
        std::int32_t nearest;
        std::int32_t floor;
    };
    const Case cases[] = {
        {0.0, 0, 0},
        {0.4, 0, 0},
        {0.5, 1, 0},
        {-0.5, -1, -1},
        {2.5, 3, 2},
        {-2.5, -3, -3},
        {1.4999999, 1, 1},
        {0.49999997, 0, 0},
        {-0.4, 0, -1},
        {1280.0, 1280, 1280},
        {1e10, 2147483647, 2147483647},
        {-1e10, -2147483647 - 1, -2147483647 - 1},
        {std::numeric_limits<double>::infinity(), 2147483647, 2147483647},
        {std::nan(""), 0, 0},
        {1e300, 2147483647, 2147483647},
        // 0.99999999 is 1.0 in single precision.
        {0.99999999, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nearest_integer(c.x), c.nearest) << c.x;
        EXPECT_EQ(floor_integer(c.x), c.floor) << c.x;
    }
}

struct SetAnswers {
    const char* what;
    BehaviourSet set;
    std::int16_t eb_0;
    std::int16_t eb_1;
    std::int16_t sa_300;
    double sad_2_5;
    std::int16_t sb_3_1;
    const char* titre;
    const char* detail;
};

class BothSetsTest : public testing::TestWithParam<SetAnswers> {};

TEST_P(BothSetsTest, FunctionsThatDoNotMeasure)
{
    const SetAnswers& expected = GetParam();
    Catalogue catalogue{expected.set};
    EXPECT_EQ(driver::eb(catalogue, 0), expected.eb_0);
    EXPECT_EQ(driver::eb(catalogue, 1), expected.eb_1);
    EXPECT_EQ(driver::sa(catalogue, 0, 300), expected.sa_300);
    EXPECT_DOUBLE_EQ(driver::sad(catalogue, 5, 2.5), expected.sad_2_5);
    EXPECT_EQ(driver::sb(catalogue, 3, 1), expected.sb_3_1);
    EXPECT_STREQ(driver::titre(catalogue), expected.titre);
    EXPECT_STREQ(driver::detail(catalogue), expected.detail);
    EXPECT_STREQ(driver::stdtitre(catalogue), "titre dll");
    EXPECT_STREQ(driver::stddetail(catalogue), "d\xE9tail de la dll fictive");
    for (std::int32_t channel : {0, 1, 9, 255, 256, -1}) {
        EXPECT_STREQ(driver::neb(catalogue, channel), "");
        EXPECT_STREQ(driver::nsa(catalogue, channel), "");
        EXPECT_STREQ(driver::nsad(catalogue, channel), "");
        EXPECT_STREQ(driver::nsb(catalogue, channel), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, BothSetsTest,
                         testing::Values(SetAnswers{"command_line", BehaviourSet::command_line,
                                                    ERROR_VALUE, ERROR_VALUE, ERROR_VALUE, -777.0,
                                                    ERROR_VALUE, "MAS345", ""},
                                         SetAnswers{"library", BehaviourSet::library, 1, 0, 44, 2.5,
                                                    0, "multim\xE8tre MAS345",
                                                    "Pilote pour multim\xE8tre MASTECH MAS-345"}),
                         [](const testing::TestParamInfo<SetAnswers>& case_info) {
                             return std::string(case_info.param.what);
                         });

TEST(CommandLineSet, StoresNothingAndReadsBackTheStartValues)
{
    Catalogue catalogue = command_line_set();
    driver::sa(catalogue, 0, 5);
    driver::sad(catalogue, 0, 5.0);
    driver::sb(catalogue, 3, 5);
    EXPECT_EQ(driver::rsa(catalogue, 10), 0);
    EXPECT_DOUBLE_EQ(driver::rsad(catalogue, 10), 0.0);
    EXPECT_EQ(driver::rsb(catalogue, 3), 0);
}

TEST(LibrarySet, StoredOutputsAreReadBack)
{
    Catalogue catalogue = library_set();
    EXPECT_EQ(driver::sa(catalogue, 0, 300), 44);
    EXPECT_EQ(driver::rsa(catalogue, 7), 44) << "one analog output serves every channel";
    EXPECT_DOUBLE_EQ(driver::sad(catalogue, 5, 2.5), 2.5);
    EXPECT_DOUBLE_EQ(driver::rsad(catalogue, 0), 2.5);
    EXPECT_EQ(driver::sb(catalogue, 3, 1), 0);
    EXPECT_EQ(driver::rsb(catalogue, 3), 1);
    EXPECT_EQ(driver::rsb(catalogue, 4), 0);
    EXPECT_EQ(driver::sb(catalogue, 259, 0x1FF), 0) << "channel 259 is channel 3";
    EXPECT_EQ(driver::rsb(catalogue, 3), 255);
    EXPECT_EQ(driver::rsb(catalogue, 259), 255);
    EXPECT_EQ(driver::sa(catalogue, 0, 200), 200) << "all 8 bits are kept";
    EXPECT_EQ(driver::rsa(catalogue, 0), 200);
}

// Ten output states: a channel from 10 to 255 touches none of them, in either set.
TEST(OutputStates, ChannelsBeyondTheTenStatesStayOutOfBounds)
{
    for (Catalogue catalogue : {command_line_set(), library_set()}) {
        for (std::int32_t channel : {10, 11, 100, 255, -1}) {
            EXPECT_EQ(driver::sb(catalogue, channel, 7), ERROR_VALUE) << channel;
            EXPECT_DOUBLE_EQ(driver::sbdouble(catalogue, channel, 7.0), -777.0) << channel;
            EXPECT_EQ(driver::rsb(catalogue, channel), 0) << channel;
            EXPECT_DOUBLE_EQ(driver::rsbdouble(catalogue, channel), 0.0) << channel;
        }
        for (std::int16_t state : catalogue.output_states) {
            EXPECT_EQ(state, 0);
        }
        EXPECT_EQ(catalogue.analog_output, 0);
    }
}

TEST(RealChannels, RoundHalvesAwayFromZeroThenKeepTheLow8Bits)
{
    Catalogue catalogue = library_set();
    EXPECT_DOUBLE_EQ(driver::ebdouble(catalogue, 0.4), 1.0);
    EXPECT_DOUBLE_EQ(driver::ebdouble(catalogue, 0.5), 0.0);
    EXPECT_DOUBLE_EQ(driver::ebdouble(catalogue, -0.4), 1.0);
    EXPECT_DOUBLE_EQ(driver::ebdouble(catalogue, 256.0), 1.0);
    EXPECT_DOUBLE_EQ(driver::sbdouble(catalogue, 0.5, 6.5), 0.0);
    EXPECT_DOUBLE_EQ(driver::rsbdouble(catalogue, 1.0), 7.0) << "value 6.5 rounds to 7";
    EXPECT_DOUBLE_EQ(driver::sbdouble(catalogue, -0.5, 1.0), -777.0) << "-1 is channel 255";
    EXPECT_DOUBLE_EQ(driver::sadouble(catalogue, 99.7, -3.25), -3.25);
    EXPECT_DOUBLE_EQ(driver::rsadouble(catalogue, 1.0), -3.25);
    EXPECT_STREQ(driver::nebdouble(catalogue, 0.0), "");
    EXPECT_STREQ(driver::nsadouble(catalogue, 0.0), "");
    EXPECT_STREQ(driver::nsbdouble(catalogue, 0.0), "");
    EXPECT_STREQ(driver::neadouble(catalogue, 0.5), "") << "channel 1 is not measured";
}

TEST(ReturnedText, StaysValidUntilTheNextCall)
{
    Catalogue catalogue = library_set();
    const char* title = driver::titre(catalogue);
    const std::string copy = title;
    EXPECT_EQ(std::string(title), copy);
    driver::rsa(catalogue, 0);
    EXPECT_EQ(std::string(title), copy) << "a function without a text leaves it alone";
}

class MeasuringTest : public testing::Test {
protected:
    void TearDown() override { close_all_ports(); }

    void connect(std::vector<std::string> options)
    {
        sim_ = std::make_unique<SimMeter>(std::move(options));
        init_port_table();
        ASSERT_NE(open_port(METER_PORT, sim_->path().c_str(), METER_SETTINGS), 0);
    }

    std::unique_ptr<SimMeter> sim_;
};

TEST_F(MeasuringTest, EaIsTheRoundedThousandfoldSaturatedTo16Bits)
{
    connect({"--reading", "DC  1.234   V", "--reading", "DC  40.00   V", "--reading",
             "DC -40.00   V", "--reading", "DC 32.767   V", "--reading", "AC  0.445   V"});
    for (const Catalogue& catalogue : {command_line_set(), library_set()}) {
        SCOPED_TRACE(catalogue.set == BehaviourSet::library ? "library" : "command line");
        EXPECT_EQ(driver::ea(catalogue, 0), 1234);
        EXPECT_EQ(driver::ea(catalogue, 256), 32767) << "40 V saturates";
        EXPECT_EQ(driver::ea(catalogue, 0), -32768);
        EXPECT_EQ(driver::ea(catalogue, 0), 32767);
        EXPECT_EQ(driver::ea(catalogue, 0), 445);
        EXPECT_EQ(driver::ea(catalogue, 1), 0);
        EXPECT_DOUBLE_EQ(driver::ead(catalogue, 1), 0.0);
    }
}

TEST_F(MeasuringTest, LabelsAndTheirThousandfoldForm)
{
    connect({"--reading", "OH  0.951KOhm"});
    Catalogue catalogue = library_set();
    EXPECT_STREQ(driver::nead(catalogue, 0), "OHKOhm");
    EXPECT_EQ(catalogue.stored_label, "OHKOhm");
    EXPECT_STREQ(driver::nea(catalogue, 256), "OHKOhm*1000");
    EXPECT_STREQ(driver::nea(catalogue, 3), "");
    EXPECT_STREQ(driver::nead(catalogue, 3), "");
    EXPECT_EQ(catalogue.stored_label, "");
    EXPECT_STREQ(driver::neadouble(catalogue, 0.4), "OHKOhm");
    EXPECT_DOUBLE_EQ(driver::eadouble(catalogue, -0.4), 0.951);
    EXPECT_DOUBLE_EQ(driver::eadouble(catalogue, 0.5), 0.0);
    EXPECT_EQ(sim_->received(), "\r\r\r\r") << "channels other than 0 ask nothing";
}

TEST_F(MeasuringTest, ASilentMeterGivesNeutralAnswers)
{
    connect({"--silent"});
    Catalogue catalogue = command_line_set();
    EXPECT_DOUBLE_EQ(driver::ead(catalogue, 0), 0.0);
    EXPECT_EQ(driver::ea(catalogue, 0), 0);
    EXPECT_STREQ(driver::nead(catalogue, 0), "");
    EXPECT_STREQ(driver::nea(catalogue, 0), "*1000");
}

} // namespace
