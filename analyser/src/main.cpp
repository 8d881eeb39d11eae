// spectrum-analyser: peaks, CSV and SVG spectra of a two-channel signal.
#include "error.h"
#include "format.h"
#include "input.h"
#include "options.h"
#include "output.h"
#include "pipeline.h"
#include "source.h"
#include "spectrum.h"
#include "test_signal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace analyser {
namespace {

std::string describe(const Options &options, const Pipeline &pipeline)
{
    const std::string source = options.input.empty()  ? "built-in test signal"
                               : options.input == "-" ? "standard input"
                                                      : options.input;
    const std::string rate = pipeline.rate_from_signal()
                                 ? format("%.0f Hz from the file", pipeline.sample_rate())
                                 : format("125 MHz / %d", std::max(options.decimation, 1));
    return format("%s: N %d, %s window, sample rate %s", source.c_str(), pipeline.length(),
                  window_name(options.window), rate.c_str());
}

// "mean of 12 segments, 50% overlap"; empty without --average.
std::string describe_averaging(const Options &options, const Pipeline &pipeline)
{
    if (options.average == 0)
        return {};
    static const char *const kinds[] = {"mean", "median", "max-hold"};
    return format("%s of %d segment%s, %g%% overlap", kinds[options.average_mode],
                  pipeline.segments(), pipeline.segments() == 1 ? "" : "s", options.overlap);
}

// "12.3 s of 600.0 s read" on a terminal's standard error, rewritten in
// place; never on a pipe or file, where it would mix with what scripts read.
class Progress {
public:
    explicit Progress(const FrameSource &source)
        : shown_(false), enabled_(isatty(STDERR_FILENO) == 1), rate_(source.sample_rate()),
          total_(source.total_frames()), start_(std::chrono::steady_clock::now()), last_(start_)
    {
    }
    ~Progress() { clear(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(std::uint64_t frames)
    {
        if (!enabled_)
            return;
        const auto now = std::chrono::steady_clock::now();
        // Only long inputs: the first second shows nothing.
        if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
            return;
        last_ = now;
        std::string text = rate_ > 0
                               ? format("%.1f s", double(frames) / rate_)
                               : format("%llu samples", static_cast<unsigned long long>(frames));
        if (total_ > 0)
            text +=
                format(" of %s (%.0f%%)",
                       rate_ > 0 ? format("%.1f s", double(total_) / rate_).c_str()
                                 : format("%llu", static_cast<unsigned long long>(total_)).c_str(),
                       100.0 * double(frames) / double(total_));
        std::cerr << "\rspectrum-analyser: " << text << " read\x1b[K" << std::flush;
        shown_ = true;
    }

    void clear()
    {
        if (shown_)
            std::cerr << "\r\x1b[K" << std::flush;
        shown_ = false;
    }

private:
    bool shown_;
    bool enabled_;
    double rate_;
    std::uint64_t total_;
    std::chrono::steady_clock::time_point start_, last_;
};

void write_outputs(const Options &options, const Spectrum &spectrum, const std::string &title,
                   const Report &report)
{
    // The plot first: a failure then leaves standard output empty.
    if (!options.svg_path.empty()) {
        std::ofstream out = open_output(options.svg_path);
        write_svg(out, spectrum, title, &report);
        finish_output(out, options.svg_path);
    }
    if (options.csv_path == "-") {
        write_csv(std::cout, spectrum);
        finish_standard_stream(std::cout, "standard output");
    } else if (!options.csv_path.empty()) {
        std::ofstream out = open_output(options.csv_path);
        write_csv(out, spectrum);
        finish_output(out, options.csv_path);
    }
    if (options.json) {
        write_json(std::cout, spectrum, report);
        finish_standard_stream(std::cout, "standard output");
    }
}

// The built-in tones repeat every 16 samples, so any length is as good;
// enough for the segments asked, within reason.
std::size_t built_in_frames(const Options &options, const Pipeline &pipeline)
{
    constexpr std::uint64_t kLongest = std::uint64_t(1) << 22;
    const auto n = std::uint64_t(pipeline.length());
    if (options.average == kAverageAll)
        return n;
    const std::uint64_t hop = n - std::uint64_t(pipeline.overlap_samples());
    return std::size_t(std::min(kLongest, n + std::uint64_t(options.average - 1) * hop));
}

Spectrum analyse(const Options &options, Pipeline &pipeline)
{
    const auto n = static_cast<std::size_t>(pipeline.length());
    if (options.average == 0) {
        if (options.input.empty())
            return pipeline.run(synthesise_test_signal(n));
        if (options.input != "-")
            return pipeline.run(load_signal(options.input, n));
        return pipeline.run(read_frames(*open_source("-"), n));
    }
    const auto source = options.input.empty()
                            ? open_signal(synthesise_test_signal(built_in_frames(options, pipeline)),
                                          "the built-in test signal")
                            : open_source(options.input);
    Progress progress(*source);
    return pipeline.run_average(*source, [&](std::uint64_t frames) { progress.update(frames); });
}

Report make_report(const Options &options, const Pipeline &pipeline)
{
    Report report{options.input,
                  pipeline.length(),
                  options.window,
                  options.mode,
                  options.impedance,
                  pipeline.sample_rate(),
                  pipeline.rate_from_signal(),
                  options.points == 0 ? pipeline.length() / 2 : options.points,
                  options.keep_dc,
                  options.average != 0,
                  options.average_mode,
                  pipeline.segments(),
                  options.overlap,
                  pipeline.overlap_samples(),
                  pipeline.frames_used(),
                  describe_averaging(options, pipeline),
                  options.peaks > 0,
                  {},
                  {}};
    if (options.peaks == 0 && !options.metrics)
        return report;
    const WindowShape window(options.window, qn_window, pipeline.length());
    const double bin_hz = pipeline.sample_rate() / pipeline.length();
    const LevelScale scale{options.mode, options.impedance};
    for (auto [power, channel] :
         {std::pair{&pipeline.power_a(), &report.a}, std::pair{&pipeline.power_b(), &report.b}}) {
        const ChannelBins bins{*power, window, bin_hz, scale};
        if (options.peaks > 0)
            channel->peaks = find_peaks(bins, options.peaks, options.keep_dc);
        if (options.metrics)
            channel->metrics = measure(bins);
    }
    return report;
}

// "12.34 dB"; "n/a dB" for a ratio of nothing (a silent channel).
std::string decibels(double value, const char *unit)
{
    return std::isfinite(value) ? format("%.2f %s", value, unit) : format("n/a %s", unit);
}

// The peak table and metrics as text, for a reader without --json.
std::string tables(const Report &report, const char *unit)
{
    std::string text;
    for (const auto &[name, channel] : {std::pair{"A", &report.a}, std::pair{"B", &report.b}}) {
        for (std::size_t i = 0; i < channel->peaks.size(); ++i)
            text += format("%s%zu: %s at %s\n", name, i + 1,
                           format_level(channel->peaks[i].level, unit).c_str(),
                           format_si(channel->peaks[i].frequency, "Hz").c_str());
        if (const auto &m = channel->metrics)
            text += format("%s: fundamental %s at %s, THD %s, SNR %s, SINAD %s, SFDR %s, ENOB %s, "
                           "noise floor %s per bin\n",
                           name, format_level(m->fundamental_level, unit).c_str(),
                           format_si(m->fundamental_hz, "Hz").c_str(),
                           decibels(m->thd_dbc, "dBc").c_str(), decibels(m->snr_db, "dB").c_str(),
                           decibels(m->sinad_db, "dB").c_str(), decibels(m->sfdr_dbc, "dBc").c_str(),
                           decibels(m->enob_bits, "bits").c_str(),
                           format_level(m->noise_floor, unit).c_str());
    }
    return text;
}

int run(const Options &options)
{
    Pipeline pipeline(options);
    const Spectrum spectrum = analyse(options, pipeline);
    const Report report = make_report(options, pipeline);
    write_outputs(options, spectrum, describe(options, pipeline), report);

    // With the CSV or JSON on standard output the peaks move aside to keep it clean.
    const bool aside = options.csv_path == "-" || options.json;
    std::ostream &lines = aside ? std::cerr : std::cout;
    lines << peak_line("A", spectrum.peak_a, spectrum.unit) << '\n'
          << peak_line("B", spectrum.peak_b, spectrum.unit) << '\n'
          << tables(report, spectrum.unit);
    finish_standard_stream(lines, aside ? "standard error" : "standard output");
    return 0;
}

}  // namespace
}  // namespace analyser

int main(int argc, char **argv)
{
    try {
        analyser::reserve_standard_descriptors();
        const analyser::Options options = analyser::parse_options(argc, argv);
        if (options.help) {
            std::cout << analyser::usage_text();
            analyser::finish_standard_stream(std::cout, "standard output");
            return 0;
        }
        return analyser::run(options);
    } catch (const std::exception &error) {
        std::cerr << "spectrum-analyser: " << analyser::one_line(error.what()) << '\n';
    }
    return 1;
}
