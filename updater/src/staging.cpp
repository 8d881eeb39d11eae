#include "staging.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Where a link's text leads, as a path below the staging root; "" when it
// names something outside it.
std::string linkedPath(int dir, const char *name, const std::string &dirRel,
                       const char *rootPath) {
    char text[PATH_MAX];
    ssize_t n = readlinkat(dir, name, text, sizeof text - 1);
    if (n <= 0)
        return {};
    const std::string target(text, static_cast<size_t>(n));
    if (target[0] != '/') {
        return dirRel.empty() ? target : dirRel + "/" + target;
    }
    const std::string prefix = std::string(rootPath) + "/";
    if (target.compare(0, prefix.size(), prefix) != 0)
        return {};
    return target.substr(prefix.size());
}

bool isRegular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

Fd openTrustedStaging(const char *path, std::string &why) {
    Fd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        why = std::string("no staging tree at ") + path + " (" + strerror(errno) + ")";
        return Fd();
    }
    if (st.st_uid != 0 && st.st_uid != getuid()) {
        why = std::string("staging tree ") + path + " owned by user " + std::to_string(st.st_uid);
        return Fd();
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        why = std::string("staging tree ") + path + " writable by group or others";
        return Fd();
    }
    return fd;
}

Fd openLinkedFile(int root, int dir, const char *name, const std::string &dirRel,
                  const char *rootPath, std::string &path) {
    path = linkedPath(dir, name, dirRel, rootPath);
    return path.empty() ? Fd() : openBelow(root, path);
}

Fd openBelow(int root, const std::string &path) {
#ifdef SYS_openat2
    open_how how = {};
    how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    Fd fd(static_cast<int>(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
    if (fd.valid() && !isRegular(fd.get()))
        fd.reset();
    return fd;
#else
    static_cast<void>(root), static_cast<void>(path);
    return Fd();
#endif
}

Fd openRegularAt(int dir, const char *name) {
    Fd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid() && !isRegular(fd.get()))
        fd.reset();
    return fd;
}
