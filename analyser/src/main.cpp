// spectrum-analyser: peaks, CSV and SVG spectra of a two-channel signal.
#include "error.h"
#include "format.h"
#include "input.h"
#include "options.h"
#include "output.h"
#include "pipeline.h"
#include "test_signal.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace analyser {
namespace {

std::string describe(const Options &options, const Pipeline &pipeline)
{
    const std::string source = options.input.empty() ? "built-in test signal" : options.input;
    const std::string rate = pipeline.rate_from_signal()
                                 ? format("%.0f Hz from the file", pipeline.sample_rate())
                                 : format("125 MHz / %d", std::max(options.decimation, 1));
    return format("%s: N %d, %s window, sample rate %s", source.c_str(), pipeline.length(),
                  window_name(options.window), rate.c_str());
}

void write_outputs(const Options &options, const Spectrum &spectrum, const std::string &title)
{
    // The plot first: a failure then leaves standard output empty.
    if (!options.svg_path.empty()) {
        std::ofstream out = open_output(options.svg_path);
        write_svg(out, spectrum, title);
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
}

int run(const Options &options)
{
    Pipeline pipeline(options);
    const auto n = static_cast<std::size_t>(pipeline.length());
    const Signal signal =
        options.input.empty() ? synthesise_test_signal(n) : load_signal(options.input, n);
    const Spectrum spectrum = pipeline.run(signal);
    write_outputs(options, spectrum, describe(options, pipeline));

    // With the CSV on standard output the peaks move aside to keep it clean.
    const bool aside = options.csv_path == "-";
    std::ostream &report = aside ? std::cerr : std::cout;
    report << peak_line("A", spectrum.peak_a, spectrum.unit) << '\n'
           << peak_line("B", spectrum.peak_b, spectrum.unit) << '\n';
    finish_standard_stream(report, aside ? "standard error" : "standard output");
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
