#include "spectrum.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

class Settings : public ::testing::Test {
protected:
    void TearDown() override
    {
        qn_set_spectr_signal_length(16384);
        qn_spectr_set_mode(SPECTR_MODE_DBM);
        qn_spectr_remove_DC(1);
        c_imp = 50.0;
    }
};

TEST_F(Settings, InitialState)
{
    EXPECT_EQ(qn_get_spectr_signal_length(), 16384);
    EXPECT_EQ(qn_get_spectr_out_signal_length(), 8192);
    EXPECT_EQ(qn_get_spectr_signal_max_length(), 16384);
    EXPECT_EQ(qn_get_spectr_out_signal_max_length(), 8192);
    EXPECT_EQ(qn_spectr_get_mode(), SPECTR_MODE_DBM);
    EXPECT_EQ(qn_spectr_get_remove_DC(), 1);
    EXPECT_EQ(qn_get_impedance(), 50.0);
    EXPECT_EQ(c_w2mw, 1000.0);
}

TEST_F(Settings, SignalLengthAcceptsOnlyPowersOfTwoInRange)
{
    for (int bad : {255, 257, 300, 16385, 32768, 0, -256, 128, 65536 + 256, -2147483647 - 1}) {
        ASSERT_EQ(qn_set_spectr_signal_length(1024), 0);
        EXPECT_EQ(qn_set_spectr_signal_length(bad), -1) << bad;
        EXPECT_EQ(qn_get_spectr_signal_length(), 1024) << bad;
    }
    for (int good = 256; good <= 16384; good *= 2) {
        EXPECT_EQ(qn_set_spectr_signal_length(good), 0);
        EXPECT_EQ(qn_get_spectr_signal_length(), good);
        EXPECT_EQ(qn_get_spectr_out_signal_length(), good / 2);
    }
}

TEST_F(Settings, ImpedanceIgnoresNonPositiveAndNaN)
{
    qn_set_impedance(75);
    EXPECT_EQ(qn_get_impedance(), 75.0);
    for (double bad : {0.0, -50.0, std::nan("")}) {
        qn_set_impedance(bad);
        EXPECT_EQ(qn_get_impedance(), 75.0);
    }
}

TEST_F(Settings, ModeAndDcFlagAreStoredUnchecked)
{
    qn_spectr_set_mode(7);
    EXPECT_EQ(qn_spectr_get_mode(), 7);
    qn_spectr_remove_DC(-3);
    EXPECT_EQ(qn_spectr_get_remove_DC(), -3);
}

}  // namespace
