// Groups of FFT magnitudes averaged into watts, peak volts or RMS volts.
#include "spectrum.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kSqrtTwo = 1.414213562;

struct Normaliser {
    int mode;
    double window_sum;
    double impedance;

    // Evaluated in this order: divide by the window sum, double, divide by
    // the square root of two, square, divide by the impedance.
    double operator()(double x) const
    {
        switch (mode) {
        case SPECTR_MODE_DBM: {
            const double rms = x / window_sum * 2.0 / kSqrtTwo;
            return rms * rms / impedance;
        }
        case SPECTR_MODE_VOLT: return x / window_sum * 2.0;
        case SPECTR_MODE_DBU: return x / window_sum * 2.0 / kSqrtTwo;
        default: return 0.0;
        }
    }
};

// roundf(in_len / out_len) as an int, at least 1; out_len must be positive.
int group_step(int in_len, int out_len)
{
    const float rounded = std::roundf(static_cast<float>(in_len) / static_cast<float>(out_len));
    if (rounded >= 2147483648.0f)
        return INT_MAX;
    const int step = static_cast<int>(rounded);
    return step < 1 ? 1 : step;
}

// Mean of bins start..end-1, each contribution added in double and kept
// as float.
float group_mean(const double *in, long long start, long long end, const Normaliser &normalise)
{
    float acc = 0.0f;
    for (long long j = start; j < end; ++j)
        acc = static_cast<float>(static_cast<double>(acc) + normalise(in[j]));
    return acc / static_cast<float>(end - start);
}

}  // namespace

extern "C" int qn_spectr_decimate(const double *a_in, const double *b_in,
                                  float **a_out, float **b_out, int in_len, int out_len)
{
    if (a_in == nullptr || b_in == nullptr || *a_out == nullptr || *b_out == nullptr)
        return -1;
    if (out_len <= 0)
        return 0;

    const Normaliser normalise{qn_spectr_get_mode(), qn_window_sum, c_imp};
    const long long step = group_step(in_len, out_len);
    float *a = *a_out;
    float *b = *b_out;
    for (int g = 0; g < out_len; ++g) {
        const long long start = g * step;
        if (start >= in_len) {
            std::fputs("qn_spectr_decimate() index too high\n", stderr);
            return -1;
        }
        // A last group running past the input is averaged over the bins
        // that exist.
        const long long end = start + step < in_len ? start + step : in_len;
        a[g] = group_mean(a_in, start, end, normalise);
        b[g] = group_mean(b_in, start, end, normalise);
    }
    return 0;
}
