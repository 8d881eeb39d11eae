// Runs the spectrum module over one two-channel acquisition.
#ifndef QN_ANALYSER_PIPELINE_H
#define QN_ANALYSER_PIPELINE_H

#include "options.h"
#include "signal.h"
#include "source.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace analyser {

struct Peak {
    double value;
    double frequency;  // Hz
};

struct Spectrum {
    const char *unit;
    std::vector<double> frequency;  // Hz, centre of each point's bin group
    std::vector<double> a;
    std::vector<double> b;
    Peak peak_a;
    Peak peak_b;
    // Significant digits that give a level back: 9 for the module's floats,
    // 17 for the averaged spectrum, which is converted in double.
    int digits = 9;
};

// Releases the module's window and FFT plan, also when set-up fails halfway.
struct ModuleBuffers {
    ModuleBuffers() = default;
    ModuleBuffers(const ModuleBuffers &) = delete;
    ModuleBuffers &operator=(const ModuleBuffers &) = delete;
    ~ModuleBuffers();
};

class Pipeline {
public:
    // Configures the module (length, unit mode, impedance, window, FFT plan)
    // and sizes every buffer; throws Error on an invalid length or points.
    explicit Pipeline(const Options &options);

    int length() const { return length_; }

    // Analyses the first N frames of the signal. The peaks come from the
    // full-resolution spectrum (N/2 bins) whatever the number of points.
    // The sample rate is the board's, 125 MHz / D, unless the signal brings
    // its own and --decimation was not given.
    Spectrum run(const Signal &signal);

    // Averages the power of overlapping segments of N frames from source
    // (--average, --overlap, --average-mode), then groups and converts once,
    // in double. progress, if set, is told the frames read so far.
    Spectrum run_average(FrameSource &source,
                         const std::function<void(std::uint64_t)> &progress = {});

    // Segments averaged by the last run (1 without averaging), the frames
    // they cover, and the samples two consecutive segments share.
    int segments() const { return segments_; }
    std::uint64_t frames_used() const { return frames_used_; }
    int overlap_samples() const { return overlap_samples_; }

    // |X[k]|^2 of the last run's N/2 bins, averaged as asked; DC not suppressed.
    const std::vector<double> &power_a() const { return power_a_; }
    const std::vector<double> &power_b() const { return power_b_; }

    // The sample rate of the last run, and whether it was the signal's own.
    double sample_rate() const { return sample_rate_; }
    bool rate_from_signal() const { return rate_from_signal_; }

private:
    void set_sample_rate(double signal_rate);
    void transform(const double *a, const double *b);
    void accumulate();
    void finish_average();
    Spectrum spectrum_of_power();
    void convert_in_place(std::vector<float> &a, std::vector<float> &b, Peak &peak_a, Peak &peak_b);
    void decimate(int points, std::vector<float> &a, std::vector<float> &b);
    void group_bins();
    Spectrum spectrum_of(const std::vector<float> &a, const std::vector<float> &b);

    ModuleBuffers module_;
    int length_;
    int half_;
    int points_;
    int mode_;
    bool keep_dc_;
    int decimation_option_;  // 0: not given
    float decimation_;       // the converters' divider of the board's clock
    double sample_rate_ = 0;
    bool rate_from_signal_ = false;
    std::vector<double> windowed_a_, windowed_b_;
    std::vector<double> magnitude_a_, magnitude_b_;
    // Converted in place (the module suppresses DC only then); both hold
    // N/2 values even when fewer points are produced: the converters always
    // work on N/2.
    std::vector<float> level_a_, level_b_;
    std::vector<float> grouped_a_, grouped_b_;
    std::vector<float> frequency_;

    int average_;
    int average_mode_;
    int overlap_samples_;
    int segments_ = 0;
    std::uint64_t frames_used_ = 0;
    std::vector<double> segment_a_, segment_b_;
    std::vector<double> power_a_, power_b_;
    // Every segment's powers, for the median.
    std::vector<double> kept_a_, kept_b_;
};

}  // namespace analyser

#endif
