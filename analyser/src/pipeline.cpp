#include "pipeline.h"

#include "error.h"
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace analyser {
namespace {

constexpr double kAcquisitionClockHz = 125000000.0;

void check(int status, const char *step)
{
    if (status != 0)
        throw Error(std::string("spectrum module: ") + step + " failed");
}

int checked_length(int length)
{
    if (qn_set_spectr_signal_length(length) != 0)
        throw Error("invalid --length '" + std::to_string(length) +
                    "': must be a power of two from 256 to 16384");
    return qn_get_spectr_signal_length();
}

// Groups of equal size that cover every bin: the module's own grouping
// rounds N/2 / points, which for other counts leaves bins out or fails.
int checked_points(int points, int half)
{
    if (points == 0)
        return half;
    if (points > half || half % points != 0)
        throw Error("invalid --points '" + std::to_string(points) + "': must divide N/2 = " +
                    std::to_string(half) + " (a power of two up to " + std::to_string(half) + ")");
    return points;
}

// Too large a signal, or too small an impedance, overflows the module's
// sums or its single-precision levels; the converters would then report
// infinity, or their starting maximum, as a peak.
void check_finite(const std::vector<float> &levels, int count, const char *channel)
{
    const auto end = levels.begin() + count;
    if (std::find_if(levels.begin(), end, [](float v) { return !std::isfinite(v); }) != end)
        throw Error(std::string("the spectrum of channel ") + channel +
                    " overflows single precision: the input's scale or --impedance is "
                    "out of range");
}

// The shared part of consecutive segments; a segment always moves on by
// at least one sample.
int shared_samples(int length, double percent)
{
    return std::min(static_cast<int>(std::floor(length * percent / 100.0)), length - 1);
}

// Median of exponentially distributed powers over mean: the median of a
// bin's powers divided by this reads noise like the mean does.
double median_bias(int count)
{
    double bias = 1.0;
    for (int i = 2; i <= count - 1; i += 2)
        bias += 1.0 / (i + 1) - 1.0 / i;
    return bias;
}

// The median of values, which it reorders.
double median(std::vector<double> &values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 != 0)
        return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

// Bins a median keeps per channel: 64 MiB of doubles.
constexpr std::size_t kMaxKeptValues = std::size_t(1) << 23;

// The module's decimation normalisation and conversion in double, from a
// bin's |X|^2; the module's own constants, so that the levels agree.
constexpr double kSqrtTwo = 1.414213562;
constexpr double kFloorDb = -120.0;

double normalised(double power, int mode, double window_sum, double impedance)
{
    const double magnitude = std::sqrt(power);
    switch (mode) {
    case SPECTR_MODE_VOLT: return magnitude / window_sum * 2.0;
    case SPECTR_MODE_DBU: return magnitude / window_sum / (kSqrtTwo / 2.0);
    default: {
        const double rms = magnitude / window_sum / (kSqrtTwo / 2.0);
        return rms * rms / impedance;
    }
    }
}

double converted(double value, int mode)
{
    if (mode == SPECTR_MODE_VOLT)
        return value;
    if (!(value * 1000.0 > 1e-12))
        return kFloorDb;
    return mode == SPECTR_MODE_DBU ? 20.0 * std::log10(value / 0.775)
                                   : 10.0 * std::log10(value * 1000.0);
}

void check_finite(const std::vector<double> &levels, const char *channel)
{
    if (std::find_if(levels.begin(), levels.end(), [](double v) { return !std::isfinite(v); }) !=
        levels.end())
        throw Error(std::string("the spectrum of channel ") + channel +
                    " overflows: the input's scale or --impedance is out of range");
}

}  // namespace

ModuleBuffers::~ModuleBuffers()
{
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
}

Pipeline::Pipeline(const Options &options)
    : length_(checked_length(options.length)), half_(qn_get_spectr_out_signal_length()),
      points_(checked_points(options.points, half_)), mode_(options.mode), keep_dc_(options.keep_dc),
      decimation_option_(options.decimation), decimation_(1.0f), windowed_a_(length_),
      windowed_b_(length_), magnitude_a_(half_), magnitude_b_(half_), level_a_(half_),
      level_b_(half_), grouped_a_(half_), grouped_b_(half_), frequency_(half_),
      average_(options.average), average_mode_(options.average_mode),
      overlap_samples_(shared_samples(length_, options.overlap)), power_a_(half_), power_b_(half_)
{
    qn_spectr_set_mode(mode_);
    qn_spectr_remove_DC(keep_dc_ ? 0 : 1);
    qn_set_impedance(options.impedance);
    check(qn_spectr_window_init(options.window), "qn_spectr_window_init");
    check(qn_spectr_fft_init(), "qn_spectr_fft_init");
}

void Pipeline::set_sample_rate(double signal_rate)
{
    rate_from_signal_ = decimation_option_ == 0 && signal_rate > 0;
    double clock = kAcquisitionClockHz;
    float divider = static_cast<float>(std::max(decimation_option_, 1));
    if (rate_from_signal_) {
        clock = signal_rate;
        divider = 1.0f;
    }
    float *axis = frequency_.data();
    check(qn_spectr_prepare_freq_vector(&axis, clock, divider), "qn_spectr_prepare_freq_vector");
    sample_rate_ = clock / divider;
    // The converters know only the board's clock: a file's rate is
    // expressed as a divider of it.
    decimation_ = rate_from_signal_ ? static_cast<float>(kAcquisitionClockHz / clock) : divider;
}

void Pipeline::transform(const double *a, const double *b)
{
    double *wa = windowed_a_.data();
    double *wb = windowed_b_.data();
    check(qn_spectr_window_filter(a, b, &wa, &wb), "qn_spectr_window_filter");
    double *ma = magnitude_a_.data();
    double *mb = magnitude_b_.data();
    check(qn_spectr_fft(wa, wb, &ma, &mb), "qn_spectr_fft");
}

void Pipeline::decimate(int points, std::vector<float> &a, std::vector<float> &b)
{
    float *pa = a.data();
    float *pb = b.data();
    check(qn_spectr_decimate(magnitude_a_.data(), magnitude_b_.data(), &pa, &pb, half_, points),
          "qn_spectr_decimate");
    check_finite(a, points, "A");
    check_finite(b, points, "B");
}

// In place: the module's DC suppression copies element 2 into elements 0
// and 1 of the output before converting, which only acts on the input then.
void Pipeline::convert_in_place(std::vector<float> &a, std::vector<float> &b, Peak &peak_a,
                                Peak &peak_b)
{
    float *pa = a.data();
    float *pb = b.data();
    float found[4] = {};
    const auto converter = mode_ == SPECTR_MODE_DBM ? qn_spectr_cnv_to_dBm : qn_spectr_cnv_to_metric;
    check(converter(pa, pb, &pa, &pb, decimation_, &found[0], &found[1], &found[2], &found[3]),
          "conversion");
    peak_a = Peak{found[0], found[1]};
    peak_b = Peak{found[2], found[3]};
}

// Groups are averaged from the bins as the full-resolution spectrum shows
// them, DC suppression included; the groups themselves are not suppressed
// again.
void Pipeline::group_bins()
{
    if (!keep_dc_) {
        magnitude_a_[0] = magnitude_a_[1] = magnitude_a_[2];
        magnitude_b_[0] = magnitude_b_[1] = magnitude_b_[2];
    }
    decimate(points_, grouped_a_, grouped_b_);
    // Points beyond the groups hold no level; the converter still reads N/2.
    std::fill(grouped_a_.begin() + points_, grouped_a_.end(), 0.0f);
    std::fill(grouped_b_.begin() + points_, grouped_b_.end(), 0.0f);
    Peak unused_a{};
    Peak unused_b{};
    qn_spectr_remove_DC(0);
    convert_in_place(grouped_a_, grouped_b_, unused_a, unused_b);
    qn_spectr_remove_DC(keep_dc_ ? 0 : 1);
}

Spectrum Pipeline::spectrum_of(const std::vector<float> &a, const std::vector<float> &b)
{
    Spectrum spectrum{unit_name(mode_), {}, {}, {}, {}, {}, 9};
    const int step = half_ / points_;
    for (int g = 0; g < points_; ++g) {
        const int first = g * step;
        const int last = first + step - 1;
        spectrum.frequency.push_back((double(frequency_[first]) + double(frequency_[last])) / 2);
        spectrum.a.push_back(a[g]);
        spectrum.b.push_back(b[g]);
    }
    return spectrum;
}

Spectrum Pipeline::run(const Signal &signal)
{
    if (signal.frames() < static_cast<std::size_t>(length_))
        throw Error("signal shorter than N");
    set_sample_rate(signal.sample_rate);
    transform(signal.a.data(), signal.b.data());
    for (int k = 0; k < half_; ++k) {
        power_a_[k] = magnitude_a_[k] * magnitude_a_[k];
        power_b_[k] = magnitude_b_[k] * magnitude_b_[k];
    }
    segments_ = 1;
    frames_used_ = static_cast<std::uint64_t>(length_);
    Peak peak_a{};
    Peak peak_b{};
    decimate(half_, level_a_, level_b_);
    convert_in_place(level_a_, level_b_, peak_a, peak_b);
    const bool grouped = points_ != half_;
    if (grouped)
        group_bins();
    Spectrum spectrum =
        grouped ? spectrum_of(grouped_a_, grouped_b_) : spectrum_of(level_a_, level_b_);
    spectrum.peak_a = peak_a;
    spectrum.peak_b = peak_b;
    return spectrum;
}

void Pipeline::accumulate()
{
    const bool first = segments_ == 0;
    for (int k = 0; k < half_; ++k) {
        const double pa = magnitude_a_[k] * magnitude_a_[k];
        const double pb = magnitude_b_[k] * magnitude_b_[k];
        if (first) {
            power_a_[k] = pa;
            power_b_[k] = pb;
        } else if (average_mode_ == kAverageMax) {
            power_a_[k] = std::max(power_a_[k], pa);
            power_b_[k] = std::max(power_b_[k], pb);
        } else {
            power_a_[k] += pa;
            power_b_[k] += pb;
        }
    }
    if (average_mode_ == kAverageMedian) {
        if (kept_a_.size() + std::size_t(half_) > kMaxKeptValues)
            throw Error("--average-mode median keeps every segment: at most " +
                        std::to_string(kMaxKeptValues / std::size_t(half_)) + " segments at N = " +
                        std::to_string(length_) + " (give --average a count, or use mean or max)");
        kept_a_.insert(kept_a_.end(), magnitude_a_.begin(), magnitude_a_.end());
        kept_b_.insert(kept_b_.end(), magnitude_b_.begin(), magnitude_b_.end());
    }
    ++segments_;
}

void Pipeline::finish_average()
{
    if (average_mode_ == kAverageMean) {
        for (int k = 0; k < half_; ++k) {
            power_a_[k] /= segments_;
            power_b_[k] /= segments_;
        }
    } else if (average_mode_ == kAverageMedian) {
        const double bias = median_bias(segments_);
        std::vector<double> column(std::size_t(segments_), 0.0);
        for (auto [kept, power] : {std::pair{&kept_a_, &power_a_}, std::pair{&kept_b_, &power_b_}}) {
            for (int k = 0; k < half_; ++k) {
                for (int s = 0; s < segments_; ++s) {
                    const double m = (*kept)[std::size_t(s) * std::size_t(half_) + std::size_t(k)];
                    column[std::size_t(s)] = m * m;
                }
                (*power)[k] = median(column) / bias;
            }
            kept->clear();
            kept->shrink_to_fit();
        }
    }
}

Spectrum Pipeline::run_average(FrameSource &source,
                               const std::function<void(std::uint64_t)> &progress)
{
    set_sample_rate(source.sample_rate());
    const auto n = static_cast<std::size_t>(length_);
    const auto overlap = static_cast<std::size_t>(overlap_samples_);
    const std::size_t hop = n - overlap;
    segment_a_.resize(n);
    segment_b_.resize(n);
    kept_a_.clear();
    kept_b_.clear();
    segments_ = 0;
    std::uint64_t frames = source.read(segment_a_.data(), segment_b_.data(), n);
    if (frames < n)
        throw Error(too_short_message(source.name(), frames, n));
    for (;;) {
        transform(segment_a_.data(), segment_b_.data());
        accumulate();
        if (progress)
            progress(frames);
        if (average_ != kAverageAll && segments_ == average_)
            break;
        std::copy(segment_a_.begin() + std::ptrdiff_t(hop), segment_a_.end(), segment_a_.begin());
        std::copy(segment_b_.begin() + std::ptrdiff_t(hop), segment_b_.end(), segment_b_.begin());
        const std::size_t got =
            source.read(segment_a_.data() + overlap, segment_b_.data() + overlap, hop);
        frames += got;
        if (got == hop)
            continue;
        if (average_ == kAverageAll)
            break;
        const std::uint64_t needed = n + std::uint64_t(average_ - 1) * hop;
        throw Error(source.name() + " ends inside segment " + std::to_string(segments_ + 1) + " of " +
                    std::to_string(average_) + ": " + std::to_string(frames) +
                    " samples per channel, of which " + std::to_string(segments_) +
                    " whole segment(s) use " + std::to_string(n + (segments_ - 1) * hop) + "; " +
                    std::to_string(average_) + " segments of N = " + std::to_string(n) +
                    " overlapping by " + std::to_string(overlap) + " need " + std::to_string(needed));
    }
    source.finish();
    frames_used_ = n + std::uint64_t(segments_ - 1) * hop;
    finish_average();
    return spectrum_of_power();
}

Spectrum Pipeline::spectrum_of_power()
{
    const double window_sum = qn_window_sum;
    const double impedance = qn_get_impedance();
    Spectrum spectrum{unit_name(mode_), {}, {}, {}, {}, {}, 17};
    const int step = half_ / points_;
    for (auto [power, levels, peak, name] :
         {std::tuple{&power_a_, &spectrum.a, &spectrum.peak_a, "A"},
          std::tuple{&power_b_, &spectrum.b, &spectrum.peak_b, "B"}}) {
        std::vector<double> bins(std::size_t(half_), 0.0);
        for (int k = 0; k < half_; ++k)
            bins[k] = normalised((*power)[k], mode_, window_sum, impedance);
        if (!keep_dc_)
            bins[0] = bins[1] = bins[2];
        check_finite(bins, name);
        // The peak from the full-resolution spectrum, as without averaging.
        const auto top = std::max_element(bins.begin(), bins.end());
        const auto k = static_cast<std::size_t>(top - bins.begin());
        *peak = Peak{converted(*top, mode_), frequency_[k]};
        for (int g = 0; g < points_; ++g) {
            double sum = 0;
            for (int j = g * step; j < (g + 1) * step; ++j)
                sum += bins[j];
            levels->push_back(converted(sum / step, mode_));
        }
    }
    for (int g = 0; g < points_; ++g) {
        const int first = g * step;
        const int last = first + step - 1;
        spectrum.frequency.push_back((double(frequency_[first]) + double(frequency_[last])) / 2);
    }
    return spectrum;
}

}  // namespace analyser
