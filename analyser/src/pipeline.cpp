#include "pipeline.h"

#include "error.h"
#include "spectrum.h"

#include <algorithm>
#include <cmath>

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
      level_b_(half_), grouped_a_(half_), grouped_b_(half_), frequency_(half_)
{
    qn_spectr_set_mode(mode_);
    qn_spectr_remove_DC(keep_dc_ ? 0 : 1);
    qn_set_impedance(options.impedance);
    check(qn_spectr_window_init(options.window), "qn_spectr_window_init");
    check(qn_spectr_fft_init(), "qn_spectr_fft_init");
}

void Pipeline::set_sample_rate(const Signal &signal)
{
    rate_from_signal_ = decimation_option_ == 0 && signal.sample_rate > 0;
    double clock = kAcquisitionClockHz;
    float divider = static_cast<float>(std::max(decimation_option_, 1));
    if (rate_from_signal_) {
        clock = signal.sample_rate;
        divider = 1.0f;
    }
    float *axis = frequency_.data();
    check(qn_spectr_prepare_freq_vector(&axis, clock, divider), "qn_spectr_prepare_freq_vector");
    sample_rate_ = clock / divider;
    // The converters know only the board's clock: a file's rate is
    // expressed as a divider of it.
    decimation_ = rate_from_signal_ ? static_cast<float>(kAcquisitionClockHz / clock) : divider;
}

void Pipeline::transform(const Signal &signal)
{
    if (signal.frames() < static_cast<std::size_t>(length_))
        throw Error("signal shorter than N");
    double *wa = windowed_a_.data();
    double *wb = windowed_b_.data();
    check(qn_spectr_window_filter(signal.a.data(), signal.b.data(), &wa, &wb),
          "qn_spectr_window_filter");
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
    const auto converter = mode_ == SPECTR_MODE_DBM ? qn_spectr_cnv_to_dBm : qn_spectr_cnv_to_metric;
    check(converter(pa, pb, &pa, &pb, decimation_, &peak_a.value, &peak_a.frequency, &peak_b.value,
                    &peak_b.frequency),
          "conversion");
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
    Spectrum spectrum{unit_name(mode_), {}, {}, {}, {}, {}};
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
    set_sample_rate(signal);
    transform(signal);
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

}  // namespace analyser
