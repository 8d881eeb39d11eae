#include "error.h"
#include "input.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace analyser {
namespace {

// libsndfile's parsers and decoders print complaints about malformed files
// themselves: an SDS dump gives "Error A : 00" on standard output, a broken
// MPEG stream notes on standard error. Standard output carries nothing but
// the CSV and the peaks, standard error our one line (or the peaks), so
// both point at /dev/null while libsndfile works.
class LibraryOutputMuted {
public:
    LibraryOutputMuted()
    {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            saved_[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (saved_[fd] >= 0 && null >= 0)
                dup2(null, fd);
        }
        if (null >= 0)
            ::close(null);
    }
    ~LibraryOutputMuted()
    {
        std::fflush(stdout);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO})
            if (saved_[fd] >= 0) {
                dup2(saved_[fd], fd);
                ::close(saved_[fd]);
            }
    }
    LibraryOutputMuted(const LibraryOutputMuted &) = delete;
    LibraryOutputMuted &operator=(const LibraryOutputMuted &) = delete;

private:
    int saved_[3] = {-1, -1, -1};
};

std::uint32_t little_endian(const unsigned char *bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// libsndfile refuses a WAV file whose fmt chunk gives no sample rate or no
// channels with "SF_INFO struct incomplete"; the header itself says which.
// Empty when fd is not a seekable WAV file or its fmt chunk looks sound;
// fd's offset is left as it was.
std::string wav_format_problem(int fd)
{
    unsigned char head[512];
    const ssize_t size = pread(fd, head, sizeof head, 0);
    if (size < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return {};
    for (std::uint64_t at = 12; at + 16 <= std::uint64_t(size);) {
        const std::uint32_t length = little_endian(head + at + 4, 4);
        if (std::memcmp(head + at, "fmt ", 4) == 0) {
            if (little_endian(head + at + 12, 4) == 0)
                return "its header gives a sample rate of 0 Hz";
            if (little_endian(head + at + 10, 2) == 0)
                return "its header gives 0 channels";
            return {};
        }
        at += 8 + std::uint64_t(length) + (length & 1);
    }
    return {};
}

std::string open_failure(const std::string &format_problem)
{
    const std::string said = sf_strerror(nullptr);
    if (!format_problem.empty())
        return format_problem;
    // libsndfile's name for a header it cannot make sense of.
    if (said.find("nternal error") != std::string::npos)
        return "its header is damaged or inconsistent";
    return said;
}

struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

// libsndfile owns the descriptor once it has it: sf_close closes it, and a
// failed open closes it too, whatever libsndfile was told.
class SoundFile {
public:
    explicit SoundFile(const std::string &path)
    {
        // Opening it ourselves gives the plain system reason (missing, no
        // permission) instead of libsndfile's wording for it.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw Error("cannot open '" + path + "': " + std::strerror(errno));
        const std::string format_problem = wav_format_problem(fd);
        file_.reset(sf_open_fd(fd, SFM_READ, &info_, SF_TRUE));
        if (!file_)
            throw Error("cannot read '" + path +
                        "' as a sound file: " + open_failure(format_problem));
    }

    const SF_INFO &info() const { return info_; }
    SNDFILE *get() const { return file_.get(); }

private:
    SF_INFO info_{};
    std::unique_ptr<SNDFILE, SndfileCloser> file_;
};

}  // namespace

Signal read_wav(const std::string &path, std::size_t max_frames)
{
    const LibraryOutputMuted muted;
    const SoundFile file(path);
    const SF_INFO &info = file.info();
    if (info.channels != 2)
        throw Error("'" + path + "' has " + std::to_string(info.channels) +
                    " channel(s); two are needed (A and B)");

    auto wanted = static_cast<std::size_t>(
        std::min<sf_count_t>(info.frames, static_cast<sf_count_t>(max_frames)));
    std::vector<double> frames(wanted * 2);
    const sf_count_t got =
        sf_readf_double(file.get(), frames.data(), static_cast<sf_count_t>(wanted));
    if (got < 0 || sf_error(file.get()) != SF_ERR_NO_ERROR)
        throw Error("cannot read '" + path + "': " + sf_strerror(file.get()));
    // Through a pipe the frame count is the header's word, not the data's.
    if (static_cast<std::size_t>(got) < wanted && info.frames != SF_COUNT_MAX)
        throw Error("'" + path + "' is cut short: it ends after " + std::to_string(got) + " of the " +
                    std::to_string(info.frames) + " frames its header gives");
    wanted = static_cast<std::size_t>(got);

    Signal signal;
    signal.sample_rate = info.samplerate;
    signal.a.reserve(wanted);
    signal.b.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
        // Float files can hold NaN or infinity, which would poison the spectrum.
        if (!std::isfinite(frames[2 * i]) || !std::isfinite(frames[2 * i + 1]))
            throw Error("'" + path + "' frame " + std::to_string(i + 1) +
                        ": sample is not a finite number");
        signal.a.push_back(frames[2 * i]);
        signal.b.push_back(frames[2 * i + 1]);
    }
    return signal;
}

}  // namespace analyser
