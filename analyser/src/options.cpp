#include "options.h"

#include "error.h"
#include "spectrum.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

namespace analyser {
namespace {

constexpr std::array<std::pair<std::string_view, int>, 7> kWindows{{
    {"rectangular", WINDOW_RECTANGULAR},
    {"hann", WINDOW_HANN},
    {"hamming", WINDOW_HAMMING},
    {"blackman-harris", WINDOW_BLACKMAN_HARRIS},
    {"flat-top", WINDOW_FLAT_TOP},
    {"kaiser4", WINDOW_KAISER_4},
    {"kaiser8", WINDOW_KAISER_8},
}};

// Option name, the mode, and the unit printed with values.
struct UnitMode {
    std::string_view option;
    int mode;
    const char *unit;
};
constexpr std::array<UnitMode, 3> kUnits{{
    {"dbm", SPECTR_MODE_DBM, "dBm"},
    {"volt", SPECTR_MODE_VOLT, "V"},
    {"dbu", SPECTR_MODE_DBU, "dBu"},
}};

constexpr std::array<std::string_view, 3> kAverageModes{"mean", "median", "max"};

// A count no input could fill: the segment count stays an int.
constexpr int kMaxAverage = 1 << 30;
constexpr int kMaxPeaks = 1000;

// Exact in single precision, which is how the module takes the divider.
constexpr int kMaxDecimation = 1 << 24;

Error invalid(std::string_view option, std::string_view value, std::string_view why)
{
    return Error("invalid " + std::string(option) + " '" + std::string(value) +
                 "': " + std::string(why));
}

template <typename Number>
Number parse_number(std::string_view option, std::string_view text, const char *kind)
{
    Number value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::invalid_argument || end != text.data() + text.size())
        throw invalid(option, text, kind);
    if (ec == std::errc::result_out_of_range)
        throw invalid(option, text, "out of range");
    return value;
}

int parse_int(std::string_view option, std::string_view text)
{
    return parse_number<int>(option, text, "not an integer");
}

double parse_double(std::string_view option, std::string_view text)
{
    const double value = parse_number<double>(option, text, "not a number");
    if (!std::isfinite(value))
        throw invalid(option, text, "not a number");
    return value;
}

int parse_window(std::string_view text)
{
    for (const auto &[name, mode] : kWindows)
        if (name == text)
            return mode;
    throw invalid("--window", text,
                  "choose rectangular, hann, hamming, blackman-harris, flat-top, kaiser4 "
                  "or kaiser8");
}

int parse_unit(std::string_view text)
{
    for (const auto &unit : kUnits)
        if (unit.option == text)
            return unit.mode;
    throw invalid("--unit", text, "choose dbm, volt or dbu");
}

int parse_average(std::string_view text)
{
    if (text == "all")
        return kAverageAll;
    const int count = parse_number<int>("--average", text, "not an integer or 'all'");
    if (count < 1 || count > kMaxAverage)
        throw invalid("--average", text, "must be 'all' or a count from 1 to 1073741824");
    return count;
}

int parse_average_mode(std::string_view text)
{
    for (std::size_t i = 0; i < kAverageModes.size(); ++i)
        if (kAverageModes[i] == text)
            return static_cast<int>(i);
    throw invalid("--average-mode", text, "choose mean, median or max");
}

// name is one of the options check_known accepts.
void set_option(Options &options, std::string_view name, std::string_view value)
{
    if (name == "--length") {
        options.length = parse_int(name, value);
    } else if (name == "--window") {
        options.window = parse_window(value);
    } else if (name == "--unit") {
        options.mode = parse_unit(value);
    } else if (name == "--impedance") {
        options.impedance = parse_double(name, value);
        if (options.impedance <= 0)
            throw invalid(name, value, "must be above 0 ohms");
    } else if (name == "--decimation") {
        options.decimation = parse_int(name, value);
        if (options.decimation < 1 || options.decimation > kMaxDecimation)
            throw invalid(name, value, "must be an integer from 1 to 16777216");
    } else if (name == "--points") {
        options.points = parse_int(name, value);
        if (options.points < 1)
            throw invalid(name, value, "must be at least 1");
    } else if (name == "--average") {
        options.average = parse_average(value);
    } else if (name == "--overlap") {
        options.overlap = parse_double(name, value);
        if (options.overlap < 0 || options.overlap >= 100)
            throw invalid(name, value, "must be a percentage from 0 up to, not including, 100");
    } else if (name == "--average-mode") {
        options.average_mode = parse_average_mode(value);
    } else if (name == "--peaks") {
        options.peaks = parse_int(name, value);
        if (options.peaks < 1 || options.peaks > kMaxPeaks)
            throw invalid(name, value, "must be from 1 to 1000");
    } else if (value.empty()) {
        throw Error("option '" + std::string(name) + "' needs a file name");
    } else if (name == "--csv") {
        options.csv_path = value;
    } else {
        options.svg_path = value;
    }
}

// Options without a value.
bool *flag(Options &options, std::string_view name)
{
    if (name == "--keep-dc")
        return &options.keep_dc;
    if (name == "--metrics")
        return &options.metrics;
    if (name == "--json")
        return &options.json;
    return nullptr;
}

bool is_option(std::string_view arg) { return arg.size() > 1 && arg.front() == '-'; }

void check_known(std::string_view name)
{
    for (const std::string_view known :
         {"--length", "--window", "--unit", "--impedance", "--decimation", "--points", "--csv",
          "--svg", "--average", "--overlap", "--average-mode", "--peaks"})
        if (name == known)
            return;
    throw Error("unknown option '" + std::string(name) + "' (try --help)");
}

}  // namespace

Options parse_options(int argc, const char *const argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (bool *set = flag(options, arg)) {
            *set = true;
        } else if (!is_option(arg) || arg == "-") {
            if (arg.empty())
                throw Error("empty input file name");
            if (!options.input.empty())
                throw Error("more than one input file ('" + options.input + "', '" +
                            std::string(arg) + "')");
            options.input = arg;
        } else if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            if (flag(options, arg.substr(0, eq)))
                throw Error("option '" + std::string(arg.substr(0, eq)) + "' takes no value");
            check_known(arg.substr(0, eq));
            set_option(options, arg.substr(0, eq), arg.substr(eq + 1));
        } else {
            check_known(arg);
            if (i + 1 >= argc)
                throw Error("option '" + std::string(arg) + "' needs a value");
            set_option(options, arg, argv[++i]);
        }
    }
    if (options.json && options.csv_path == "-")
        throw Error("--json and --csv - both want standard output; write the CSV to a file");
    return options;
}

const char *average_mode_name(int mode)
{
    return mode >= 0 && mode < int(kAverageModes.size()) ? kAverageModes[mode].data() : "?";
}

const char *window_name(int window)
{
    for (const auto &[name, mode] : kWindows)
        if (mode == window)
            return name.data();
    return "?";
}

const char *unit_name(int mode)
{
    for (const auto &unit : kUnits)
        if (unit.mode == mode)
            return unit.unit;
    return "?";
}

const char *usage_text()
{
    return R"(Usage: spectrum-analyser [OPTIONS] [FILE]

Amplitude spectra of a two-channel signal (channels A and B). FILE is a CSV
file (name ending in .csv: two numeric columns in volts, optional header
line) or a two-channel WAV file (samples taken as volts, full scale = 1 V);
"-" reads standard input, a WAV stream or CSV text told apart by content.
Without FILE a built-in test signal is analysed: a 1 V peak tone at 1/16 of
the sample rate on A and a 0.1 V peak tone at 3/16 of it on B.
Prints the peak of each channel.

Options:
  --length N         FFT length: 256, 512, ..., 16384 (default 16384);
                     the first N samples of FILE are analysed
  --window NAME      rectangular, hann, hamming, blackman-harris, flat-top,
                     kaiser4, kaiser8 (default hann)
  --unit UNIT        dbm, volt (peak volts) or dbu (default dbm)
  --impedance OHMS   load impedance for dBm (default 50)
  --decimation D     acquisition decimation: sample rate = 125 MHz / D
                     (integer); default: a WAV file's own sample rate,
                     otherwise D = 1
  --points P         spectrum points written: bins are averaged in groups
                     of N/2/P; P must divide N/2 (default N/2)
  --csv FILE         write the spectrum as CSV (frequency, A, B); "-" writes
                     it to standard output and the peaks to standard error
  --svg FILE         write an SVG plot of both channels
  --keep-dc          keep the DC level; by default the two lowest bins read
                     like the third, so an offset cannot hide the peak
  --average S|all    average the power of S segments of N samples (all:
                     every whole segment of FILE, read in constant memory)
  --overlap P        percent of a segment shared with the next, 0 <= P < 100
                     (default 50)
  --average-mode M   mean, median (of powers, scaled to read noise like the
                     mean) or max (max-hold) (default mean)
  --peaks K          list the K highest peaks of each channel, frequency and
                     level interpolated between bins
  --metrics          fundamental, THD, SNR, SINAD, SFDR, ENOB and noise
                     floor of each channel's strongest tone
  --json             write the results as one JSON document on standard
                     output and the peak lines on standard error
  -h, --help         show this help
)";
}

}  // namespace analyser
