// Conversion of decimated spectra into dBm, volts or dBu with peak search.
#include "spectrum.h"

#include "log10_estimate.h"
#include "vector_clones.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace {

constexpr double kScaledFloor = 1e-12;
constexpr double kFloorDb = -120.0;
constexpr double kDbuReference = 0.775;
constexpr float kClockHz = 125000000.0f;

// dBm (10 log10 of milliwatts) or dBu (20 log10 of volts over 0.775). The
// floor is tested on the milliwatt-scaled value in both.
template <bool dbu>
struct Decibels {
    static constexpr double factor = dbu ? 20.0 : 10.0;
    double w2mw;

    bool above_floor(double x) const { return x * w2mw > kScaledFloor; }
    double argument(double x) const
    {
        if constexpr (dbu)
            return x / kDbuReference;
        else
            return x * w2mw;
    }
    // The plain evaluation: every stored value equals this.
    float exact(float value) const
    {
        const double x = value;
        return static_cast<float>(above_floor(x) ? factor * std::log10(argument(x)) : kFloorDb);
    }
};

constexpr int kBlock = 256;
constexpr float kUnsettled = std::numeric_limits<float>::quiet_NaN();

// Converts a block with log10_estimate. Where the estimate may lie on the
// other side of a float rounding boundary than libm's result, it stores
// kUnsettled (a NaN, which no settled value is). Returns how many it left
// unsettled.
template <bool dbu>
QN_VECTOR_CLONES int estimate_block(const float *in, int count, const Decibels<dbu> &db,
                                    float *value)
{
    using spectrum_detail::kLog10EstimateError;
    using spectrum_detail::log10_estimate;
    int unsettled = 0;
    for (int i = 0; i < count; ++i) {
        const double x = in[i];
        const double y = db.argument(x);
        // For any bit pattern of y (zero, negative, NaN below the floor)
        // the estimate stays finite and within float range.
        const double estimate = db.factor * log10_estimate(y);
        // Both this estimate and libm's result lie within the margin of the
        // true value; if its ends round alike, so does all between them.
        const double margin = std::fabs(estimate) * (4.0 * kLog10EstimateError);
        const float low = static_cast<float>(estimate - margin);
        const float high = static_cast<float>(estimate + margin);
        // Bitwise operators keep the loop free of branches.
        const bool settled = (low == high) & (y <= DBL_MAX);
        const bool above_floor = db.above_floor(x);
        value[i] = above_floor ? (settled ? low : kUnsettled) : static_cast<float>(kFloorDb);
        unsettled += static_cast<int>(above_floor & !settled);
    }
    return unsettled;
}

// The plain formula for the values the estimate left unsettled.
template <bool dbu>
void settle_block(const float *in, int count, const Decibels<dbu> &db, float *value)
{
    for (int i = 0; i < count; ++i) {
        if (std::isnan(value[i]))
            value[i] = db.exact(in[i]);
    }
}

// Through a block buffer, so that converting in place still finds the
// inputs of unsettled values.
template <bool dbu>
void convert_decibels(const float *in, float *out, int count, const Decibels<dbu> &db)
{
    float value[kBlock];
    for (int start = 0; start < count; start += kBlock) {
        const int length = std::min(kBlock, count - start);
        if (estimate_block(in + start, length, db, value) != 0)
            settle_block(in + start, length, db, value);
        std::copy_n(value, length, out + start);
    }
}

struct ToDbm {
    double w2mw;
    void operator()(const float *in, float *out, int count) const
    {
        convert_decibels(in, out, count, Decibels<false>{w2mw});
    }
};

struct ToDbu {
    double w2mw;
    void operator()(const float *in, float *out, int count) const
    {
        convert_decibels(in, out, count, Decibels<true>{w2mw});
    }
};

// Volts stay as they are, bit for bit.
struct Copy {
    void operator()(const float *in, float *out, int count) const
    {
        for (int i = 0; i < count; ++i)
            out[i] = in[i];
    }
};

// Unknown modes convert nothing.
struct KeepOutput {
    void operator()(const float *, float *, int) const {}
};

struct Peak {
    double value;
    int index;
};

// The first index of the largest stored value, as a running maximum
// compared in double would find it: NaNs never win, and of equal values
// (0 and -0 included) the first one does, with its own bits.
QN_VECTOR_CLONES Peak find_peak(const float *values, int count, double start_maximum)
{
    // Per-lane maxima: a single running maximum would not vectorise, since
    // its order decides between 0 and -0.
    constexpr int kLanes = 16;
    float lanes[kLanes];
    std::fill_n(lanes, kLanes, -std::numeric_limits<float>::infinity());
    int i = 0;
    for (; i + kLanes <= count; i += kLanes)
        for (int lane = 0; lane < kLanes; ++lane)
            lanes[lane] = values[i + lane] > lanes[lane] ? values[i + lane] : lanes[lane];
    float largest = -std::numeric_limits<float>::infinity();
    for (; i < count; ++i)
        largest = values[i] > largest ? values[i] : largest;
    for (const float lane : lanes)
        largest = lane > largest ? lane : largest;
    if (!(static_cast<double>(largest) > start_maximum))
        return Peak{start_maximum, 0};
    int index = 0;
    while (!(values[index] == largest))
        ++index;
    return Peak{values[index], index};
}

void suppress_dc(float *out)
{
    out[0] = out[2];
    out[1] = out[2];
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

// Runs one converter call: DC suppression, conversion of channel A and then
// channel B, peak report.
template <typename Conversion>
int run(const Request &r, double start_maximum, Conversion convert)
{
    const int bins = qn_get_spectr_out_signal_length();
    if (g_remove_DC != 0) {
        suppress_dc(r.a_out);
        suppress_dc(r.b_out);
    }
    convert(r.a_in, r.a_out, bins);
    const Peak a = find_peak(r.a_out, bins, start_maximum);
    convert(r.b_in, r.b_out, bins);
    const Peak b = find_peak(r.b_out, bins, start_maximum);
    *r.a_peak = static_cast<float>(a.value);
    *r.b_peak = static_cast<float>(b.value);
    *r.a_peak_freq = peak_frequency(a.index, bins, r.decimation);
    *r.b_peak_freq = peak_frequency(b.index, bins, r.decimation);
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
    return run(request, kDbmStartMaximum, ToDbm{c_w2mw});
}

int qn_spectr_cnv_to_metric(const float *a_in, const float *b_in, float **a_out, float **b_out,
                            float decimation, float *a_peak, float *a_peak_freq,
                            float *b_peak, float *b_peak_freq)
{
    const Request request{a_in, b_in, *a_out, *b_out, decimation,
                          a_peak, a_peak_freq, b_peak, b_peak_freq};
    switch (qn_spectr_get_mode()) {
    case SPECTR_MODE_DBM: return run(request, kMetricStartMaximum, ToDbm{c_w2mw});
    case SPECTR_MODE_VOLT: return run(request, kMetricStartMaximum, Copy{});
    case SPECTR_MODE_DBU: return run(request, kMetricStartMaximum, ToDbu{c_w2mw});
    // The peaks are then those of the outputs as they stand.
    default: return run(request, kMetricStartMaximum, KeepOutput{});
    }
}

}  // extern "C"
