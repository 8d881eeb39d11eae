// Writing the spectrum: CSV table and SVG plot.
#ifndef QN_ANALYSER_OUTPUT_H
#define QN_ANALYSER_OUTPUT_H

#include "pipeline.h"

#include <fstream>
#include <ostream>
#include <string>

namespace analyser {

// Header "frequency_Hz,A_<unit>,B_<unit>", then one row per point.
void write_csv(std::ostream &out, const Spectrum &spectrum);

// Line plot of both channels with labelled axes; title is plain text.
void write_svg(std::ostream &out, const Spectrum &spectrum, const std::string &title);

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
