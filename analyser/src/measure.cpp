#include "measure.h"

#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace analyser {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFloorDb = -120.0;
// A peak stands this far above the median bin: single-segment noise bins
// (exponentially distributed powers) pass it about once in 10^9.
constexpr double kPeakOverMedian = 31.622776601683793;  // 15 dB
constexpr int kHighestHarmonic = 6;

// Bins from a tone to its window's first null, rounded up.
int main_lobe_half_width(int window)
{
    switch (window) {
    case WINDOW_RECTANGULAR: return 1;
    case WINDOW_BLACKMAN_HARRIS: return 4;
    case WINDOW_FLAT_TOP: return 5;
    case WINDOW_KAISER_8: return 3;
    default: return 2;  // Hann, Hamming, Kaiser 4
    }
}

// Mean-square volts of bin powers |X|^2.
std::vector<double> mean_squares(const ChannelBins &bins)
{
    const double scale = 2.0 / (bins.window.sum() * bins.window.sum());
    std::vector<double> p(bins.power.size());
    for (std::size_t k = 0; k < p.size(); ++k)
        p[k] = bins.power[k] * scale;
    return p;
}

struct Tone {
    double bin;          // fractional bin
    double mean_square;  // of the tone itself
};

// The tone behind peak bin k, from the magnitude ratio of the bin and its
// larger neighbour.
Tone interpolate(const std::vector<double> &p, std::size_t k, const WindowShape &window)
{
    const double left = k > 0 ? p[k - 1] : 0.0;
    const double right = k + 1 < p.size() ? p[k + 1] : 0.0;
    const double side = right >= left ? 1.0 : -1.0;
    const double ratio = p[k] > 0 ? std::sqrt(std::max(left, right) / p[k]) : 0.0;
    const WindowShape::Offset offset = window.offset_for(ratio);
    return Tone{double(k) + side * offset.bins, p[k] * offset.gain * offset.gain};
}

double decibels(double ratio) { return 10.0 * std::log10(ratio); }

}  // namespace

WindowShape::WindowShape(int window, const double *coefficients, int length)
    : w_(coefficients, coefficients + length), sum_(0), enbw_(0), lobe_(main_lobe_half_width(window))
{
    double squares = 0;
    for (const double x : w_) {
        sum_ += x;
        squares += x * x;
    }
    enbw_ = length * squares / (sum_ * sum_);
    const double centre = response(0.0);
    for (int i = 0; i <= kSteps; ++i) {
        const double d = 0.5 * i / kSteps;
        const double here = response(d);
        ratio_.push_back(response(1.0 - d) / here);
        gain_.push_back(centre / here);
    }
}

WindowShape::Offset WindowShape::offset_for(double ratio) const
{
    // The ratio grows from |W(1)| / |W(0)| at d = 0 to 1 at d = 1/2.
    const auto above = std::upper_bound(ratio_.begin(), ratio_.end(), ratio);
    if (above == ratio_.begin())
        return {0.0, gain_.front()};
    if (above == ratio_.end())
        return {0.5, gain_.back()};
    const auto i = static_cast<std::size_t>(above - ratio_.begin()) - 1;
    const double t = (ratio - ratio_[i]) / (ratio_[i + 1] - ratio_[i]);
    return {0.5 * (double(i) + t) / kSteps, gain_[i] + t * (gain_[i + 1] - gain_[i])};
}

double WindowShape::response(double d) const
{
    // The phase steps by a rotation, set afresh now and then so that its
    // rounding cannot build up.
    const double step = -2.0 * kPi * d / double(w_.size());
    const std::complex<double> turn = std::polar(1.0, step);
    std::complex<double> sum = 0, phase = 1;
    for (std::size_t n = 0; n < w_.size(); ++n) {
        if (n % 512 == 0)
            phase = std::polar(1.0, step * double(n));
        sum += w_[n] * phase;
        phase *= turn;
    }
    return std::abs(sum);
}

double LevelScale::level(double mean_square) const
{
    if (mode == SPECTR_MODE_VOLT)
        return std::sqrt(2.0 * mean_square);
    const double milliwatts = mean_square / impedance * 1000.0;
    const double rms = std::sqrt(mean_square);
    if (mode == SPECTR_MODE_DBU)
        return rms * 1000.0 > 1e-12 ? 20.0 * std::log10(rms / 0.775) : kFloorDb;
    return milliwatts > 1e-12 ? 10.0 * std::log10(milliwatts) : kFloorDb;
}

std::vector<TablePeak> find_peaks(const ChannelBins &bins, int count, bool keep_dc)
{
    const std::vector<double> p = mean_squares(bins);
    std::vector<double> sorted = p;
    const auto middle = sorted.begin() + std::ptrdiff_t(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    const double threshold = *middle * kPeakOverMedian;
    const int lobe = bins.window.lobe();

    std::vector<std::size_t> candidates;
    for (std::size_t k = keep_dc ? 0 : std::size_t(lobe); k < p.size(); ++k)
        if (p[k] > threshold && (k == 0 || p[k] >= p[k - 1]) &&
            (k + 1 == p.size() || p[k] > p[k + 1]))
            candidates.push_back(k);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](std::size_t x, std::size_t y) { return p[x] > p[y]; });
    std::vector<std::size_t> chosen;
    for (const std::size_t k : candidates) {
        if (int(chosen.size()) == count)
            break;
        if (std::none_of(chosen.begin(), chosen.end(),
                         [&](std::size_t c) { return (k > c ? k - c : c - k) <= std::size_t(lobe); }))
            chosen.push_back(k);
    }
    std::vector<TablePeak> peaks;
    for (const std::size_t k : chosen) {
        const Tone tone = interpolate(p, k, bins.window);
        peaks.push_back({tone.bin * bins.bin_hz, bins.scale.level(tone.mean_square)});
    }
    // Highest first by the tones' own levels, not their bins'.
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const TablePeak &x, const TablePeak &y) { return x.level > y.level; });
    return peaks;
}

Metrics measure(const ChannelBins &bins)
{
    const std::vector<double> p = mean_squares(bins);
    const auto size = static_cast<long>(p.size());
    const long lobe = bins.window.lobe();
    const double enbw = bins.window.enbw();
    enum Use : char { kNoise, kDc, kFundamental, kHarmonic };
    std::vector<Use> use(p.size(), kNoise);
    // Claims the free bins within a main lobe of bin centre; returns their power.
    const auto claim = [&](double centre, Use as) {
        double sum = 0;
        const long first = std::max(0L, long(std::ceil(centre - double(lobe))));
        const long last = std::min(size - 1, long(std::floor(centre + double(lobe))));
        for (long k = first; k <= last; ++k)
            if (use[k] == kNoise) {
                use[k] = as;
                sum += p[k];
            }
        return sum;
    };
    // DC spreads over the bins before its window's first null.
    std::fill_n(use.begin(), std::min<long>(lobe, size), kDc);

    const auto strongest = [&](auto keep) {
        std::size_t best = 0;
        for (std::size_t k = 0; k < p.size(); ++k)
            if (keep(use[k]) && (!keep(use[best]) || p[k] > p[best]))
                best = k;
        return best;
    };
    const std::size_t top = strongest([](Use u) { return u == kNoise; });
    const Tone fundamental = interpolate(p, top, bins.window);
    const double signal = claim(fundamental.bin, kFundamental) / enbw;

    const double length = 2.0 * double(size);
    double distortion = 0;
    for (int h = 2; h <= kHighestHarmonic; ++h) {
        // Harmonics above Nyquist fold back into the band.
        double at = std::fmod(h * fundamental.bin, length);
        if (at > length / 2)
            at = length - at;
        distortion += claim(at, kHarmonic);
    }
    distortion /= enbw;

    double noise_sum = 0;
    long noise_bins = 0, harmonic_bins = 0;
    for (long k = 0; k < size; ++k) {
        if (use[k] == kNoise) {
            noise_sum += p[k];
            ++noise_bins;
        }
        harmonic_bins += use[k] == kHarmonic;
    }
    // Bins taken by DC, the tone and its harmonics hold noise too: the mean
    // of the others stands in for it.
    const double per_bin = noise_bins > 0 ? noise_sum / double(noise_bins) : 0.0;
    const double noise_in_band = per_bin * double(size) / enbw;
    const double noise_besides_harmonics = per_bin * double(size - harmonic_bins) / enbw;

    const std::size_t spur_bin = strongest([](Use u) { return u == kNoise || u == kHarmonic; });
    const Tone spur = interpolate(p, spur_bin, bins.window);

    Metrics m{};
    m.fundamental_hz = fundamental.bin * bins.bin_hz;
    m.fundamental_level = bins.scale.level(signal);
    m.thd_dbc = decibels(distortion / signal);
    m.snr_db = decibels(signal / noise_in_band);
    m.sinad_db = decibels(signal / (noise_besides_harmonics + distortion));
    m.sfdr_dbc = decibels(signal / spur.mean_square);
    m.enob_bits = (m.sinad_db - 1.76) / 6.02;
    m.noise_floor = bins.scale.level(per_bin);
    return m;
}

}  // namespace analyser
