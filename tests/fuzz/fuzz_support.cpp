// The shared side of fuzz_support.h.
#include "fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Present when a sanitizer runtime is linked in.
extern "C" [[gnu::weak]] void __sanitizer_set_report_fd(void *fd);

namespace qn::fuzz {
namespace {

// Copies of standard output and standard error from before the first
// capture, where reports go, and the memory files that stand in for them.
struct Streams {
    int out = -1, err = -1;
    int memory_out = -1, memory_err = -1;
    std::FILE *report = stderr;

    Streams()
    {
        out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        err = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        memory_out = memfd_create("fuzz-stdout", MFD_CLOEXEC);
        memory_err = memfd_create("fuzz-stderr", MFD_CLOEXEC);
        if (out < 0 || err < 0 || memory_out < 0 || memory_err < 0) {
            std::perror("fuzz: output files");
            std::abort();
        }
        report = fdopen(err, "w");
        std::setvbuf(report, nullptr, _IONBF, 0);
        if (__sanitizer_set_report_fd != nullptr)
            __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(err)));
    }
};

Streams &streams()
{
    static Streams s;
    return s;
}

std::string contents(int fd)
{
    std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    if (!text.empty() && pread(fd, text.data(), text.size(), 0) != ssize_t(text.size()))
        fail("cannot read the captured output");
    return text;
}

}  // namespace

void fail(const std::string &what)
{
    std::fprintf(streams().report, "fuzz: property broken: %s\n", what.c_str());
    std::abort();
}

OutputCapture::OutputCapture()
{
    const Streams &s = streams();
    std::fflush(stdout);
    std::fflush(stderr);
    if (ftruncate(s.memory_out, 0) != 0 || ftruncate(s.memory_err, 0) != 0 ||
        lseek(s.memory_out, 0, SEEK_SET) != 0 || lseek(s.memory_err, 0, SEEK_SET) != 0 ||
        dup2(s.memory_out, STDOUT_FILENO) < 0 || dup2(s.memory_err, STDERR_FILENO) < 0)
        fail("cannot capture the output");
}

OutputCapture::Written OutputCapture::finish()
{
    const Streams &s = streams();
    std::fflush(stdout);
    std::fflush(stderr);
    Written written{contents(STDOUT_FILENO), contents(STDERR_FILENO)};
    dup2(s.out, STDOUT_FILENO);
    dup2(s.err, STDERR_FILENO);
    finished_ = true;
    return written;
}

OutputCapture::~OutputCapture()
{
    if (!finished_)
        finish();
}

}  // namespace qn::fuzz
