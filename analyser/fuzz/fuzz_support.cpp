// The analyser's side of fuzz_target.h.
#include "fuzz_target.h"

#include <map>
#include <sys/mman.h>
#include <unistd.h>

namespace analyser::fuzz {

// Memory files, one per name, reached through /proc/self/fd: nothing is
// left on disk, however the run ends.
std::string scratch_file(const char *name, const std::uint8_t *data, std::size_t size)
{
    static std::map<std::string, int> files;
    auto [it, added] = files.try_emplace(name, -1);
    if (added)
        it->second = memfd_create(name, MFD_CLOEXEC);
    const int fd = it->second;
    if (fd < 0 || ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size)))
        fail("cannot write the scratch file");
    return "/proc/self/fd/" + std::to_string(fd);
}

void check_message(const char *message)
{
    if (*message == '\0')
        fail("empty error message");
}

Silence::~Silence()
{
    const qn::fuzz::OutputCapture::Written written = capture_.finish();
    if (!written.out.empty())
        fail("the input made something write to standard output");
    if (!written.err.empty())
        fail("the input made something write to standard error");
}

}  // namespace analyser::fuzz
