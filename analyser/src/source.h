// Two-channel frames read piece by piece, so that any length of input can
// be averaged in constant memory.
#ifndef QN_ANALYSER_SOURCE_H
#define QN_ANALYSER_SOURCE_H

#include "signal.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace analyser {

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // Reads up to count frames into a and b; fewer only at the end of the input.
    virtual std::size_t read(double *a, double *b, std::size_t count) = 0;

    // Reads and checks what is left, for sources whose every line counts.
    virtual void finish() {}

    // Hz, as a sound file gives it; 0: not known.
    virtual double sample_rate() const { return 0; }

    // Frames in the whole input, as a header says; 0: not known.
    virtual std::uint64_t total_frames() const { return 0; }

    // For messages: "'file.wav'" or "standard input".
    virtual std::string name() const = 0;
};

// "'path'", or "standard input" for "-". Inline: the readers are also
// built on their own, without the rest of the analyser.
inline std::string input_name(const std::string &path)
{
    return path == "-" ? "standard input" : "'" + path + "'";
}

// Two-channel sound file read through libsndfile, from a path or from an
// open descriptor (which it then owns).
std::unique_ptr<FrameSource> open_sound(const std::string &path);
std::unique_ptr<FrameSource> open_sound_fd(int fd, const std::string &name);

// CSV text as read_csv takes it, from a path or from standard input whose
// first bytes were already read into prefix.
std::unique_ptr<FrameSource> open_csv(const std::string &path);
std::unique_ptr<FrameSource> open_csv_stdin(std::string prefix);

// The frames of a signal in memory.
std::unique_ptr<FrameSource> open_signal(Signal signal, const std::string &name);

// FILE as the command takes it: "-" is standard input, a WAV stream when
// it starts with a RIFF/WAVE header and CSV text otherwise; a name ending
// in .csv is CSV; anything else a sound file.
std::unique_ptr<FrameSource> open_source(const std::string &path);

// "<name> has F samples per channel; N = n needs at least n (see --length)"
std::string too_short_message(const std::string &name, std::uint64_t frames, std::size_t n);

// The first n frames of source; fewer is an error naming the input.
Signal read_frames(FrameSource &source, std::size_t n);

}  // namespace analyser

#endif
