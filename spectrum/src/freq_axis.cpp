// Frequencies of the N/2 bins of the N-point transform.
#include "spectrum.h"

#include <cstdio>

extern "C" int qn_spectr_prepare_freq_vector(float **freq, double clock, float decimation)
{
    const auto sample_rate = static_cast<float>(clock / static_cast<double>(decimation));
    float *axis = freq != nullptr ? *freq : nullptr;
    if (axis == nullptr) {
        std::fputs("qn_spectr_prepare_freq_vector() not initialized\n", stderr);
        return -1;
    }
    const int n = qn_get_spectr_signal_length();
    const int bins = qn_get_spectr_out_signal_length();
    for (int i = 0; i < bins; ++i)
        axis[i] = static_cast<float>(i) / static_cast<float>(n) * sample_rate;
    return 0;
}
