// The documented formulas evaluated plainly, element by element and in
// formula order: the values the module's optimised stages must store.
#ifndef QN_SPECTRUM_TESTS_PLAIN_FORMULAS_H
#define QN_SPECTRUM_TESTS_PLAIN_FORMULAS_H

#include "spectrum.h"

#include <cmath>

namespace spectrum_plain {

// One bin's contribution to a decimated group: divide by the window sum,
// double, divide by the square root of two, square, divide by the
// impedance (as far as the mode goes).
inline double contribution(int mode, double x, double window_sum, double impedance)
{
    switch (mode) {
    case SPECTR_MODE_DBM: {
        const double rms = x / window_sum * 2.0 / 1.414213562;
        return rms * rms / impedance;
    }
    case SPECTR_MODE_VOLT: return x / window_sum * 2.0;
    case SPECTR_MODE_DBU: return x / window_sum * 2.0 / 1.414213562;
    default: return 0.0;
    }
}

// The group of bins [start, end) averaged as the module's settings say:
// a float sum, each contribution added in double.
inline float group(const double *in, long long start, long long end, int mode)
{
    float sum = 0.0f;
    for (long long j = start; j < end; ++j)
        sum = static_cast<float>(sum + contribution(mode, in[j], qn_window_sum, c_imp));
    return sum / static_cast<float>(end - start);
}

inline float dbm(float value)
{
    const double x = value;
    return static_cast<float>(x * 1000.0 > 1e-12 ? 10.0 * std::log10(x * 1000.0) : -120.0);
}

inline float dbu(float value)
{
    const double x = value;
    return static_cast<float>(x * 1000.0 > 1e-12 ? 20.0 * std::log10(x / 0.775) : -120.0);
}

}  // namespace spectrum_plain

#endif
