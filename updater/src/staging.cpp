#include "staging.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "trust.h"

namespace {

// Where a link's text leads, as a path below the staging root; "" when it
// names something outside it.
std::string linked_path(int dir, const char *name, const std::string &dir_rel, const char *root_path)
{
    char text[PATH_MAX];
    ssize_t n = readlinkat(dir, name, text, sizeof text - 1);
    if (n < 0)
        return {};
    const std::string target(text, static_cast<size_t>(n));
    if (n > 0 && target[0] != '/')
        return dir_rel.empty() ? target : dir_rel + "/" + target;
    const std::string prefix = std::string(root_path) + "/";
    if (n == 0 || target.compare(0, prefix.size(), prefix) != 0) {
        errno = EXDEV;
        return {};
    }
    return target.substr(prefix.size());
}

// A descriptor of anything but a regular file is dropped, with errno
// saying why.
Fd regular_only(Fd fd)
{
    struct stat st;
    if (fd.valid() && fstat(fd.get(), &st) != 0)
        fd.reset();
    else if (fd.valid() && !S_ISREG(st.st_mode)) {
        fd.reset();
        errno = EISDIR;
    }
    return fd;
}

}  // namespace

Fd open_trusted_staging(const char *path, std::string &why)
{
    Fd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        why = std::string("no staging tree at ") + path + " (" + strerror(errno) + ")";
        return Fd();
    }
    why = why_untrusted(st);
    if (!why.empty()) {
        why = std::string("staging tree ") + path + " " + why;
        return Fd();
    }
    return fd;
}

Fd open_linked_file(int root, int dir, const char *name, const std::string &dir_rel,
                    const char *root_path, std::string &path)
{
    path = linked_path(dir, name, dir_rel, root_path);
    return path.empty() ? Fd() : open_below(root, path, root_path);
}

// Without openat2 (kernels before 5.6, older user-mode emulators) the
// path is walked here, one name at a time: links are read and followed by
// hand, ".." never climbs above the root, and nothing is opened through a
// link. Each folder on the way stays open until the walk ends.
class BeneathWalk {
public:
    BeneathWalk(int root, const char *root_path) : root_(root), root_path_(root_path) {}

    Fd open(const std::string &path)
    {
        std::vector<std::string> todo = split(path);
        int hops = 0;
        while (!todo.empty()) {
            const std::string name = todo.back();
            todo.pop_back();
            if (name == "." || name.empty())
                continue;
            if (name == "..") {
                if (folders_.empty())
                    return fail(EXDEV);
                folders_.pop_back();
                continue;
            }
            struct stat st;
            if (fstatat(here(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Fd();
            if (S_ISLNK(st.st_mode)) {
                if (++hops > 40)
                    return fail(ELOOP);
                if (!follow_link(name, todo))
                    return Fd();
            } else if (todo.empty()) {
                return open_regular_at(here(), name.c_str());
            } else if (!enter(name)) {
                return Fd();
            }
        }
        return fail(EISDIR);
    }

private:
    static Fd fail(int error)
    {
        errno = error;
        return Fd();
    }

    // Components in reverse, so that the next one is at the back.
    static std::vector<std::string> split(const std::string &path)
    {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
            parts.push_back(path.substr(start, slash - start));
        parts.push_back(path.substr(start));
        return {parts.rbegin(), parts.rend()};
    }

    int here() const { return folders_.empty() ? root_ : folders_.back().get(); }

    bool enter(const std::string &name)
    {
        Fd next(openat(here(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return false;
        folders_.push_back(std::move(next));
        return true;
    }

    // A link's text goes in front of what is left; an absolute one must
    // name the staging tree and starts again from its root.
    bool follow_link(const std::string &name, std::vector<std::string> &todo)
    {
        char text[PATH_MAX];
        ssize_t n = readlinkat(here(), name.c_str(), text, sizeof text - 1);
        if (n == 0)
            errno = ENOENT;
        if (n <= 0)
            return false;
        std::string target(text, static_cast<size_t>(n));
        if (target[0] == '/') {
            const std::string prefix = std::string(root_path_) + "/";
            if (target.compare(0, prefix.size(), prefix) != 0) {
                errno = EXDEV;
                return false;
            }
            target.erase(0, prefix.size());
            folders_.clear();
        }
        for (const std::string &part : split(target))
            todo.push_back(part);
        return true;
    }

    int root_;
    const char *root_path_;
    std::vector<Fd> folders_;
};

Fd open_below(int root, const std::string &path, const char *root_path)
{
#ifdef SYS_openat2
    open_how how = {};
    how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    Fd fd(static_cast<int>(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
    if (fd.valid() || errno != ENOSYS)
        return regular_only(std::move(fd));
#endif
    return BeneathWalk(root, root_path).open(path);
}

// Reading a file to compare it must not write its access time: an update
// that changes nothing writes nothing. Only the owner or root may ask that.
Fd open_regular_at(int dir, const char *name, struct stat *st)
{
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fd(openat(dir, name, flags | O_NOATIME));
    if (!fd.valid() && errno == EPERM)
        fd.reset(openat(dir, name, flags));
    struct stat own;
    if (!st)
        st = &own;
    if (fd.valid() && fstat(fd.get(), st) != 0)
        fd.reset();
    else if (fd.valid() && !S_ISREG(st->st_mode)) {
        fd.reset();
        errno = EISDIR;
    }
    return fd;
}
