#include "scratch.h"

#include "descriptors.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qn::test {

ScratchDir::ScratchDir(const std::string &prefix, const std::string &base)
{
    const char *tmpdir = std::getenv("TMPDIR");
    const std::string parent = !base.empty() ? base : tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp";
    std::string pattern = parent + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + " failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string write_file(const std::string &path, const std::string &content, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return "";
    const bool written = write_all(fd, content);
    const bool moded = ::fchmod(fd, mode) == 0;
    // Some files (sysfs attributes, full devices) refuse only at close.
    const bool closed = ::close(fd) == 0;
    return written && moded && closed ? path : "";
}

std::string read_file(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string content = read_all(fd);
    ::close(fd);
    return content;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

mode_t permissions_of(const std::string &path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

ino_t inode_of(const std::string &path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_ino;
}

std::vector<std::string> files_named(const std::string &tree, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(tree))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            found.push_back(entry.path().string());
    return found;
}

}  // namespace qn::test
