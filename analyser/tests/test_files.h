// Scratch files for the analyser tests.
#pragma once

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace analyser::testing {

// A private directory removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "analyser.XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
    return path;
}

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
