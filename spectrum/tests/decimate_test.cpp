#include "module_state.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr float kUnwritten = -7.0f;

class Decimate : public ModuleState {
protected:
    std::vector<float> a_out, b_out;
    float *pa = nullptr, *pb = nullptr;

    // Mode 1 with a window sum of 2 makes each contribution equal to its bin.
    void SetUp() override
    {
        qn_spectr_set_mode(SPECTR_MODE_VOLT);
        qn_window_sum = 2.0;
    }

    int run(const std::vector<double> &a, const std::vector<double> &b, int in_len, int out_len,
            size_t room)
    {
        a_out.assign(room, kUnwritten);
        b_out.assign(room, kUnwritten);
        pa = a_out.data();
        pb = b_out.data();
        return qn_spectr_decimate(a.data(), b.data(), &pa, &pb, in_len, out_len);
    }
};

std::vector<double> ramp(int n, double scale = 1.0)
{
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = scale * i;
    return v;
}

TEST_F(Decimate, GroupsAreMeansOfConsecutiveBins)
{
    const auto a = ramp(8192), b = ramp(8192, -2.0);
    ASSERT_EQ(run(a, b, 8192, 2048, 2048), 0);
    for (int g = 0; g < 2048; ++g) {
        ASSERT_EQ(a_out[g], static_cast<float>(4 * g + 1.5f)) << g;
        ASSERT_EQ(b_out[g], -2.0f * static_cast<float>(4 * g + 1.5f)) << g;
    }
    ASSERT_EQ(run(a, b, 8192, 8192, 8192), 0);
    for (int g = 0; g < 8192; ++g)
        ASSERT_EQ(a_out[g], static_cast<float>(g));
}

TEST_F(Decimate, GroupStartingPastTheInputStopsWithMessage)
{
    // Step rounds to 3: group 2730 holds only bins 8190 and 8191, group 2731
    // would start past the input.
    const auto a = ramp(8192), b = ramp(8192);
    qn::test::StderrCapture capture;
    EXPECT_EQ(run(a, b, 8192, 3000, 3000), -1);
    EXPECT_EQ(capture.finish(), "qn_spectr_decimate() index too high\n");
    EXPECT_EQ(a_out[0], 1.0f);
    EXPECT_EQ(a_out[2729], 8188.0f);
    EXPECT_EQ(a_out[2730], 8190.5f);  // clamped: mean of the two bins that exist
    EXPECT_EQ(a_out[2731], kUnwritten);

    // Step rounds to 0 and is forced to 1.
    const auto shorter = ramp(100);
    qn::test::StderrCapture second_capture;
    EXPECT_EQ(run(shorter, shorter, 100, 1000, 1000), -1);
    EXPECT_EQ(second_capture.finish(), "qn_spectr_decimate() index too high\n");
    EXPECT_EQ(a_out[99], 99.0f);
    EXPECT_EQ(a_out[100], kUnwritten);
}

TEST_F(Decimate, LastGroupIsClampedToTheInput)
{
    // Step 3 over 10 bins: the last group is bin 9 alone. The input vector
    // holds exactly 10 bins, so ASan catches any read beyond.
    const auto a = ramp(10), b = ramp(10, 3.0);
    ASSERT_EQ(run(a, b, 10, 4, 4), 0);
    EXPECT_EQ(a_out, (std::vector<float>{1.0f, 4.0f, 7.0f, 9.0f}));
    EXPECT_EQ(b_out[3], 27.0f);
}

TEST_F(Decimate, ModesNormaliseByWindowSumAndImpedance)
{
    const std::vector<double> x(4, 256.0);
    qn_window_sum = 512.0;
    c_imp = 50.0;

    qn_spectr_set_mode(SPECTR_MODE_DBM);
    ASSERT_EQ(run(x, x, 4, 4, 4), 0);
    const double rms = 256.0 / 512.0 * 2.0 / 1.414213562;
    EXPECT_EQ(a_out[0], static_cast<float>(rms * rms / 50.0));
    EXPECT_NEAR(a_out[0], 0.01, 1e-9);

    qn_spectr_set_mode(SPECTR_MODE_VOLT);
    ASSERT_EQ(run(x, x, 4, 4, 4), 0);
    EXPECT_EQ(a_out[0], 1.0f);

    qn_spectr_set_mode(SPECTR_MODE_DBU);
    ASSERT_EQ(run(x, x, 4, 2, 2), 0);
    EXPECT_EQ(b_out[1], static_cast<float>(1.0 / 1.414213562));

    qn_spectr_set_mode(5);
    ASSERT_EQ(run(x, x, 4, 2, 2), 0);
    EXPECT_EQ(a_out, std::vector<float>(2, 0.0f));
}

TEST_F(Decimate, ZeroWindowSumGivesInfAndNaN)
{
    qn_window_sum = 0.0;
    const std::vector<double> a{0.0, 1.0};
    ASSERT_EQ(run(a, a, 2, 2, 2), 0);
    EXPECT_TRUE(std::isnan(a_out[0]));
    EXPECT_TRUE(std::isinf(a_out[1]));
}

TEST_F(Decimate, NullArraysAndEmptyOutputWriteNothing)
{
    const auto a = ramp(16);
    float *null_array = nullptr;
    a_out.assign(4, kUnwritten);
    pa = a_out.data();
    EXPECT_EQ(qn_spectr_decimate(nullptr, a.data(), &pa, &pa, 16, 4), -1);
    EXPECT_EQ(qn_spectr_decimate(a.data(), nullptr, &pa, &pa, 16, 4), -1);
    EXPECT_EQ(qn_spectr_decimate(a.data(), a.data(), &null_array, &pa, 16, 4), -1);
    EXPECT_EQ(qn_spectr_decimate(a.data(), a.data(), &pa, &null_array, 16, 4), -1);
    EXPECT_EQ(a_out, std::vector<float>(4, kUnwritten));

    // No step can be formed from these; none must fault (UBSan).
    for (int out_len : {0, -1, INT_MIN}) {
        EXPECT_EQ(run(a, a, 16, out_len, 4), 0);
        EXPECT_EQ(run(a, a, INT_MAX, out_len, 4), 0);
        EXPECT_EQ(a_out, std::vector<float>(4, kUnwritten));
    }
}

TEST_F(Decimate, ExtremeLengthsStopAtTheFirstMissingGroup)
{
    const auto a = ramp(16);
    qn::test::StderrCapture capture;
    EXPECT_EQ(run(a, a, -5, 4, 4), -1);
    EXPECT_EQ(run(a, a, 0, 4, 4), -1);
    EXPECT_EQ(capture.finish(),
              "qn_spectr_decimate() index too high\nqn_spectr_decimate() index too high\n");
    EXPECT_EQ(a_out, std::vector<float>(4, kUnwritten));
}

}  // namespace
