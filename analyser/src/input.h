// Reading the signal to analyse.
#ifndef QN_ANALYSER_INPUT_H
#define QN_ANALYSER_INPUT_H

#include "signal.h"

#include <cstddef>
#include <string>

namespace analyser {

// Two-channel WAV (or any format libsndfile reads); samples normalised to
// +-1.0, which the analyser takes as volts, and the file's sample rate.
// Reads at most max_frames frames.
Signal read_wav(const std::string &path, std::size_t max_frames);

// Two numeric columns (A, B) in volts, separated by a comma; the first line
// may be a header. Every line is checked; at most max_frames rows are kept.
Signal read_csv(const std::string &path, std::size_t max_frames);

// Reads FILE (CSV when its name ends in .csv, otherwise through libsndfile)
// and keeps its first n frames; fewer than n frames is an error.
Signal load_signal(const std::string &path, std::size_t n);

}  // namespace analyser

#endif
