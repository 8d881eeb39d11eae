// WAV files for the analyser tests.
#ifndef QN_ANALYSER_TESTS_WAV_FILE_H
#define QN_ANALYSER_TESTS_WAV_FILE_H

#include <sndfile.h>

#include <string>
#include <vector>

namespace analyser::testing {

// Interleaved frames, 64-bit float samples so values come back exactly.
inline std::string write_wav(const std::string &path, int channels,
                             const std::vector<double> &interleaved, int rate = 48000)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return {};
    sf_writef_double(file, interleaved.data(), sf_count_t(interleaved.size()) / channels);
    sf_close(file);
    return path;
}

}  // namespace analyser::testing

#endif
