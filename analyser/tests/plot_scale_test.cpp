// Axis ranges of the plot.
#include "plot_scale.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

namespace analyser {
namespace {

using ::testing::ElementsAre;

TEST(PlotScale, NiceRangeEndsOnRoundTicks)
{
    const Scale s = nice_scale(-120, 10.3);
    EXPECT_EQ(s.low, -150);
    EXPECT_EQ(s.high, 50);
    EXPECT_THAT(s.ticks, ElementsAre(-150, -100, -50, 0, 50));
    EXPECT_EQ(s.fraction(-150), 0.0);
    EXPECT_EQ(s.fraction(NAN), 0.0);
    EXPECT_EQ(s.fraction(1e9), 1.0);
}

TEST(PlotScale, ExactRangeKeepsItsEndsAndTicksPrintCleanly)
{
    const Scale s = exact_scale(-0.3, 0.25);
    EXPECT_EQ(s.low, -0.3);
    EXPECT_EQ(s.high, 0.25);
    ASSERT_EQ(s.ticks.size(), 6u);
    EXPECT_EQ(s.ticks[3], 0.0);            // exactly zero, not a rounding residue
    const Scale flat = exact_scale(5, 5);  // one value: still a usable range
    EXPECT_LT(flat.low, 5);
    EXPECT_GT(flat.high, 5);
}

}  // namespace
}  // namespace analyser
