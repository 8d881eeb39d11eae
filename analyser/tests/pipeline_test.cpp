// The pipeline over the module: peaks, units, grouping and frequency axis.
#include "error.h"
#include "pipeline.h"
#include "spectrum.h"
#include "test_signal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

namespace analyser {
namespace {

Options options_for(int length, int mode = SPECTR_MODE_DBM)
{
    Options o;
    o.length = length;
    o.mode = mode;
    return o;
}

TEST(Pipeline, BuiltInSignalPeaksAtItsTonesInEveryUnit)
{
    const struct {
        int mode;
        double a, b;
        const char *unit;
    } units[] = {
        {SPECTR_MODE_DBM, 10.0, -10.0, "dBm"},
        {SPECTR_MODE_VOLT, 1.0, 0.1, "V"},
        {SPECTR_MODE_DBU, 20 * std::log10(1 / 1.414213562 / 0.775),
         20 * std::log10(0.1 / 1.414213562 / 0.775), "dBu"},
    };
    for (const int length : {256, 16384}) {
        for (const auto &u : units) {
            Pipeline pipeline(options_for(length, u.mode));
            const Spectrum s = pipeline.run(synthesise_test_signal(std::size_t(length)));
            EXPECT_STREQ(s.unit, u.unit);
            EXPECT_NEAR(s.peak_a.value, u.a, 1e-4) << length << u.unit;
            EXPECT_NEAR(s.peak_b.value, u.b, 1e-4) << length << u.unit;
            EXPECT_FLOAT_EQ(s.peak_a.frequency, 125e6 / 16);
            EXPECT_FLOAT_EQ(s.peak_b.frequency, 125e6 * 3 / 16);
            ASSERT_EQ(s.frequency.size(), std::size_t(length / 2));
            EXPECT_EQ(s.frequency[length / 16], 125e6 / 16);
            EXPECT_EQ(s.a[length / 16], s.peak_a.value);
        }
    }
}

TEST(Pipeline, ImpedanceAndDecimationScaleTheResult)
{
    Options o = options_for(1024);
    o.impedance = 5.0;  // ten times less load, ten times the power
    o.decimation = 8;
    Pipeline pipeline(o);
    const Spectrum s = pipeline.run(synthesise_test_signal(1024));
    EXPECT_NEAR(s.peak_a.value, 20.0, 1e-4);
    EXPECT_FLOAT_EQ(s.peak_a.frequency, 125e6 / 8 / 16);
    EXPECT_DOUBLE_EQ(s.frequency[1], 125e6 / 8 / 1024);
}

Signal with_offset(Signal signal, double volts)
{
    for (auto &x : signal.a)
        x += volts;
    return signal;
}

// 2 V DC under the 1 V tone of channel A: by default the module's DC
// suppression makes bins 0 and 1 read like bin 2, so the tone is the peak.
TEST(Pipeline, SuppressesDcUnlessKept)
{
    const Signal signal = with_offset(synthesise_test_signal(1024), 2.0);
    Options o = options_for(1024, SPECTR_MODE_VOLT);
    Pipeline suppressing(o);
    Spectrum s = suppressing.run(signal);
    EXPECT_NEAR(s.peak_a.value, 1.0, 1e-4);
    EXPECT_FLOAT_EQ(s.peak_a.frequency, 125e6 / 16);
    EXPECT_EQ(s.a[0], s.a[2]);
    EXPECT_EQ(s.a[1], s.a[2]);

    o.keep_dc = true;
    Pipeline keeping(o);
    s = keeping.run(signal);
    EXPECT_NEAR(s.peak_a.value, 4.0, 1e-4);  // the module's one-sided scaling: twice the DC
    EXPECT_EQ(s.peak_a.frequency, 0.0f);
}

TEST(Pipeline, PointsAverageGroupsAndKeepFullResolutionPeaks)
{
    Options full = options_for(1024, SPECTR_MODE_VOLT);
    Options grouped = full;
    grouped.points = 128;  // groups of 4 bins
    // The offset checks that groups are formed from the DC-suppressed bins.
    const Signal signal = with_offset(synthesise_test_signal(1024), 2.0);
    Pipeline full_pipeline(full);
    const Spectrum f = full_pipeline.run(signal);
    Pipeline grouped_pipeline(grouped);
    const Spectrum g = grouped_pipeline.run(signal);

    ASSERT_EQ(g.frequency.size(), 128u);
    ASSERT_EQ(g.a.size(), 128u);
    for (std::size_t i = 0; i < g.a.size(); ++i) {
        EXPECT_DOUBLE_EQ(g.frequency[i], (f.frequency[4 * i] + f.frequency[4 * i + 3]) / 2);
        double mean = 0;
        for (std::size_t j = 4 * i; j < 4 * i + 4; ++j)
            mean += f.a[j] / 4.0;
        EXPECT_NEAR(g.a[i], mean, 1e-6) << i;
    }
    EXPECT_EQ(g.peak_a.value, f.peak_a.value);
    EXPECT_EQ(g.peak_a.frequency, f.peak_a.frequency);
    EXPECT_EQ(g.peak_b.frequency, f.peak_b.frequency);
}

// Values that overflow inside the module are an error, not a peak.
TEST(Pipeline, RefusesSpectraThatOverflow)
{
    Signal huge;
    huge.a.assign(256, 1.7e308);
    huge.b.assign(256, 1.7e308);
    Signal loud = synthesise_test_signal(256);
    for (auto &x : loud.a)
        x *= 1e152;
    Options tiny_load = options_for(256);
    tiny_load.impedance = 1e-320;
    const struct {
        Options options;
        Signal signal;
    } cases[] = {
        {options_for(256, SPECTR_MODE_VOLT), huge},  // FFT sums overflow
        {options_for(256), loud},                    // watts beyond single precision
        {tiny_load, synthesise_test_signal(256)},    // division by a subnormal load
    };
    for (const auto &c : cases) {
        Pipeline pipeline(c.options);
        try {
            pipeline.run(c.signal);
            ADD_FAILURE() << "no error, impedance " << c.options.impedance;
        } catch (const Error &e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr("the spectrum of channel A overflows"));
        }
    }
}

TEST(Pipeline, RejectsLengthsAndPointsTheModuleCannotServe)
{
    for (const int length : {0, 128, 1000, 32768}) {
        EXPECT_THROW(Pipeline{options_for(length)}, Error) << length;
    }
    for (const int points : {3, 100, 513, 1024}) {
        Options o = options_for(1024);
        o.points = points;
        EXPECT_THROW(Pipeline{o}, Error) << points;
    }
    Options o = options_for(1024);
    o.points = 1;
    Pipeline pipeline(o);
    EXPECT_EQ(pipeline.run(synthesise_test_signal(1024)).a.size(), 1u);
}

}  // namespace
}  // namespace analyser
