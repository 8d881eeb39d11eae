// Runs the spectrum module over one two-channel acquisition.
#ifndef QN_ANALYSER_PIPELINE_H
#define QN_ANALYSER_PIPELINE_H

#include "options.h"
#include "signal.h"

#include <vector>

namespace analyser {

struct Peak {
    float value;
    float frequency;  // Hz
};

struct Spectrum {
    const char *unit;
    std::vector<double> frequency;  // Hz, centre of each point's bin group
    std::vector<float> a;
    std::vector<float> b;
    Peak peak_a;
    Peak peak_b;
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

    // The sample rate of the last run, and whether it was the signal's own.
    double sample_rate() const { return sample_rate_; }
    bool rate_from_signal() const { return rate_from_signal_; }

private:
    void set_sample_rate(const Signal &signal);
    void transform(const Signal &signal);
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
};

}  // namespace analyser

#endif
