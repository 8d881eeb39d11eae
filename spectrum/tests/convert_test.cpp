#include "module_state.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kBins = 128;  // N = 256

struct Peaks {
    float a = 0, a_freq = -1, b = 0, b_freq = -1;
};

class Convert : public ModuleState {
protected:
    std::vector<float> a_in = std::vector<float>(kBins, 1e-3f);
    std::vector<float> b_in = std::vector<float>(kBins, 1e-3f);
    std::vector<float> a_out = std::vector<float>(kBins, 5.0f);
    std::vector<float> b_out = std::vector<float>(kBins, 5.0f);
    Peaks peaks;

    void SetUp() override { ASSERT_EQ(qn_set_spectr_signal_length(2 * kBins), 0); }

    using Converter = int (*)(const float *, const float *, float **, float **, float, float *,
                              float *, float *, float *);

    int convert(Converter converter, float decimation = 1.0f)
    {
        float *pa = a_out.data(), *pb = b_out.data();
        return converter(a_in.data(), b_in.data(), &pa, &pb, decimation, &peaks.a, &peaks.a_freq,
                         &peaks.b, &peaks.b_freq);
    }

    int convert_in_place(Converter converter)
    {
        float *pa = a_in.data(), *pb = b_in.data();
        return converter(a_in.data(), b_in.data(), &pa, &pb, 1.0f, &peaks.a, &peaks.a_freq, &peaks.b,
                         &peaks.b_freq);
    }
};

TEST_F(Convert, DbmOfMilliwattAndFloor)
{
    qn_spectr_remove_DC(0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    a_in[1] = 0.0f;
    a_in[2] = -1.0f;
    a_in[3] = nan;
    a_in[4] = 1e-15f;  // x * 1000 equals about the floor
    ASSERT_EQ(convert(qn_spectr_cnv_to_dBm), 0);
    EXPECT_NEAR(a_out[0], 0.0f, 1e-6);
    EXPECT_EQ(a_out[1], -120.0f);
    EXPECT_EQ(a_out[2], -120.0f);
    EXPECT_EQ(a_out[3], -120.0f);
    EXPECT_NEAR(a_out[4], -120.0f, 1e-3);

    // The metric converter in mode 0 converts the same way.
    const auto dbm = a_out;
    qn_spectr_set_mode(SPECTR_MODE_DBM);
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    EXPECT_EQ(a_out, dbm);
}

TEST_F(Convert, DbuOfReferenceAndFloorOnScaledValue)
{
    qn_spectr_remove_DC(0);
    qn_spectr_set_mode(SPECTR_MODE_DBU);
    a_in[0] = 0.775f;
    a_in[1] = 1e-16f;
    a_in[2] = 1e-12f;  // above the floor once scaled, far below it as dBu
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    EXPECT_NEAR(a_out[0], 0.0f, 1e-6);
    EXPECT_EQ(a_out[1], -120.0f);
    EXPECT_NEAR(a_out[2], -237.8f, 0.05);
}

TEST_F(Convert, VoltsAreCopiedBitForBit)
{
    qn_spectr_remove_DC(0);
    qn_spectr_set_mode(SPECTR_MODE_VOLT);
    for (int i = 0; i < kBins; ++i)
        a_in[i] = std::bit_cast<float>(static_cast<uint32_t>(0x3f800001u + 977u * i));
    a_in[5] = std::bit_cast<float>(0x7fa00001u);  // signalling NaN with payload
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    for (int i = 0; i < kBins; ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(a_out[i]), std::bit_cast<uint32_t>(a_in[i])) << i;
}

TEST_F(Convert, PeakKeepsLowerIndexAndReportsBinFrequency)
{
    qn_spectr_remove_DC(0);
    a_in[10] = 0.5f;
    a_in[20] = 0.5f;
    b_in[64] = 2.0f;
    ASSERT_EQ(convert(qn_spectr_cnv_to_dBm, 4.0f), 0);
    EXPECT_EQ(peaks.a, a_out[10]);
    EXPECT_EQ(peaks.a_freq, 10.0f / 128.0f * (125000000.0f / 4.0f) * 0.5f);
    EXPECT_EQ(peaks.b, b_out[64]);
    EXPECT_EQ(peaks.b_freq, 64.0f / 128.0f * (125000000.0f / 4.0f) * 0.5f);
}

TEST_F(Convert, PeakFrequencyAtFullLength)
{
    ASSERT_EQ(qn_set_spectr_signal_length(16384), 0);
    std::vector<float> a(8192, 0.0f), b(8192, 0.0f), out_a(8192), out_b(8192);
    a[819] = 1.0f;
    float *pa = out_a.data(), *pb = out_b.data();
    ASSERT_EQ(qn_spectr_cnv_to_dBm(a.data(), b.data(), &pa, &pb, 1.0f, &peaks.a, &peaks.a_freq,
                                   &peaks.b, &peaks.b_freq),
              0);
    EXPECT_NEAR(peaks.a_freq, 6.2485e6, 50.0);
    EXPECT_EQ(peaks.b, -120.0f);
    EXPECT_EQ(peaks.b_freq, 0.0f);
}

TEST_F(Convert, DcSuppressionCopiesElementTwo)
{
    for (int i = 0; i < kBins; ++i)
        a_in[i] = b_in[i] = 1e-3f * static_cast<float>(i + 1);
    const float separate_first = a_in[0];
    ASSERT_EQ(convert(qn_spectr_cnv_to_dBm), 0);
    // Separate arrays: the loop overwrites the copied elements.
    EXPECT_NEAR(a_out[0], 10.0f * std::log10(separate_first * 1000.0f), 1e-5);
    EXPECT_NE(a_out[0], a_out[2]);

    ASSERT_EQ(convert_in_place(qn_spectr_cnv_to_dBm), 0);
    EXPECT_EQ(a_in[0], a_in[2]);
    EXPECT_EQ(a_in[1], a_in[2]);
    EXPECT_EQ(b_in[1], b_in[2]);
    EXPECT_NEAR(a_in[2], 10.0f * std::log10(3.0f), 1e-5);
}

TEST_F(Convert, UnknownModeConvertsNothing)
{
    qn_spectr_set_mode(3);
    for (int i = 0; i < kBins; ++i)
        a_out[i] = static_cast<float>(-20000 + i);
    b_out.assign(kBins, -20000.0f);
    a_out[2] = 42.0f;

    qn_spectr_remove_DC(0);
    auto before = a_out;
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    EXPECT_EQ(a_out, before);
    EXPECT_EQ(peaks.a, 42.0f);
    EXPECT_EQ(peaks.b, -10000.0f);  // nothing above the starting value
    EXPECT_EQ(peaks.b_freq, 0.0f);

    qn_spectr_remove_DC(1);
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    before[0] = before[1] = 42.0f;
    EXPECT_EQ(a_out, before);
    EXPECT_EQ(peaks.a, 42.0f);
    EXPECT_EQ(peaks.a_freq, 0.0f);  // ties keep the lower index
}

TEST_F(Convert, AllNaNReportsStartingValuesOrFloor)
{
    a_in.assign(kBins, std::numeric_limits<float>::quiet_NaN());
    b_in = a_in;
    ASSERT_EQ(convert(qn_spectr_cnv_to_dBm), 0);
    EXPECT_EQ(peaks.a, -120.0f);
    EXPECT_EQ(peaks.a_freq, 0.0f);

    qn_spectr_set_mode(SPECTR_MODE_VOLT);
    ASSERT_EQ(convert(qn_spectr_cnv_to_metric), 0);
    EXPECT_EQ(peaks.a, -10000.0f);
    EXPECT_EQ(peaks.b, -10000.0f);
    EXPECT_EQ(peaks.b_freq, 0.0f);
}

// Each null pointer argument in turn: -1, nothing written, no message.
TEST_F(Convert, NullArgumentsAreRefused)
{
    struct Args {
        const float *a_in, *b_in;
        float **a_out, **b_out;
        float *a_peak, *a_freq, *b_peak, *b_freq;
    };
    float *pa = a_out.data(), *pb = b_out.data(), *null_array = nullptr;
    const Args valid{a_in.data(), b_in.data(),   &pa,      &pb,
                     &peaks.a,    &peaks.a_freq, &peaks.b, &peaks.b_freq};
    std::vector<Args> cases(10, valid);
    cases[0].a_in = nullptr;
    cases[1].b_in = nullptr;
    cases[2].a_out = nullptr;
    cases[3].b_out = nullptr;
    cases[4].a_out = &null_array;
    cases[5].b_out = &null_array;
    cases[6].a_peak = nullptr;
    cases[7].a_freq = nullptr;
    cases[8].b_peak = nullptr;
    cases[9].b_freq = nullptr;
    for (const Converter converter : {qn_spectr_cnv_to_dBm, qn_spectr_cnv_to_metric}) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Args &c = cases[i];
            qn::test::StderrCapture capture;
            EXPECT_EQ(converter(c.a_in, c.b_in, c.a_out, c.b_out, 1.0f, c.a_peak, c.a_freq, c.b_peak,
                                c.b_freq),
                      -1)
                << "null argument case " << i;
            EXPECT_EQ(capture.finish(), "");
        }
    }
    EXPECT_EQ(a_out, std::vector<float>(kBins, 5.0f));
    EXPECT_EQ(b_out, std::vector<float>(kBins, 5.0f));
    EXPECT_EQ(peaks.a_freq, -1.0f);
    EXPECT_EQ(peaks.b_freq, -1.0f);
}

TEST(FreqAxis, BinFrequencies)
{
    std::vector<float> axis(8192, -1.0f);
    float *p = axis.data();
    ASSERT_EQ(qn_get_spectr_signal_length(), 16384);
    ASSERT_EQ(qn_spectr_prepare_freq_vector(&p, 125e6, 1.0f), 0);
    EXPECT_EQ(axis[0], 0.0f);
    EXPECT_NEAR(axis[1], 7629.39f, 0.01);
    EXPECT_NEAR(axis[8191], 62.49e6f, 1e4);
    EXPECT_EQ(axis[8191], 8191.0f / 16384.0f * 125e6f);

    float *null_array = nullptr;
    qn::test::StderrCapture capture;
    EXPECT_EQ(qn_spectr_prepare_freq_vector(&null_array, 125e6, 1.0f), -1);
    EXPECT_EQ(qn_spectr_prepare_freq_vector(nullptr, 125e6, 1.0f), -1);
    EXPECT_EQ(capture.finish(), "qn_spectr_prepare_freq_vector() not initialized\n"
                                "qn_spectr_prepare_freq_vector() not initialized\n");
}

}  // namespace
