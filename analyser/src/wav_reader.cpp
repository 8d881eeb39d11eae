#include "error.h"
#include "input.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace analyser {
namespace {

struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Opening the descriptor ourselves gives the plain system reason (missing,
// no permission) instead of libsndfile's wording for it.
SndfilePtr open_sound_file(const std::string &path, SF_INFO &info)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error("cannot open '" + path + "': " + std::strerror(errno));
    info = SF_INFO{};
    SNDFILE *file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) {
        const std::string reason = sf_strerror(nullptr);
        ::close(fd);
        throw Error("cannot read '" + path + "' as a sound file: " + reason);
    }
    return SndfilePtr(file);
}

}  // namespace

Signal read_wav(const std::string &path, std::size_t max_frames)
{
    SF_INFO info;
    const SndfilePtr file = open_sound_file(path, info);
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
        signal.a.push_back(frames[2 * i]);
        signal.b.push_back(frames[2 * i + 1]);
    }
    return signal;
}

}  // namespace analyser
