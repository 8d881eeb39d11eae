// Conversion of decimated spectra into dBm, volts or dBu with peak search.
#include "spectrum.h"

#include <cmath>
#include <type_traits>

namespace {

constexpr double kScaledFloor = 1e-12;
constexpr double kFloorDb = -120.0;
constexpr double kDbuReference = 0.775;
constexpr float kClockHz = 125000000.0f;

struct ToDbm {
    float operator()(float value) const
    {
        const double x = value;
        return static_cast<float>(x * c_w2mw > kScaledFloor ? 10.0 * std::log10(x * c_w2mw)
                                                            : kFloorDb);
    }
};

struct ToDbu {
    float operator()(float value) const
    {
        // The floor is tested on the milliwatt-scaled value, as for dBm.
        const double x = value;
        return static_cast<float>(x * c_w2mw > kScaledFloor ? 20.0 * std::log10(x / kDbuReference)
                                                            : kFloorDb);
    }
};

// Volts stay as they are, bit for bit.
struct Copy {
    float operator()(float value) const { return value; }
};

// Unknown modes convert nothing.
struct KeepOutput {};

struct Peak {
    double value;
    int index;

    void offer(float candidate, int i)
    {
        if (static_cast<double>(candidate) > value) {
            value = candidate;
            index = i;
        }
    }
};

struct Channel {
    const float *in;
    float *out;
    Peak peak;
};

void suppress_dc(float *out)
{
    out[0] = out[2];
    out[1] = out[2];
}

// Converts both channels element by element, A then B, searching the peaks
// of the stored values.
template <typename Conversion>
void convert_channels(Channel &a, Channel &b, int count, Conversion convert)
{
    for (int i = 0; i < count; ++i) {
        if constexpr (!std::is_same_v<Conversion, KeepOutput>)
            a.out[i] = convert(a.in[i]);
        a.peak.offer(a.out[i], i);
        if constexpr (!std::is_same_v<Conversion, KeepOutput>)
            b.out[i] = convert(b.in[i]);
        b.peak.offer(b.out[i], i);
    }
}

float peak_frequency(int index, int bins, float decimation)
{
    return static_cast<float>(index) / static_cast<float>(bins) * (kClockHz / decimation) * 0.5f;
}

// The arguments of one converter call.
struct Request {
    const float *a_in;
    const float *b_in;
    float *a_out;
    float *b_out;
    float decimation;
    float *a_peak;
    float *a_peak_freq;
    float *b_peak;
    float *b_peak_freq;
};

// Runs one converter call: DC suppression, conversion, peak report.
template <typename Conversion>
int run(const Request &r, double start_maximum, Conversion convert)
{
    const int bins = qn_get_spectr_out_signal_length();
    Channel a{r.a_in, r.a_out, Peak{start_maximum, 0}};
    Channel b{r.b_in, r.b_out, Peak{start_maximum, 0}};
    if (g_remove_DC != 0) {
        suppress_dc(a.out);
        suppress_dc(b.out);
    }
    convert_channels(a, b, bins, convert);
    *r.a_peak = static_cast<float>(a.peak.value);
    *r.b_peak = static_cast<float>(b.peak.value);
    *r.a_peak_freq = peak_frequency(a.peak.index, bins, r.decimation);
    *r.b_peak_freq = peak_frequency(b.peak.index, bins, r.decimation);
    return 0;
}

constexpr double kDbmStartMaximum = -100000.0;
constexpr double kMetricStartMaximum = -10000.0;

}  // namespace

extern "C" {

int qn_spectr_cnv_to_dBm(const float *a_in, const float *b_in, float **a_out, float **b_out,
                         float decimation, float *a_peak, float *a_peak_freq,
                         float *b_peak, float *b_peak_freq)
{
    const Request request{a_in, b_in, *a_out, *b_out, decimation,
                          a_peak, a_peak_freq, b_peak, b_peak_freq};
    return run(request, kDbmStartMaximum, ToDbm{});
}

int qn_spectr_cnv_to_metric(const float *a_in, const float *b_in, float **a_out, float **b_out,
                            float decimation, float *a_peak, float *a_peak_freq,
                            float *b_peak, float *b_peak_freq)
{
    const Request request{a_in, b_in, *a_out, *b_out, decimation,
                          a_peak, a_peak_freq, b_peak, b_peak_freq};
    switch (qn_spectr_get_mode()) {
    case SPECTR_MODE_DBM: return run(request, kMetricStartMaximum, ToDbm{});
    case SPECTR_MODE_VOLT: return run(request, kMetricStartMaximum, Copy{});
    case SPECTR_MODE_DBU: return run(request, kMetricStartMaximum, ToDbu{});
    // The peaks are then those of the outputs as they stand.
    default: return run(request, kMetricStartMaximum, KeepOutput{});
    }
}

}  // extern "C"
