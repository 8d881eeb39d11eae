// The vectorised stages must store exactly the floats of the plain,
// element-by-element evaluation, written out here in formula order.
#include "module_state.h"
#include "plain_formulas.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr int kBins = 8192;  // N = 16384
constexpr int kCalls = 256;  // 2 x 2M converted values per unit

// ---- plain references ----------------------------------------------------

std::vector<float> plain_decimate(const std::vector<double> &in, int out_len, int mode)
{
    const int in_len = static_cast<int>(in.size());
    int step =
        static_cast<int>(std::roundf(static_cast<float>(in_len) / static_cast<float>(out_len)));
    step = step < 1 ? 1 : step;
    std::vector<float> out(out_len);
    for (int g = 0; g < out_len; ++g) {
        const int start = g * step;
        const int end = start + step < in_len ? start + step : in_len;
        out[g] = spectrum_plain::group(in.data(), start, end, mode);
    }
    return out;
}

// ---- samples -------------------------------------------------------------

// Positive floats of every exponent, plus a few special values.
std::vector<float> random_floats(std::mt19937 &random, size_t count)
{
    std::uniform_int_distribution<uint32_t> bits(0, 0x7f7fffffu);
    std::vector<float> values(count);
    for (float &v : values)
        v = std::bit_cast<float>(bits(random));
    const float specials[] = {0.0f,
                              -0.0f,
                              -1.0f,
                              1e-3f,
                              0.775f,
                              1e-15f,
                              1e-16f,
                              std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::denorm_min()};
    std::copy(std::begin(specials), std::end(specials), values.begin());
    return values;
}

// Inputs whose plain result lands next to a float rounding boundary: the
// floats around the preimage of midpoints between neighbouring results, one
// in eight of them near 0 dB, where the result itself is smallest.
std::vector<float> near_boundaries(std::mt19937 &random, size_t count, bool dbu)
{
    std::uniform_real_distribution<float> level(-200.0f, 200.0f);
    std::uniform_real_distribution<float> near_zero(-0.05f, 0.05f);
    std::vector<float> values;
    while (values.size() < count) {
        const float result = values.size() % 8 == 0 ? near_zero(random) : level(random);
        const double midpoint = (static_cast<double>(result) + std::nextafter(result, 1000.0f)) / 2.0;
        const double preimage =
            dbu ? 0.775 * std::pow(10.0, midpoint / 20.0) : std::pow(10.0, midpoint / 10.0) / 1000.0;
        float x = static_cast<float>(preimage);
        for (int k = 0; k < 8; ++k)
            x = std::nextafter(x, 0.0f);
        for (int k = 0; k < 17; ++k, x = std::nextafter(x, 1e30f))
            values.push_back(x);
    }
    values.resize(count);
    return values;
}

// How far a plain result lies from the nearest float rounding boundary,
// relative to its size.
double distance_to_boundary(double result)
{
    const float rounded = static_cast<float>(result);
    const double up = (static_cast<double>(rounded) +
                       std::nextafter(rounded, std::numeric_limits<float>::infinity())) /
                      2.0;
    const double down = (static_cast<double>(rounded) +
                         std::nextafter(rounded, -std::numeric_limits<float>::infinity())) /
                        2.0;
    return std::fmin(std::fabs(result - up), std::fabs(result - down)) / std::fabs(result);
}

bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

class Exactness : public ModuleState {
protected:
    std::mt19937 random{20261208};

    void SetUp() override
    {
        ASSERT_EQ(qn_set_spectr_signal_length(2 * kBins), 0);
        qn_spectr_remove_DC(0);
    }

    using Converter = int (*)(const float *, const float *, float **, float **, float, float *,
                              float *, float *, float *);

    // Converts the values kBins at a time (A and B halves) and compares
    // every stored float with the plain formula.
    void expect_converted_exactly(Converter converter, float (*plain)(float),
                                  const std::vector<float> &values)
    {
        std::vector<float> a_out(kBins), b_out(kBins);
        float peak[4];
        size_t mismatches = 0;
        for (size_t start = 0; start + 2 * kBins <= values.size(); start += 2 * kBins) {
            float *a = a_out.data(), *b = b_out.data();
            converter(&values[start], &values[start + kBins], &a, &b, 1.0f, &peak[0], &peak[1],
                      &peak[2], &peak[3]);
            for (int i = 0; i < kBins; ++i) {
                mismatches += !same_bits(a_out[i], plain(values[start + i]));
                mismatches += !same_bits(b_out[i], plain(values[start + kBins + i]));
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
};

TEST_F(Exactness, DecibelConversionsStoreThePlainFloats)
{
    const size_t count = static_cast<size_t>(kCalls) * 2 * kBins;
    const std::vector<float> random_values = random_floats(random, count);
    expect_converted_exactly(qn_spectr_cnv_to_dBm, spectrum_plain::dbm, random_values);
    expect_converted_exactly(qn_spectr_cnv_to_dBm, spectrum_plain::dbm,
                             near_boundaries(random, count, false));

    qn_spectr_set_mode(SPECTR_MODE_DBM);
    expect_converted_exactly(qn_spectr_cnv_to_metric, spectrum_plain::dbm, random_values);
    qn_spectr_set_mode(SPECTR_MODE_DBU);
    expect_converted_exactly(qn_spectr_cnv_to_metric, spectrum_plain::dbu, random_values);
    expect_converted_exactly(qn_spectr_cnv_to_metric, spectrum_plain::dbu,
                             near_boundaries(random, count, true));
}

// The running maximum of the plain loop: compared in double, first wins.
struct PlainPeak {
    double value;
    int index;
};

PlainPeak plain_peak(const std::vector<float> &values, double start_maximum)
{
    PlainPeak peak{start_maximum, 0};
    for (int i = 0; i < static_cast<int>(values.size()); ++i) {
        if (static_cast<double>(values[i]) > peak.value)
            peak = PlainPeak{values[i], i};
    }
    return peak;
}

// Volts are copied, so the peak search sees exactly these values: few
// distinct ones, with 0 and -0, NaNs and repeated maxima in any lane.
TEST_F(Exactness, PeakSearchFindsThePlainFirstMaximum)
{
    const float choices[] = {
        0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), -20000.0f, 1.5f, -3.0f, 1.5f, 7.0f};
    std::uniform_int_distribution<int> pick(0, 7);
    std::uniform_int_distribution<int> ceiling(0, 7);
    qn_spectr_set_mode(SPECTR_MODE_VOLT);
    std::vector<float> a(kBins), b(kBins), a_out(kBins), b_out(kBins);
    size_t mismatches = 0;
    for (int round = 0; round < 2000; ++round) {
        const int top = ceiling(random);  // limits the choices, so that 0s or NaNs may win
        for (int i = 0; i < kBins; ++i) {
            a[i] = choices[pick(random) % (top + 1)];
            b[i] = choices[pick(random) % (top + 1)];
        }
        float peak[4];
        float *pa = a_out.data(), *pb = b_out.data();
        qn_spectr_cnv_to_metric(a.data(), b.data(), &pa, &pb, 1.0f, &peak[0], &peak[1], &peak[2],
                                &peak[3]);
        const PlainPeak expected_a = plain_peak(a, -10000.0);
        const PlainPeak expected_b = plain_peak(b, -10000.0);
        mismatches += !same_bits(peak[0], static_cast<float>(expected_a.value));
        mismatches += !same_bits(peak[1], expected_a.index / 8192.0f * 125000000.0f * 0.5f);
        mismatches += !same_bits(peak[2], static_cast<float>(expected_b.value));
        mismatches += !same_bits(peak[3], expected_b.index / 8192.0f * 125000000.0f * 0.5f);
    }
    EXPECT_EQ(mismatches, 0u);
}

// The near-boundary samples really reach the region where a less careful
// log10 would round differently.
TEST_F(Exactness, BoundarySamplesComeCloseToRoundingBoundaries)
{
    const std::vector<float> values = near_boundaries(random, 1 << 20, false);
    size_t close = 0;
    for (float v : values) {
        const double x = v;
        close += distance_to_boundary(10.0 * std::log10(x * 1000.0)) < 0x1p-36;
    }
    EXPECT_GT(close, 10u);
}

TEST_F(Exactness, DecimationStoresThePlainFloatsInEveryMode)
{
    std::uniform_real_distribution<double> exponent(-30.0, 30.0);
    std::vector<double> magnitudes(1 << 21);
    for (double &m : magnitudes)
        m = std::pow(2.0, exponent(random));
    // Below a window sum of 1 the largest magnitudes overflow once doubled.
    const double specials[] = {0.0,
                               -0.0,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -1.0,
                               1e300,
                               1e-300,
                               std::numeric_limits<double>::max(),
                               1.2e308,
                               7.5e307,
                               4.9e-320,
                               std::numeric_limits<double>::denorm_min()};
    std::copy(std::begin(specials), std::end(specials), magnitudes.begin());
    c_imp = 75.0;
    const int in_len = static_cast<int>(magnitudes.size());
    for (const double window_sum : {8359.5, 0.75})
        for (const int mode : {0, 1, 2, 5}) {  // dBm, volts, dBu, unknown
            qn_window_sum = window_sum;
            qn_spectr_set_mode(mode);
            // Steps 1, 4 and 3 with a clamped last group.
            for (int out_len : {in_len, in_len / 4, in_len / 3 + 1}) {
                const std::vector<float> expected = plain_decimate(magnitudes, out_len, mode);
                std::vector<float> a(out_len), b(out_len);
                float *pa = a.data(), *pb = b.data();
                ASSERT_EQ(qn_spectr_decimate(magnitudes.data(), magnitudes.data(), &pa, &pb, in_len,
                                             out_len),
                          0);
                EXPECT_EQ(std::memcmp(a.data(), expected.data(), a.size() * sizeof(float)), 0)
                    << "mode " << mode << ", out_len " << out_len;
                EXPECT_EQ(std::memcmp(b.data(), expected.data(), b.size() * sizeof(float)), 0);
            }
        }
}

}  // namespace

#include "../src/log10_estimate.h"

namespace {

// The conversions rely on this bound to decide when the estimate rounds
// like libm; check it over every argument the dB formulas can produce, and
// densely around 1, where the result comes closest to 0.
TEST(Log10Estimate, StaysWithinItsErrorBound)
{
    std::mt19937 random{7};
    std::uniform_real_distribution<double> decades(-16.0, 42.0);
    std::uniform_real_distribution<double> near_one(-0.02, 0.02);
    size_t outside = 0;
    for (int i = 0; i < 1 << 22; ++i) {
        const double y = i % 4 == 0 ? 1.0 + near_one(random) : std::pow(10.0, decades(random));
        const double expected = 10.0 * std::log10(y);
        const double estimate = spectrum_detail::decibel_estimate(y);
        outside += std::fabs(estimate - expected) >
                   spectrum_detail::kDecibelEstimateError * std::fabs(expected);
    }
    EXPECT_EQ(outside, 0u);
}

}  // namespace
