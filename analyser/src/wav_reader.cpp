#include "error.h"
#include "input.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace analyser {
namespace {

// libsndfile's parsers print some complaints about malformed files with
// printf (an SDS dump gives "Error A : 00"); standard output carries nothing
// but the CSV and the peaks, so it points at /dev/null while libsndfile
// works.
class StdoutMuted {
public:
    StdoutMuted()
    {
        std::fflush(stdout);
        saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            dup2(null, STDOUT_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~StdoutMuted()
    {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    StdoutMuted(const StdoutMuted &) = delete;
    StdoutMuted &operator=(const StdoutMuted &) = delete;

private:
    int saved_;
};

struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

// The descriptor is ours: libsndfile is told not to close it, so it is
// closed exactly once, after the sound file.
class SoundFile {
public:
    explicit SoundFile(const std::string &path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        // Opening it ourselves gives the plain system reason (missing, no
        // permission) instead of libsndfile's wording for it.
        if (fd_ < 0)
            throw Error("cannot open '" + path + "': " + std::strerror(errno));
        file_.reset(sf_open_fd(fd_, SFM_READ, &info_, SF_FALSE));
        if (!file_) {
            ::close(fd_);
            throw Error("cannot read '" + path + "' as a sound file: " + sf_strerror(nullptr));
        }
    }
    ~SoundFile()
    {
        file_.reset();
        ::close(fd_);
    }
    SoundFile(const SoundFile &) = delete;
    SoundFile &operator=(const SoundFile &) = delete;

    const SF_INFO &info() const { return info_; }
    SNDFILE *get() const { return file_.get(); }

private:
    int fd_;
    SF_INFO info_{};
    std::unique_ptr<SNDFILE, SndfileCloser> file_;
};

}  // namespace

Signal read_wav(const std::string &path, std::size_t max_frames)
{
    const StdoutMuted muted;
    const SoundFile file(path);
    const SF_INFO &info = file.info();
    if (info.channels != 2)
        throw Error("'" + path + "' has " + std::to_string(info.channels) +
                    " channel(s); two are needed (A and B)");

    const auto wanted = static_cast<std::size_t>(
        std::min<sf_count_t>(info.frames, static_cast<sf_count_t>(max_frames)));
    std::vector<double> frames(wanted * 2);
    const sf_count_t got = sf_readf_double(file.get(), frames.data(),
                                           static_cast<sf_count_t>(wanted));
    if (got < 0 || static_cast<std::size_t>(got) != wanted)
        throw Error("cannot read '" + path + "': " + sf_strerror(file.get()));

    Signal signal;
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
