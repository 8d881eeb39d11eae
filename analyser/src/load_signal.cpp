#include "error.h"
#include "input.h"
#include "source.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace analyser {
namespace {

bool has_csv_extension(const std::string &path)
{
    constexpr std::string_view ext = ".csv";
    if (path.size() < ext.size())
        return false;
    return std::equal(ext.begin(), ext.end(), path.end() - ext.size(), [](char e, char c) {
        return e == std::tolower(static_cast<unsigned char>(c));
    });
}

class SignalSource : public FrameSource {
public:
    SignalSource(Signal signal, std::string name) : signal_(std::move(signal)), name_(std::move(name))
    {
    }
    std::size_t read(double *a, double *b, std::size_t count) override
    {
        count = std::min(count, signal_.frames() - next_);
        std::copy_n(signal_.a.begin() + std::ptrdiff_t(next_), count, a);
        std::copy_n(signal_.b.begin() + std::ptrdiff_t(next_), count, b);
        next_ += count;
        return count;
    }
    double sample_rate() const override { return signal_.sample_rate; }
    std::uint64_t total_frames() const override { return signal_.frames(); }
    std::string name() const override { return name_; }

private:
    Signal signal_;
    std::string name_;
    std::size_t next_ = 0;
};

// MSG_NOSIGNAL: a reader that stopped early makes this fail, not raise SIGPIPE.
bool send_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::send(fd, data, size, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= std::size_t(done);
    }
    return true;
}

// libsndfile reads a WAV stream from a pipe but cannot be handed the bytes
// already taken from it to tell the format: a thread feeds them, then the
// rest of standard input, into a socket pair (a stream libsndfile reads
// like a pipe). It owns everything it uses, so it may outlive the reader:
// left blocked on a source that never ends, it goes with the process.
int relay_standard_input(std::string prefix)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw Error(std::string("cannot make a socket pair: ") + std::strerror(errno));
    ::shutdown(ends[0], SHUT_WR);
    std::thread([prefix = std::move(prefix), out = ends[1]] {
        std::vector<char> buffer(65536);
        bool open = send_all(out, prefix.data(), prefix.size());
        while (open) {
            const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            open = got > 0 && send_all(out, buffer.data(), std::size_t(got));
        }
        ::close(out);
    }).detach();
    return ends[0];
}

std::unique_ptr<FrameSource> open_standard_input()
{
    // Enough for "RIFF" <size> "WAVE".
    std::string head(12, '\0');
    std::size_t have = 0;
    while (have < head.size()) {
        const ssize_t got = ::read(STDIN_FILENO, head.data() + have, head.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(std::string("cannot read standard input: ") + std::strerror(errno));
        if (got == 0)
            break;
        have += std::size_t(got);
    }
    head.resize(have);
    const bool wav = have == 12 && head.starts_with("RIFF") && head.substr(8) == "WAVE";
    if (!wav)
        return open_csv_stdin(std::move(head));
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode) &&
        lseek(STDIN_FILENO, -off_t(have), SEEK_CUR) >= 0) {
        const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0)
            throw Error(std::string("cannot read standard input: ") + std::strerror(errno));
        return open_sound_fd(fd, "standard input");
    }
    return open_sound_fd(relay_standard_input(std::move(head)), "standard input");
}

}  // namespace

std::string too_short_message(const std::string &name, std::uint64_t frames, std::size_t n)
{
    return name + " has " + std::to_string(frames) +
           " samples per channel; N = " + std::to_string(n) + " needs at least " + std::to_string(n) +
           " (see --length)";
}

std::unique_ptr<FrameSource> open_signal(Signal signal, const std::string &name)
{
    return std::make_unique<SignalSource>(std::move(signal), name);
}

std::unique_ptr<FrameSource> open_source(const std::string &path)
{
    if (path == "-")
        return open_standard_input();
    return has_csv_extension(path) ? open_csv(path) : open_sound(path);
}

Signal read_frames(FrameSource &source, std::size_t n)
{
    Signal signal;
    signal.sample_rate = source.sample_rate();
    signal.a.resize(n);
    signal.b.resize(n);
    const std::size_t got = source.read(signal.a.data(), signal.b.data(), n);
    source.finish();
    if (got < n)
        throw Error(too_short_message(source.name(), got, n));
    return signal;
}

Signal load_signal(const std::string &path, std::size_t n)
{
    Signal signal = has_csv_extension(path) ? read_csv(path, n) : read_wav(path, n);
    if (signal.frames() < n)
        throw Error(too_short_message("'" + path + "'", signal.frames(), n));
    return signal;
}

}  // namespace analyser
