#include "module_state.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using Window = ModuleState;

std::vector<double> coefficients(int n) { return {qn_window, qn_window + n}; }

TEST_F(Window, RectangularIsAllOnes)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_RECTANGULAR), 0);
    for (double w : coefficients(256))
        ASSERT_EQ(w, 1.0);
    EXPECT_EQ(qn_window_sum, 256.0);
    EXPECT_EQ(qn_spectr_get_current_windows(), WINDOW_RECTANGULAR);
}

TEST_F(Window, CosineWindowsHaveTheirEndsAndSums)
{
    ASSERT_EQ(qn_set_spectr_signal_length(1024), 0);

    ASSERT_EQ(qn_spectr_window_init(WINDOW_HAMMING), 0);
    EXPECT_NEAR(qn_window[0], 0.08, 1e-15);
    EXPECT_NEAR(qn_window[1023], 0.08, 1e-12);
    EXPECT_NEAR(qn_window_sum, 0.54 * 1024 - 0.46, 1e-9);

    // Scaled Hann: the centre approaches 2 x 0.8165 but never reaches it.
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HANN), 0);
    const auto hann = coefficients(1024);
    const double top = *std::max_element(hann.begin(), hann.end());
    EXPECT_NEAR(top, 1.6329962, 1e-7);
    EXPECT_LT(top, 1.633);
    EXPECT_EQ(qn_window[0], 0.0);

    ASSERT_EQ(qn_spectr_window_init(WINDOW_BLACKMAN_HARRIS), 0);
    EXPECT_NEAR(qn_window[0], 0.35875 - 0.48829 + 0.14128 - 0.01168, 1e-15);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_FLAT_TOP), 0);
    EXPECT_NEAR(qn_window[0], 0.21557895 - 0.41663158 + 0.277263158 - 0.083578947 + 0.006947368,
                1e-15);
}

TEST_F(Window, KaiserEndsAreTheInverseOfI0Beta)
{
    ASSERT_EQ(qn_set_spectr_signal_length(1024), 0);
    for (auto [mode, beta] : {std::pair{WINDOW_KAISER_4, 4.0}, std::pair{WINDOW_KAISER_8, 8.0}}) {
        ASSERT_EQ(qn_spectr_window_init(mode), 0);
        const auto w = coefficients(1024);
        EXPECT_DOUBLE_EQ(w.front(), 1.0 / __zeroethOrderBessel(beta));
        EXPECT_DOUBLE_EQ(w.back(), w.front());
        // The centre lies between two samples for a power-of-two N.
        EXPECT_LT(*std::max_element(w.begin(), w.end()), 1.0);
        EXPECT_GT(*std::max_element(w.begin(), w.end()), 0.99999);
    }
    ASSERT_EQ(qn_spectr_window_init(WINDOW_KAISER_4), 0);
    EXPECT_NEAR(qn_window[0], 0.0885, 1e-4);
}

TEST_F(Window, BesselSeries)
{
    EXPECT_EQ(__zeroethOrderBessel(0.0), 1.0);
    EXPECT_NEAR(__zeroethOrderBessel(4.0), 11.3019, 1e-4);
    EXPECT_NEAR(__zeroethOrderBessel(8.0), 427.564, 1e-2);
    EXPECT_EQ(__zeroethOrderBessel(-4.0), __zeroethOrderBessel(4.0));
}

TEST_F(Window, InvalidModeLeavesNoWindowAndFilterRefuses)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    std::vector<double> in(256, 2.0);
    for (int mode : {7, -1}) {
        ASSERT_EQ(qn_spectr_window_init(WINDOW_HAMMING), 0);
        EXPECT_EQ(qn_spectr_window_init(mode), -1);
        EXPECT_EQ(qn_window, nullptr);
        EXPECT_EQ(qn_window_sum, 0.0);
        EXPECT_EQ(qn_spectr_get_current_windows(), mode);

        std::vector<double> a(256, -5.0), b(256, -5.0);
        double *pa = a.data(), *pb = b.data();
        qn::test::StderrCapture capture;
        EXPECT_EQ(qn_spectr_window_filter(in.data(), in.data(), &pa, &pb), -1);
        EXPECT_EQ(capture.finish(), "");
        EXPECT_EQ(a, std::vector<double>(256, -5.0));
        EXPECT_EQ(b, std::vector<double>(256, -5.0));
    }
}

TEST_F(Window, FilterMultipliesBothChannelsAlsoInPlace)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HAMMING), 0);
    std::vector<double> a(256), b(256);
    for (int i = 0; i < 256; ++i) {
        a[i] = i - 100.5;
        b[i] = 3.0 * i;
    }
    std::vector<double> a_out(256), b_out(256);
    double *pa = a_out.data(), *pb = b_out.data();
    ASSERT_EQ(qn_spectr_window_filter(a.data(), b.data(), &pa, &pb), 0);
    EXPECT_EQ(pa, a_out.data());
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(a_out[i], qn_window[i] * a[i]);
        ASSERT_EQ(b_out[i], qn_window[i] * b[i]);
    }

    double *in_place_a = a.data(), *in_place_b = b.data();
    ASSERT_EQ(qn_spectr_window_filter(a.data(), b.data(), &in_place_a, &in_place_b), 0);
    EXPECT_EQ(a, a_out);
    EXPECT_EQ(b, b_out);
}

TEST_F(Window, FilterRejectsNullArrays)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HANN), 0);
    std::vector<double> in(256, 1.0), out(256, 0.0);
    double *p = out.data(), *null_array = nullptr;
    EXPECT_EQ(qn_spectr_window_filter(nullptr, in.data(), &p, &p), -1);
    EXPECT_EQ(qn_spectr_window_filter(in.data(), nullptr, &p, &p), -1);
    EXPECT_EQ(qn_spectr_window_filter(in.data(), in.data(), &null_array, &p), -1);
    EXPECT_EQ(qn_spectr_window_filter(in.data(), in.data(), &p, &null_array), -1);
    EXPECT_EQ(qn_spectr_window_filter(in.data(), in.data(), nullptr, &p), -1);
    EXPECT_EQ(qn_spectr_window_filter(in.data(), in.data(), &p, nullptr), -1);
    EXPECT_EQ(out, std::vector<double>(256, 0.0));
}

TEST_F(Window, LongerNAfterInitSeesZerosPastTheOldCoefficients)
{
    ASSERT_EQ(qn_set_spectr_signal_length(256), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_RECTANGULAR), 0);
    ASSERT_EQ(qn_set_spectr_signal_length(512), 0);
    std::vector<double> in(512, 1.0), a(512, -1.0), b(512, -1.0);
    double *pa = a.data(), *pb = b.data();
    ASSERT_EQ(qn_spectr_window_filter(in.data(), in.data(), &pa, &pb), 0);
    EXPECT_EQ(a[255], 1.0);
    EXPECT_EQ(a[256], 0.0);
    EXPECT_EQ(b[511], 0.0);
}

TEST_F(Window, CleanIsRepeatable)
{
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HANN), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HANN), 0);  // releases the first buffer
    EXPECT_EQ(qn_spectr_window_clean(), 0);
    EXPECT_EQ(qn_window, nullptr);
    EXPECT_EQ(qn_spectr_window_clean(), 0);
}

}  // namespace
