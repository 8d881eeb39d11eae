#include "module_state.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace {

using Fft = ModuleState;

struct Spectra {
    std::vector<double> a, b;
    double *pa, *pb;
    explicit Spectra(int bins, double fill = -1.0)
        : a(bins, fill), b(bins, fill), pa(a.data()), pb(b.data())
    {
    }
};

TEST_F(Fft, RefusesBeforeInitAndNullArraysSilently)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    std::vector<double> in(256, 1.0);
    Spectra out(128);
    double *null_array = nullptr;

    qn::test::StderrCapture capture;
    EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, &out.pb), -1);
    EXPECT_EQ(capture.finish(), "qn_spect_fft not initialized\n");

    for (bool initialised : {false, true}) {
        if (initialised) {
            ASSERT_EQ(qn_spectr_fft_init(), 0);
        }
        qn::test::StderrCapture second_capture;
        EXPECT_EQ(qn_spectr_fft(nullptr, in.data(), &out.pa, &out.pb), -1);
        EXPECT_EQ(qn_spectr_fft(in.data(), nullptr, &out.pa, &out.pb), -1);
        EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &null_array, &out.pb), -1);
        EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, &null_array), -1);
        EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), nullptr, &out.pb), -1);
        EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, nullptr), -1);
        EXPECT_EQ(second_capture.finish(), "");
    }
    EXPECT_EQ(out.a, std::vector<double>(128, -1.0));
}

TEST_F(Fft, CosineOnABinGivesHalfAmplitudeTimesN)
{
    const int n = 1024, k = 37;
    const double amplitude = 1.5;
    ASSERT_EQ(qn_set_spectr_signal_length(n), 0);
    ASSERT_EQ(qn_spectr_fft_init(), 0);
    std::vector<double> a(n), b(n, -0.25);
    for (int i = 0; i < n; ++i)
        a[i] = amplitude * std::cos(2.0 * std::numbers::pi * k * i / n);
    Spectra out(n / 2);
    ASSERT_EQ(qn_spectr_fft(a.data(), b.data(), &out.pa, &out.pb), 0);
    for (int i = 0; i < n / 2; ++i)
        EXPECT_NEAR(out.a[i], i == k ? amplitude * n / 2 : 0.0, 1e-9) << i;
    // A constant gives its magnitude times N at DC and nothing elsewhere.
    EXPECT_NEAR(out.b[0], 0.25 * n, 1e-12);
    EXPECT_NEAR(out.b[1], 0.0, 1e-12);
}

TEST_F(Fft, RefusesAfterLengthChangeUntilReinitialised)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    ASSERT_EQ(qn_spectr_fft_init(), 0);
    ASSERT_EQ(qn_set_spectr_signal_length(1024), 0);
    std::vector<double> in(1024, 1.0);
    Spectra out(512);

    qn::test::StderrCapture capture;
    EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, &out.pb), -1);
    EXPECT_EQ(capture.finish(), "qn_spect_fft initialized for another signal length\n");
    EXPECT_EQ(out.a, std::vector<double>(512, -1.0));

    ASSERT_EQ(qn_spectr_fft_init(), 0);
    ASSERT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, &out.pb), 0);
    EXPECT_NEAR(out.a[0], 1024.0, 1e-12);
}

TEST_F(Fft, InitTwiceAndCleanAreSafe)
{
    EXPECT_EQ(qn_spectr_fft_clean(), 0);  // nothing to release
    ASSERT_EQ(qn_set_spectr_signal_length(512), 0);
    ASSERT_EQ(qn_spectr_fft_init(), 0);
    ASSERT_EQ(qn_spectr_fft_init(), 0);  // releases the first plan (leak check under ASan)
    EXPECT_NE(qn_kiss_fft_cfg, nullptr);
    EXPECT_NE(qn_kiss_fft_out1, nullptr);
    EXPECT_NE(qn_kiss_fft_out2, nullptr);
    EXPECT_EQ(qn_spectr_fft_clean(), 0);
    EXPECT_EQ(qn_kiss_fft_cfg, nullptr);
    EXPECT_EQ(qn_kiss_fft_out1, nullptr);
    EXPECT_EQ(qn_kiss_fft_out2, nullptr);

    std::vector<double> in(512, 1.0);
    Spectra out(256);
    qn::test::StderrCapture capture;
    EXPECT_EQ(qn_spectr_fft(in.data(), in.data(), &out.pa, &out.pb), -1);
    EXPECT_EQ(capture.finish(), "qn_spect_fft not initialized\n");
}

}  // namespace
