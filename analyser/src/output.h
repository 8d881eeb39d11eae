// Writing the spectrum: CSV table and SVG plot.
#ifndef QN_ANALYSER_OUTPUT_H
#define QN_ANALYSER_OUTPUT_H

#include "measure.h"
#include "pipeline.h"

#include <fstream>
#include <optional>
#include <ostream>
#include <string>

namespace analyser {

// What a run found beyond the spectrum, and how it was made.
struct ChannelReport {
    std::vector<TablePeak> peaks;    // empty unless --peaks
    std::optional<Metrics> metrics;  // unless --metrics
};

struct Report {
    std::string input;  // file name, "-" or empty for the built-in signal
    int length;
    int window;
    int mode;
    double impedance;
    double sample_rate;
    bool rate_from_signal;
    int points;
    bool keep_dc;
    bool averaged;  // --average given
    int average_mode;
    int segments;
    double overlap_percent;
    int overlap_samples;
    unsigned long long frames_used;
    std::string averaging;  // for the plot: "mean of 12 segments, 50% overlap"
    bool peaks_asked;
    ChannelReport a;
    ChannelReport b;
};

// One JSON document: settings, each channel's peak, peak table and metrics.
void write_json(std::ostream &out, const Spectrum &spectrum, const Report &report);

// Header "frequency_Hz,A_<unit>,B_<unit>", then one row per point.
void write_csv(std::ostream &out, const Spectrum &spectrum);

// Line plot of both channels with labelled axes; title is plain text.
// With a report, the plot marks its peak tables.
void write_svg(std::ostream &out, const Spectrum &spectrum, const std::string &title,
               const Report *report = nullptr);

// Opens path for writing; throws Error naming the file when it cannot.
std::ofstream open_output(const std::string &path);

// Flushes and closes; throws Error when anything was not written.
void finish_output(std::ofstream &out, const std::string &path);

// Flushes a standard stream; throws Error naming it ("standard output") and
// the system's reason when anything written to it was lost.
void finish_standard_stream(std::ostream &out, const char *name);

// Puts /dev/null, read-only, on any of descriptors 0 to 2 that is closed: a
// file opened later cannot then receive what was meant for standard output,
// and writes to a closed standard stream still fail.
void reserve_standard_descriptors();

}  // namespace analyser

#endif
