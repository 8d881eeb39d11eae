#include "result.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "records.h"

namespace {

bool reads(int records, const std::string &text)
{
    Fd fd(openat(records, kResult, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    char buffer[4096];
    ssize_t n = fd.valid() ? read(fd.get(), buffer, sizeof buffer) : -1;
    return n >= 0 && std::string(buffer, static_cast<size_t>(n)) == text;
}

}  // namespace

void write_result(int records, const std::string &line)
{
    const std::string text = line + "\n";
    if (records < 0 || reads(records, text))
        return;
    Fd fd(openat(records, kResultNext, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return;
    bool written = write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   fsync(fd.get()) == 0;
    if (close(fd.release()) == 0 && written && renameat(records, kResultNext, records, kResult) == 0)
        fsync(records);
    else
        unlinkat(records, kResultNext, 0);
}

void forget_result(int records) { unlinkat(records, kResult, 0); }
