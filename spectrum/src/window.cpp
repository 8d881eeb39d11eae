// Window coefficients for the current signal length and their application.
#include "spectrum.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

extern "C" {
double *qn_window = nullptr;
double qn_window_sum = 1.0;
}

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;
constexpr double kSixPi = 18.84955592153876;
constexpr double kEightPi = 25.132741228718345;

// cos(i * (k * 2 pi) / (N - 1)); the multiple of 2 pi is a literal so that
// the product with i is the first rounding.
inline double cosine_term(int i, double multiple_of_two_pi, int last_index)
{
    return std::cos(static_cast<double>(i) * multiple_of_two_pi / static_cast<double>(last_index));
}

double rectangular(int, int) { return 1.0; }

double hann(int i, int last) { return 0.8165 * (1.0 - cosine_term(i, kTwoPi, last)); }

double hamming(int i, int last) { return 0.54 - 0.46 * cosine_term(i, kTwoPi, last); }

double blackman_harris(int i, int last)
{
    const double c1 = cosine_term(i, kTwoPi, last);
    const double c2 = cosine_term(i, kFourPi, last);
    const double c3 = cosine_term(i, kSixPi, last);
    return 0.35875 - 0.48829 * c1 + 0.14128 * c2 - 0.01168 * c3;
}

double flat_top(int i, int last)
{
    const double c1 = cosine_term(i, kTwoPi, last);
    const double c2 = cosine_term(i, kFourPi, last);
    const double c3 = cosine_term(i, kSixPi, last);
    const double c4 = cosine_term(i, kEightPi, last);
    return 0.21557895 - 0.41663158 * c1 + 0.277263158 * c2 - 0.083578947 * c3 + 0.006947368 * c4;
}

template <double (*coefficient)(int, int)>
double fill_cosine_window(double *window, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        window[i] = coefficient(i, n - 1);
        sum += window[i];
    }
    return sum;
}

double fill_kaiser(double *window, int n, double beta)
{
    const double half_span = static_cast<double>(n - 1) / 2.0;
    const double inverse_i0_beta = 1.0 / __zeroethOrderBessel(beta);
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double r = (static_cast<double>(i) - half_span) / half_span;
        window[i] = __zeroethOrderBessel(beta * std::sqrt(1.0 - r * r)) * inverse_i0_beta;
        sum += window[i];
    }
    return sum;
}

double fill_window(double *window, int mode, int n)
{
    switch (mode) {
    case WINDOW_RECTANGULAR: return fill_cosine_window<rectangular>(window, n);
    case WINDOW_HANN: return fill_cosine_window<hann>(window, n);
    case WINDOW_HAMMING: return fill_cosine_window<hamming>(window, n);
    case WINDOW_BLACKMAN_HARRIS: return fill_cosine_window<blackman_harris>(window, n);
    case WINDOW_FLAT_TOP: return fill_cosine_window<flat_top>(window, n);
    case WINDOW_KAISER_4: return fill_kaiser(window, n, 4.0);
    default: return fill_kaiser(window, n, 8.0);
    }
}

#if defined(__arm__) && defined(__ARM_FP) && (__ARM_FP & 8)
// The board's VFP loads and stores two doubles in one instruction, which
// GCC does not use here: two samples of both channels take 11 instructions
// instead of 18. The products are the same IEEE multiplications.
const double *apply_window_pairs(const double *window, const double *&a_in, const double *&b_in,
                                 double *&a_out, double *&b_out, int pairs)
{
    if (pairs <= 0)
        return window;
    asm volatile("1:\n\t"
                 "vldmia %[w]!, {d0-d1}\n\t"
                 "vldmia %[a]!, {d2-d3}\n\t"
                 "vldmia %[b]!, {d4-d5}\n\t"
                 "vmul.f64 d2, d0, d2\n\t"
                 "vmul.f64 d3, d1, d3\n\t"
                 "vmul.f64 d4, d0, d4\n\t"
                 "vmul.f64 d5, d1, d5\n\t"
                 "vstmia %[ao]!, {d2-d3}\n\t"
                 "vstmia %[bo]!, {d4-d5}\n\t"
                 "subs %[n], %[n], #1\n\t"
                 "bne 1b"
                 : [w] "+r"(window), [a] "+r"(a_in), [b] "+r"(b_in), [ao] "+r"(a_out),
                   [bo] "+r"(b_out), [n] "+r"(pairs)
                 :
                 : "d0", "d1", "d2", "d3", "d4", "d5", "cc", "memory");
    return window;
}
#endif

// Both channels in one pass, each coefficient loaded once.
void apply_window(const double *window, const double *a_in, const double *b_in, double *a_out,
                  double *b_out, int n)
{
#if defined(__arm__) && defined(__ARM_FP) && (__ARM_FP & 8)
    window = apply_window_pairs(window, a_in, b_in, a_out, b_out, n / 2);
    n %= 2;
#endif
    for (int i = 0; i < n; ++i) {
        const double w = window[i];
        a_out[i] = w * a_in[i];
        b_out[i] = w * b_in[i];
    }
}

}  // namespace

extern "C" {

int qn_spectr_window_init(int mode)
{
    qn_window_sum = 0.0;
    g_window_mode = mode;
    qn_spectr_window_clean();

    // Room for the longest signal whatever N is; zeroed so that a later,
    // longer N finds defined values past the computed coefficients.
    const auto capacity = static_cast<size_t>(qn_get_spectr_signal_max_length());
    qn_window = static_cast<double *>(std::calloc(capacity, sizeof(double)));
    if (qn_window == nullptr) {
        std::fputs("qn_spectr_window_init() can not allocate mem\n", stderr);
        return -1;
    }
    if (static_cast<unsigned>(mode) > WINDOW_KAISER_8) {
        qn_spectr_window_clean();
        return -1;
    }
    qn_window_sum = fill_window(qn_window, mode, qn_get_spectr_signal_length());
    return 0;
}

int qn_spectr_window_clean(void)
{
    if (qn_window != nullptr) {
        std::free(qn_window);
        qn_window = nullptr;
    }
    return 0;
}

int qn_spectr_window_filter(const double *a_in, const double *b_in, double **a_out, double **b_out)
{
    const double *window = qn_window;
    if (a_in == nullptr || b_in == nullptr || a_out == nullptr || b_out == nullptr ||
        *a_out == nullptr || *b_out == nullptr || window == nullptr)
        return -1;
    apply_window(window, a_in, b_in, *a_out, *b_out, qn_get_spectr_signal_length());
    return 0;
}

}  // extern "C"
