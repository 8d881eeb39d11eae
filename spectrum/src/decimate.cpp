// Groups of FFT magnitudes averaged into watts, peak volts or RMS volts.
#include "spectrum.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kSqrtTwo = 1.414213562;
// Doubling then dividing by kSqrtTwo is dividing by kSqrtTwo / 2 (exact):
// the same real quotient, so the same rounded double, one operation less.
// Where the doubling would overflow, the square (dBm) or the float (dBu)
// overflows too.
constexpr double kHalfSqrtTwo = kSqrtTwo / 2.0;

// One bin's contribution, evaluated in this order: divide by the window
// sum, double, divide by the square root of two, square, divide by the
// impedance. The mode is a template argument so that the loops below carry
// no switch and vectorise.
template <int mode>
struct Normaliser {
    double window_sum;
    double impedance;

    double operator()(double x) const
    {
        if constexpr (mode == SPECTR_MODE_DBM) {
            const double rms = x / window_sum / kHalfSqrtTwo;
            return rms * rms / impedance;
        } else if constexpr (mode == SPECTR_MODE_VOLT) {
            return x / window_sum * 2.0;
        } else if constexpr (mode == SPECTR_MODE_DBU) {
            return x / window_sum / kHalfSqrtTwo;
        } else {
            return 0.0;
        }
    }
    // Watts are squares over a positive impedance: never -0, so adding
    // them to the float sum's starting 0 changes nothing.
    bool never_negative_zero() const { return mode == SPECTR_MODE_DBM && impedance > 0.0; }
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

// Adds one contribution to a float sum: in double, then kept as float.
template <typename Normalise>
inline void accumulate(float &sum, double x, const Normalise &normalise)
{
    sum = static_cast<float>(static_cast<double>(sum) + normalise(x));
}

// The groups of one channel. Full groups are summed column by column (the
// j-th bin of every group, then the (j+1)-th), which keeps each group's
// order of additions and lets the compiler vectorise across groups. A last
// group running past the input is averaged over the bins that exist.
template <typename Normalise>
void decimate_channel(const double *in, float *out, long long step, int groups, int in_len,
                      const Normalise &normalise)
{
    const int full = static_cast<int>(std::clamp<long long>(in_len / step, 0, groups));
    for (int g = 0; g < full; ++g)
        out[g] = 0.0f;
    for (long long j = 0; j < step; ++j)
        for (int g = 0; g < full; ++g)
            accumulate(out[g], in[g * step + j], normalise);
    for (int g = 0; g < full; ++g)
        out[g] = out[g] / static_cast<float>(step);

    if (full < groups) {
        float sum = 0.0f;
        for (long long j = full * step; j < in_len; ++j)
            accumulate(sum, in[j], normalise);
        out[full] = sum / static_cast<float>(in_len - full * step);
    }
}

// Number of groups whose first bin lies inside the input.
int groups_inside(int in_len, long long step, int out_len)
{
    if (in_len <= 0)
        return 0;
    const long long inside = (in_len + step - 1) / step;
    return static_cast<int>(inside < out_len ? inside : out_len);
}

// Groups of one bin, the common case: both channels in one pass, as the
// float sum starts at 0 and x / 1.0f is x.
template <typename Normalise>
void normalise_bins(const double *a_in, const double *b_in, float *a, float *b, int count,
                    const Normalise &normalise)
{
    if (normalise.never_negative_zero()) {  // then 0 + x is x
        for (int g = 0; g < count; ++g) {
            a[g] = static_cast<float>(normalise(a_in[g]));
            b[g] = static_cast<float>(normalise(b_in[g]));
        }
    } else {
        for (int g = 0; g < count; ++g) {
            a[g] = static_cast<float>(0.0 + normalise(a_in[g]));
            b[g] = static_cast<float>(0.0 + normalise(b_in[g]));
        }
    }
}

template <int mode>
void decimate_channels(const double *a_in, const double *b_in, float *a, float *b, long long step,
                       int groups, int in_len)
{
    const Normaliser<mode> normalise{qn_window_sum, c_imp};
    if (step == 1) {
        normalise_bins(a_in, b_in, a, b, groups, normalise);
        return;
    }
    decimate_channel(a_in, a, step, groups, in_len, normalise);
    decimate_channel(b_in, b, step, groups, in_len, normalise);
}

}  // namespace

extern "C" int qn_spectr_decimate(const double *a_in, const double *b_in, float **a_out,
                                  float **b_out, int in_len, int out_len)
{
    if (a_in == nullptr || b_in == nullptr || a_out == nullptr || b_out == nullptr ||
        *a_out == nullptr || *b_out == nullptr)
        return -1;
    if (out_len <= 0)
        return 0;

    const long long step = group_step(in_len, out_len);
    const int groups = groups_inside(in_len, step, out_len);
    switch (qn_spectr_get_mode()) {
    case SPECTR_MODE_DBM:
        decimate_channels<SPECTR_MODE_DBM>(a_in, b_in, *a_out, *b_out, step, groups, in_len);
        break;
    case SPECTR_MODE_VOLT:
        decimate_channels<SPECTR_MODE_VOLT>(a_in, b_in, *a_out, *b_out, step, groups, in_len);
        break;
    case SPECTR_MODE_DBU:
        decimate_channels<SPECTR_MODE_DBU>(a_in, b_in, *a_out, *b_out, step, groups, in_len);
        break;
    default: decimate_channels<-1>(a_in, b_in, *a_out, *b_out, step, groups, in_len); break;
    }
    // The first group that would start past the input.
    if (groups < out_len) {
        std::fputs("qn_spectr_decimate() index too high\n", stderr);
        return -1;
    }
    return 0;
}
