// The pipeline over the module: peaks, units, grouping and frequency axis.
#include "error.h"
#include "pipeline.h"
#include "source.h"
#include "spectrum.h"
#include "test_signal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

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

// The built-in tones plus a little noise, made as they are asked for; it
// notes the largest piece asked at once.
class GeneratedSource : public FrameSource {
public:
    explicit GeneratedSource(std::size_t frames) : left_(frames) {}
    std::size_t read(double *a, double *b, std::size_t count) override
    {
        largest_request = std::max(largest_request, count);
        count = std::min(count, left_);
        for (std::size_t i = 0; i < count; ++i, ++next_) {
            state_ = state_ * 6364136223846793005u + 1442695040888963407u;
            const double noise = double(state_ >> 11) * 0x1p-53 - 0.5;
            a[i] = std::cos(2 * M_PI * double(next_ % 16) / 16) + 1e-3 * noise;
            b[i] = 0.1 * std::cos(2 * M_PI * double(3 * next_ % 16) / 16) - 1e-3 * noise;
        }
        left_ -= count;
        return count;
    }
    std::string name() const override { return "generated"; }

    std::size_t largest_request = 0;

private:
    std::size_t left_;
    std::size_t next_ = 0;
    std::uint64_t state_ = 19;
};

Options averaging(int length, int segments, int mode, int unit = SPECTR_MODE_DBM)
{
    Options o = options_for(length, unit);
    o.average = segments;
    o.average_mode = mode;
    return o;
}

TEST(Pipeline, AveragesAnyLengthOneSegmentAtATime)
{
    GeneratedSource source(256 * 100 + 77);
    Pipeline pipeline(averaging(256, kAverageAll, kAverageMean));
    const Spectrum s = pipeline.run_average(source);
    // Segments of 256 every 128 frames; the partial last one is left out.
    EXPECT_EQ(pipeline.segments(), 199);
    EXPECT_EQ(pipeline.frames_used(), 256u + 198u * 128u);
    EXPECT_LE(source.largest_request, 256u);
    EXPECT_NEAR(s.peak_a.value, 10.0, 1e-3);
    EXPECT_FLOAT_EQ(s.peak_a.frequency, 125e6 / 16);
    EXPECT_NEAR(s.peak_b.value, -10.0, 1e-3);
}

// One segment through the averaging path (grouped and converted in double)
// reads like the module's single-precision path; the median of two segments is their
// mean and max-hold never lies below it.
TEST(Pipeline, AverageModesAgreeWhereTheyMust)
{
    for (const int unit : {SPECTR_MODE_DBM, SPECTR_MODE_VOLT, SPECTR_MODE_DBU}) {
        Options plain_options = options_for(256, unit);
        Options one_options = averaging(256, 1, kAverageMean, unit);
        plain_options.points = one_options.points = unit == SPECTR_MODE_VOLT ? 16 : 0;
        GeneratedSource plain_source(256);
        Pipeline plain(plain_options);
        const Spectrum p = plain.run(read_frames(plain_source, 256));
        GeneratedSource one_source(256);
        Pipeline one(one_options);
        const Spectrum o = one.run_average(one_source);
        ASSERT_EQ(o.a.size(), p.a.size());
        for (std::size_t k = 0; k < p.a.size(); ++k) {
            EXPECT_NEAR(o.a[k], p.a[k], 1e-4 * std::max(1.0, std::fabs(p.a[k]))) << unit << k;
            EXPECT_NEAR(o.b[k], p.b[k], 1e-4 * std::max(1.0, std::fabs(p.b[k]))) << unit << k;
        }
        EXPECT_NEAR(o.peak_a.value, p.peak_a.value, 1e-4);
        EXPECT_EQ(o.peak_a.frequency, p.peak_a.frequency);
    }
    std::vector<double> power[3];
    for (const int mode : {kAverageMean, kAverageMedian, kAverageMax}) {
        GeneratedSource source(384);
        Pipeline pipeline(averaging(256, 2, mode));
        pipeline.run_average(source);
        power[mode] = pipeline.power_a();
    }
    for (std::size_t k = 0; k < power[0].size(); ++k) {
        EXPECT_NEAR(power[kAverageMedian][k], power[kAverageMean][k], 1e-12 * power[0][k]) << k;
        EXPECT_GE(power[kAverageMax][k], power[kAverageMean][k]) << k;
    }
}

}  // namespace
}  // namespace analyser
