// Conversion of decimated spectra into dBm, volts or dBu with peak search.
#include "spectrum.h"

#include "log10_estimate.h"
#include "vector_clones.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kScaledFloor = 1e-12;
constexpr double kFloorDb = -120.0;
constexpr double kDbuReference = 0.775;
constexpr float kClockHz = 125000000.0f;
// Marks a value the plain formula must decide; no settled value is a NaN.
constexpr float kUnsettled = std::numeric_limits<float>::quiet_NaN();

// dBm (10 log10 of milliwatts) or dBu (20 log10 of volts over 0.775). The
// floor is tested on the milliwatt-scaled value in both.
template <bool dbu>
struct Decibels {
    static constexpr double factor = dbu ? 20.0 : 10.0;
    double w2mw;

    double argument(double x) const
    {
        if constexpr (dbu)
            return x / kDbuReference;
        else
            return x * w2mw;
    }
    // The plain evaluation: every stored value equals this.
    [[gnu::noinline, gnu::cold]] float exact(float value) const
    {
        const double x = value;
        return static_cast<float>(x * w2mw > kScaledFloor ? factor * std::log10(argument(x))
                                                          : kFloorDb);
    }
    // Finite, positive and above the floor, by the high word alone (the
    // floor's own high word is left out).
    static bool in_range(double scaled)
    {
        const uint32_t high = spectrum_detail::high_word(scaled);
        return high - (kFloorHigh + 1) < kInfinityHigh - (kFloorHigh + 1);
    }
    double decibel_estimate(double x) const
    {
        return spectrum_detail::decibel_estimate(argument(x)) * (factor / 10.0);
    }
    // The plain formula's value, stored in value, where it is cheap: from
    // the estimate where that provably rounds like the formula, or the
    // floor. False for about one value in 10^4, for +inf and for values
    // whose high word is the floor's.
    bool estimate(float input, float &value) const
    {
        const double x = input;
        const double scaled = x * w2mw;
        if (!in_range(scaled)) [[unlikely]] {
            value = static_cast<float>(kFloorDb);
            return !(scaled > kScaledFloor);  // NaN, 0 and negatives included
        }
        const double decibels = decibel_estimate(x);
        value = static_cast<float>(decibels);
        return spectrum_detail::rounds_like_neighbours(decibels);
    }
    // The same without branches, for vector units: stores kUnsettled where
    // estimate() is false, and returns whether it did.
    bool estimate_or_mark(float input, float &value) const
    {
        const double x = input;
        const double scaled = x * w2mw;
        const double decibels = decibel_estimate(x);
        const auto rounded = static_cast<float>(decibels);
        const bool settled = in_range(scaled) & spectrum_detail::rounds_like_neighbours(decibels);
        const bool floor = !(scaled > kScaledFloor);
        value = settled ? rounded : floor ? static_cast<float>(kFloorDb) : kUnsettled;
        return !(settled | floor);
    }

    static constexpr uint32_t kFloorHigh = spectrum_detail::high_word(kScaledFloor);
    static constexpr uint32_t kInfinityHigh = 0x7ff00000u;
};

struct Peak {
    double value;
    int index;
};

// Converts while the estimate settles and the maximum stays; returns the
// output where it stopped. A function of its own, so that its loop has the
// registers to itself and calls nothing.
template <bool dbu>
[[gnu::noinline]] float *convert_settled(const float *in, float *out, const float *out_end,
                                         Decibels<dbu> db, float largest)
{
    for (; out != out_end; ++out, ++in) {
        float value;
        if (!db.estimate(*in, value) || value > largest) [[unlikely]]
            break;
        *out = value;
    }
    return out;
}

// On scalar CPUs (the board's): converts and finds the first largest stored
// value in one loop, as the plain loop does: compared with the running maximum (a float, as every stored value
// is), NaNs never win and of equal values the first one does. Each input is
// read before its output is written, so in place is fine.
template <bool dbu>
Peak convert_one_by_one(const float *in, float *out, int count, const Decibels<dbu> &db,
                        double start_maximum)
{
    auto largest = static_cast<float>(start_maximum);
    int index = 0;
    const float *const out_end = out + count;
    for (int i = 0;; ++i) {
        i = static_cast<int>(convert_settled(in + i, out + i, out_end, db, largest) - out);
        if (i == count)
            break;
        float value;
        if (!db.estimate(in[i], value))
            value = db.exact(in[i]);
        out[i] = value;
        if (value > largest) {
            largest = value;
            index = i;
        }
    }
    return Peak{largest, index};
}

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

// With vector units (x86-64): blocks converted without branches, the few
// unsettled values by the plain formula, then the peak search. Through a
// block buffer, so that converting in place still finds the inputs of
// unsettled values.
template <bool dbu>
QN_VECTOR_CLONES int estimate_block(const float *in, int count, const Decibels<dbu> &db, float *value)
{
    int unsettled = 0;
    for (int i = 0; i < count; ++i)
        unsettled += static_cast<int>(db.estimate_or_mark(in[i], value[i]));
    return unsettled;
}

template <bool dbu>
Peak convert_in_blocks(const float *in, float *out, int count, const Decibels<dbu> &db,
                       double start_maximum)
{
    constexpr int kBlock = 256;
    float value[kBlock];
    for (int start = 0; start < count; start += kBlock) {
        const int length = std::min(kBlock, count - start);
        if (estimate_block(in + start, length, db, value) != 0) {
            for (int i = 0; i < length; ++i)
                if (std::isnan(value[i]))
                    value[i] = db.exact(in[start + i]);
        }
        std::copy_n(value, length, out + start);
    }
    return find_peak(out, count, start_maximum);
}

template <bool dbu>
Peak convert_decibels(const float *in, float *out, int count, const Decibels<dbu> &db,
                      double start_maximum)
{
    if constexpr (kVectorClones)
        return convert_in_blocks(in, out, count, db, start_maximum);
    else
        return convert_one_by_one(in, out, count, db, start_maximum);
}

struct ToDbm {
    double w2mw;
    Peak operator()(const float *in, float *out, int count, double start_maximum) const
    {
        return convert_decibels(in, out, count, Decibels<false>{w2mw}, start_maximum);
    }
};

struct ToDbu {
    double w2mw;
    Peak operator()(const float *in, float *out, int count, double start_maximum) const
    {
        return convert_decibels(in, out, count, Decibels<true>{w2mw}, start_maximum);
    }
};

// Volts stay as they are, bit for bit.
struct Copy {
    Peak operator()(const float *in, float *out, int count, double start_maximum) const
    {
        for (int i = 0; i < count; ++i)
            out[i] = in[i];
        return find_peak(out, count, start_maximum);
    }
};

// Unknown modes convert nothing; the peak is that of the outputs as they
// stand.
struct KeepOutput {
    Peak operator()(const float *, float *out, int count, double start_maximum) const
    {
        return find_peak(out, count, start_maximum);
    }
};

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
    const Peak a = convert(r.a_in, r.a_out, bins, start_maximum);
    const Peak b = convert(r.b_in, r.b_out, bins, start_maximum);
    *r.a_peak = static_cast<float>(a.value);
    *r.b_peak = static_cast<float>(b.value);
    *r.a_peak_freq = peak_frequency(a.index, bins, r.decimation);
    *r.b_peak_freq = peak_frequency(b.index, bins, r.decimation);
    return 0;
}

constexpr double kDbmStartMaximum = -100000.0;
constexpr double kMetricStartMaximum = -10000.0;

// The arguments with the output arrays; false where any is null.
bool make_request(Request &r, const float *a_in, const float *b_in, float **a_out, float **b_out,
                  float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                  float *b_peak_freq)
{
    if (a_out == nullptr || b_out == nullptr)
        return false;
    r = Request{a_in, b_in, *a_out, *b_out, decimation, a_peak, a_peak_freq, b_peak, b_peak_freq};
    return r.a_in != nullptr && r.b_in != nullptr && r.a_out != nullptr && r.b_out != nullptr &&
           r.a_peak != nullptr && r.a_peak_freq != nullptr && r.b_peak != nullptr &&
           r.b_peak_freq != nullptr;
}

}  // namespace

extern "C" {

int qn_spectr_cnv_to_dBm(const float *a_in, const float *b_in, float **a_out, float **b_out,
                         float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                         float *b_peak_freq)
{
    Request request{};
    if (!make_request(request, a_in, b_in, a_out, b_out, decimation, a_peak, a_peak_freq, b_peak,
                      b_peak_freq))
        return -1;
    return run(request, kDbmStartMaximum, ToDbm{c_w2mw});
}

int qn_spectr_cnv_to_metric(const float *a_in, const float *b_in, float **a_out, float **b_out,
                            float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                            float *b_peak_freq)
{
    Request request{};
    if (!make_request(request, a_in, b_in, a_out, b_out, decimation, a_peak, a_peak_freq, b_peak,
                      b_peak_freq))
        return -1;
    switch (qn_spectr_get_mode()) {
    case SPECTR_MODE_DBM: return run(request, kMetricStartMaximum, ToDbm{c_w2mw});
    case SPECTR_MODE_VOLT: return run(request, kMetricStartMaximum, Copy{});
    case SPECTR_MODE_DBU: return run(request, kMetricStartMaximum, ToDbu{c_w2mw});
    default: return run(request, kMetricStartMaximum, KeepOutput{});
    }
}

}  // extern "C"
