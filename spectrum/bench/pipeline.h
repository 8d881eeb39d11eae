// One acquisition's worth of module state and buffers on a test signal,
// shared by the x86 timing benchmark and the board's instruction count.
#ifndef QN_SPECTRUM_BENCH_PIPELINE_H
#define QN_SPECTRUM_BENCH_PIPELINE_H

#include "spectrum.h"

#include "kiss_fftr.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace spectrum_bench {

constexpr double kClockHz = 125000000.0;
constexpr float kDecimation = 1.0f;

// Uniform noise in [-0.5, 0.5) times the level, from a fixed-seed linear
// congruential generator.
struct Noise {
    uint64_t state = 0x853c49e6748fea9bULL;
    double next(double level)
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state >> 11) * 0x1p-53 - 0.5) * level;
    }
};

// A tone with its third harmonic over converter noise, so that every bin
// lies above the dB floor as in a real acquisition. compare_numpy.py
// computes the same samples.
inline std::vector<double> tone(int n, double cycles, double amplitude, Noise &noise)
{
    std::vector<double> samples(n);
    for (int i = 0; i < n; ++i) {
        const double phase = 2.0 * std::numbers::pi * cycles * i / n;
        samples[i] =
            amplitude * std::sin(phase) + amplitude * 0.01 * std::sin(3.0 * phase) + noise.next(1e-3);
    }
    return samples;
}

// The module configured for one length, with every buffer of one
// acquisition.
struct Pipeline {
    int n;
    int bins;
    std::vector<double> a_in, b_in;
    std::vector<double> a_windowed, b_windowed;
    std::vector<double> a_magnitude, b_magnitude;
    std::vector<float> a_decimated, b_decimated;
    std::vector<float> a_converted, b_converted;
    std::vector<float> freq;
    float a_peak = 0, a_peak_freq = 0, b_peak = 0, b_peak_freq = 0;

    explicit Pipeline(int length, Noise noise = {})
        : n(length), bins(length / 2), a_in(tone(length, 100.25, 1.0, noise)),
          b_in(tone(length, 1000.5, 0.1, noise)), a_windowed(length), b_windowed(length),
          a_magnitude(bins), b_magnitude(bins), a_decimated(bins), b_decimated(bins),
          a_converted(bins), b_converted(bins), freq(bins)
    {
        if (qn_set_spectr_signal_length(n) != 0 || qn_spectr_window_init(WINDOW_HANN) != 0)
            std::abort();
        qn_spectr_set_mode(SPECTR_MODE_DBM);
        qn_spectr_fft_init();
        acquisition();  // every stage then starts from realistic input
    }
    ~Pipeline()
    {
        qn_spectr_fft_clean();
        qn_spectr_window_clean();
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    void window()
    {
        double *a = a_windowed.data(), *b = b_windowed.data();
        qn_spectr_window_filter(a_in.data(), b_in.data(), &a, &b);
    }
    void fft()
    {
        double *a = a_magnitude.data(), *b = b_magnitude.data();
        qn_spectr_fft(a_windowed.data(), b_windowed.data(), &a, &b);
    }
    void decimate()
    {
        float *a = a_decimated.data(), *b = b_decimated.data();
        qn_spectr_decimate(a_magnitude.data(), b_magnitude.data(), &a, &b, bins, bins);
    }
    template <auto converter>
    void convert()
    {
        float *a = a_converted.data(), *b = b_converted.data();
        converter(a_decimated.data(), b_decimated.data(), &a, &b, kDecimation, &a_peak, &a_peak_freq,
                  &b_peak, &b_peak_freq);
    }
    void freq_axis()
    {
        float *axis = freq.data();
        qn_spectr_prepare_freq_vector(&axis, kClockHz, kDecimation);
    }
    // What each acquisition costs: the axis depends only on the settings.
    void spectrum_stages()
    {
        window();
        fft();
        decimate();
        convert<qn_spectr_cnv_to_dBm>();
    }
    void acquisition()
    {
        spectrum_stages();
        freq_axis();
    }
};

// The floor for the pipeline: both channels' real transforms alone, on the
// pipeline's windowed samples.
struct BarePair {
    const Pipeline &p;
    kiss_fftr_cfg plan;
    std::vector<kiss_fft_cpx> a_bins, b_bins;

    explicit BarePair(const Pipeline &pipeline)
        : p(pipeline), plan(kiss_fftr_alloc(pipeline.n, 0, nullptr, nullptr)),
          a_bins(pipeline.bins + 1), b_bins(pipeline.bins + 1)
    {
    }
    ~BarePair() { std::free(plan); }
    BarePair(const BarePair &) = delete;
    BarePair &operator=(const BarePair &) = delete;

    void transforms()
    {
        kiss_fftr(plan, p.a_windowed.data(), a_bins.data());
        kiss_fftr(plan, p.b_windowed.data(), b_bins.data());
    }
};

}  // namespace spectrum_bench

#endif
