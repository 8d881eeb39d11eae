// The sound-file path: any bytes give a finite two-channel signal with a
// sample rate, or one error line, and nothing on standard output.
#include "error.h"
#include "fuzz_target.h"
#include "input.h"

#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <iterator>

namespace analyser::fuzz {
namespace {

constexpr std::size_t kFrames = 64;

// A short two-channel ramp in a format libsndfile writes; empty when it
// cannot.
std::string sound_file(int format)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    if (!sf_format_check(&info))
        return {};
    const std::string path = scratch_file("seed", nullptr, 0);
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return {};
    double frames[32];
    for (int i = 0; i < 32; ++i)
        frames[i] = (i - 16) / 17.0;
    sf_writef_double(file, frames, 16);
    sf_close(file);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::vector<std::string> seeds()
{
    std::vector<std::string> out;
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                             SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, SF_FORMAT_AIFF | SF_FORMAT_PCM_24,
                             SF_FORMAT_AU | SF_FORMAT_ULAW, SF_FORMAT_CAF | SF_FORMAT_PCM_16,
                             SF_FORMAT_W64 | SF_FORMAT_DOUBLE, SF_FORMAT_FLAC | SF_FORMAT_PCM_16})
        if (std::string file = sound_file(format); !file.empty())
            out.push_back(std::move(file));
    // An SDS dump, whose parser prints with printf.
    out.push_back(std::string("\xf0\x7e\x00\x01\x00\x00\x08\x00\x04\x71\x13\x3f\xf7", 13));
    return out;
}

std::vector<std::string> tokens()
{
    return {"RIFF",
            "WAVE",
            "fmt ",
            "data",
            "fact",
            "FORM",
            "AIFF",
            "COMM",
            "SSND",
            ".snd",
            "fLaC",
            "caff",
            std::string("\0\0\0\0", 4),
            "\xff\xff\xff\xff",
            std::string("\x02\0", 2),
            std::string("\x80\xbb\0\0", 4),
            "\xf0\x7e"};
}

std::size_t max_input_size() { return 4096; }

}  // namespace analyser::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace analyser::fuzz;
    const std::string path = scratch_file("in.wav", data, size);
    try {
        const analyser::Signal s = analyser::read_wav(path, kFrames);
        if (s.a.size() != s.b.size() || s.frames() > kFrames || !(s.sample_rate > 0))
            fail("inconsistent signal");
        for (std::size_t i = 0; i < s.frames(); ++i)
            if (!std::isfinite(s.a[i]) || !std::isfinite(s.b[i]))
                fail("sample not finite");
        accepted();
    } catch (const analyser::Error &e) {
        check_message(e.what());
    }
    return 0;
}
