#include "error.h"
#include "input.h"
#include "source.h"

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

// Interleaved frames read at a time.
constexpr std::size_t kChunkFrames = 4096;

// libsndfile owns the descriptor once it has it: sf_close closes it, and a
// failed open closes it too, whatever libsndfile was told.
class SoundSource : public FrameSource {
public:
    SoundSource(int fd, std::string name) : name_(std::move(name))
    {
        const LibraryOutputMuted muted;
        const std::string format_problem = wav_format_problem(fd);
        file_.reset(sf_open_fd(fd, SFM_READ, &info_, SF_TRUE));
        if (!file_)
            throw Error("cannot read " + name_ + " as a sound file: " + open_failure(format_problem));
        if (info_.channels != 2)
            throw Error(name_ + " has " + std::to_string(info_.channels) +
                        " channel(s); two are needed (A and B)");
    }

    std::size_t read(double *a, double *b, std::size_t count) override
    {
        const LibraryOutputMuted muted;
        std::size_t done = 0;
        while (done < count && !ended_) {
            sf_count_t wanted = static_cast<sf_count_t>(std::min(count - done, kChunkFrames));
            if (info_.frames != SF_COUNT_MAX)
                wanted = std::min<sf_count_t>(wanted, info_.frames - read_);
            if (wanted <= 0) {
                ended_ = true;
                break;
            }
            frames_.resize(static_cast<std::size_t>(wanted) * 2);
            const sf_count_t got = sf_readf_double(file_.get(), frames_.data(), wanted);
            if (got < 0 || sf_error(file_.get()) != SF_ERR_NO_ERROR)
                throw Error("cannot read " + name_ + ": " + sf_strerror(file_.get()));
            for (sf_count_t i = 0; i < got; ++i) {
                // Float files can hold NaN or infinity, which would poison the spectrum.
                const double x = frames_[2 * i], y = frames_[2 * i + 1];
                if (!std::isfinite(x) || !std::isfinite(y))
                    throw Error(name_ + " frame " + std::to_string(read_ + i + 1) +
                                ": sample is not a finite number");
                a[done + i] = x;
                b[done + i] = y;
            }
            done += static_cast<std::size_t>(got);
            read_ += got;
            if (got < wanted) {
                // Through a pipe the frame count is the header's word, not the data's.
                if (info_.frames != SF_COUNT_MAX)
                    throw Error(name_ + " is cut short: it ends after " + std::to_string(read_) +
                                " of the " + std::to_string(info_.frames) +
                                " frames its header gives");
                ended_ = true;
            }
        }
        return done;
    }

    double sample_rate() const override { return info_.samplerate; }
    std::uint64_t total_frames() const override
    {
        return info_.frames == SF_COUNT_MAX ? 0 : static_cast<std::uint64_t>(info_.frames);
    }
    std::string name() const override { return name_; }

private:
    std::string name_;
    SF_INFO info_{};
    std::unique_ptr<SNDFILE, SndfileCloser> file_;
    std::vector<double> frames_;
    sf_count_t read_ = 0;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<FrameSource> open_sound_fd(int fd, const std::string &name)
{
    return std::make_unique<SoundSource>(fd, name);
}

std::unique_ptr<FrameSource> open_sound(const std::string &path)
{
    // Opening it ourselves gives the plain system reason (missing, no
    // permission) instead of libsndfile's wording for it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error("cannot open '" + path + "': " + std::strerror(errno));
    return open_sound_fd(fd, input_name(path));
}

Signal read_wav(const std::string &path, std::size_t max_frames)
{
    const auto source = open_sound(path);
    Signal signal;
    signal.sample_rate = source->sample_rate();
    std::size_t wanted = max_frames;
    if (const std::uint64_t total = source->total_frames(); total != 0)
        wanted = static_cast<std::size_t>(std::min<std::uint64_t>(total, max_frames));
    signal.a.resize(wanted);
    signal.b.resize(wanted);
    const std::size_t got = source->read(signal.a.data(), signal.b.data(), wanted);
    signal.a.resize(got);
    signal.b.resize(got);
    return signal;
}

}  // namespace analyser
