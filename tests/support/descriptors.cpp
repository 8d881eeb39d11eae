#include "descriptors.h"

#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <unistd.h>

namespace qn::test {

bool write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string read_from_start(int fd)
{
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return "";
    return read_all(fd);
}

int count_open_descriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir))
        count += std::isdigit(static_cast<unsigned char>(entry->d_name[0])) ? 1 : 0;
    ::closedir(dir);
    return count - 1;  // the listing's own
}

}  // namespace qn::test
