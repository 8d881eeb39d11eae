// Command-line options of spectrum-analyser.
#ifndef QN_ANALYSER_OPTIONS_H
#define QN_ANALYSER_OPTIONS_H

#include <string>

namespace analyser {

// --average all: every whole segment of the input.
inline constexpr int kAverageAll = -1;
enum { kAverageMean = 0, kAverageMedian = 1, kAverageMax = 2 };

struct Options {
    std::string input;  // empty: the built-in test signal
    int length = 16384;
    int window = 1;  // WINDOW_HANN
    int mode = 0;    // SPECTR_MODE_DBM
    double impedance = 50.0;
    int decimation = 0;     // acquisition clock divider; 0: not given
    int points = 0;         // 0: N/2
    std::string csv_path;   // empty: no CSV; "-": standard output
    std::string svg_path;   // empty: no plot
    bool keep_dc = false;   // false: the module's DC suppression is on
    int average = 0;        // segments averaged; 0: one segment, as without --average
    double overlap = 50.0;  // percent of a segment shared with the next
    int average_mode = 0;   // kAverageMean, kAverageMedian or kAverageMax
    int peaks = 0;          // entries of the peak table; 0: none
    bool metrics = false;
    bool json = false;
    bool help = false;

    bool operator==(const Options &) const = default;
};

// Throws Error on an unknown option, a missing value or a value that is not
// valid on its own (length and points are checked against each other later).
Options parse_options(int argc, const char *const argv[]);

const char *usage_text();
const char *window_name(int window);
const char *unit_name(int mode);
const char *average_mode_name(int mode);

}  // namespace analyser

#endif
