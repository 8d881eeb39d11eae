#include "pipeline.h"

#include "error.h"
#include "spectrum.h"

#include <algorithm>

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
                    std::to_string(half) + " (a power of two up to " + std::to_string(half) +
                    ")");
    return points;
}

}  // namespace

ModuleBuffers::~ModuleBuffers()
{
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
}

Pipeline::Pipeline(const Options &options)
    : length_(checked_length(options.length)),
      half_(qn_get_spectr_out_signal_length()),
      points_(checked_points(options.points, half_)),
      mode_(options.mode),
      decimation_(static_cast<float>(options.decimation)),
      windowed_a_(length_), windowed_b_(length_),
      magnitude_a_(half_), magnitude_b_(half_),
      level_a_(half_), level_b_(half_),
      converted_a_(half_), converted_b_(half_),
      frequency_(half_)
{
    qn_spectr_set_mode(mode_);
    qn_set_impedance(options.impedance);
    check(qn_spectr_window_init(options.window), "qn_spectr_window_init");
    check(qn_spectr_fft_init(), "qn_spectr_fft_init");
    float *axis = frequency_.data();
    check(qn_spectr_prepare_freq_vector(&axis, kAcquisitionClockHz, decimation_),
          "qn_spectr_prepare_freq_vector");
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
}

void Pipeline::convert(const std::vector<float> &a, const std::vector<float> &b, Peak &peak_a,
                       Peak &peak_b)
{
    float *ca = converted_a_.data();
    float *cb = converted_b_.data();
    const auto converter =
        mode_ == SPECTR_MODE_DBM ? qn_spectr_cnv_to_dBm : qn_spectr_cnv_to_metric;
    check(converter(a.data(), b.data(), &ca, &cb, decimation_, &peak_a.value,
                    &peak_a.frequency, &peak_b.value, &peak_b.frequency),
          "conversion");
}

Spectrum Pipeline::grouped_spectrum()
{
    Spectrum spectrum{unit_name(mode_), {}, {}, {}, {}, {}};
    const int step = half_ / points_;
    for (int g = 0; g < points_; ++g) {
        const int first = g * step;
        const int last = first + step - 1;
        spectrum.frequency.push_back((double(frequency_[first]) + double(frequency_[last])) / 2);
        spectrum.a.push_back(converted_a_[g]);
        spectrum.b.push_back(converted_b_[g]);
    }
    return spectrum;
}

Spectrum Pipeline::run(const Signal &signal)
{
    transform(signal);
    Peak peak_a{};
    Peak peak_b{};
    decimate(half_, level_a_, level_b_);
    convert(level_a_, level_b_, peak_a, peak_b);
    if (points_ != half_) {
        Peak unused_a{};
        Peak unused_b{};
        decimate(points_, level_a_, level_b_);
        // Points beyond the groups hold no level; the converter still reads N/2.
        std::fill(level_a_.begin() + points_, level_a_.end(), 0.0f);
        std::fill(level_b_.begin() + points_, level_b_.end(), 0.0f);
        convert(level_a_, level_b_, unused_a, unused_b);
    }
    Spectrum spectrum = grouped_spectrum();
    spectrum.peak_a = peak_a;
    spectrum.peak_b = peak_b;
    return spectrum;
}

}  // namespace analyser
