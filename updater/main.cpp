// One-shot installer: detaches, stops the services that use the installed
// tree, mirrors the staged tree into the install root and reboots the board.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

const char *DST_ROOT = "/opt/quarnel";
const char *SRC_ROOT = "/tmp/build";

namespace {

// Owns one descriptor; closes it on every path out of a scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Owns one directory listing.
class Dir {
public:
    explicit Dir(DIR *dir) : dir_(dir) {}
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() {
        if (dir_)
            closedir(dir_);
    }
    DIR *get() const { return dir_; }

private:
    DIR *dir_;
};

const int kGuardedSignals[] = {SIGCHLD, SIGHUP, SIGABRT, SIGFPE, SIGILL,
                               SIGINT, SIGSEGV, SIGTERM, SIGUSR1, SIGUSR2};

constexpr size_t kCopyChunk = size_t{1} << 20;

} // namespace

// ---------------------------------------------------------------- signals

void signalHandlerStrong(int) {}

void signalHandlerDefault(int) { exit(0); }

namespace {

// The services are already stopped when a fault can happen, and returning
// from the handler would fault again forever. Flush what is written and
// restart the board; if the kernel refuses, ask the shell for the reboot.
[[noreturn]] void rebootAfterFault() {
    sync();
    reboot(RB_AUTOBOOT);
    execl("/bin/sh", "sh", "-c", "reboot", static_cast<char *>(nullptr));
    _exit(1);
}

bool isFaultSignal(int sig) {
    return sig == SIGSEGV || sig == SIGFPE || sig == SIGILL;
}

// A fault signal raised by the processor (positive si_code) reboots; the
// same signal sent by another process is ignored like the others.
void guardAgainstFault(int sig, siginfo_t *info, void *) {
    if (info && info->si_code > 0)
        rebootAfterFault();
    signalHandlerStrong(sig);
}

void installStrong(int sig) {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (isFaultSignal(sig)) {
        action.sa_flags |= SA_SIGINFO;
        action.sa_sigaction = guardAgainstFault;
    } else {
        action.sa_handler = signalHandlerStrong;
    }
    sigaction(sig, &action, nullptr);
}

void guardSignals() {
    for (int sig : kGuardedSignals)
        installStrong(sig);
}

void unguardSignals() {
    for (int sig : kGuardedSignals)
        signal(sig, signalHandlerDefault);
}

void closeDescriptorsFromOne() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 1U, ~0U, 0U) == 0)
        return;
#endif
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= 1; --fd)
        close(static_cast<int>(fd));
}

} // namespace

void StartDaemon() {
    pid_t pid = fork();
    if (pid < 0)
        exit(1);
    if (pid > 0)
        exit(0);
    if (setsid() < 0)
        exit(1);
    closeDescriptorsFromOne();
}

// ------------------------------------------------------------ source side

namespace {

bool isInside(const std::string &path, const std::string &root) {
    if (root.empty())
        return false;
    return path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
            path[root.size()] == '/');
}

std::string realPath(const char *path) {
    char *resolved = realpath(path, nullptr);
    if (!resolved)
        return {};
    std::string result(resolved);
    free(resolved);
    return result;
}

const std::string &stagingRealPath() {
    static const std::string root = realPath(SRC_ROOT);
    return root;
}

bool isRegularFile(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Opens a regular file without blocking and without following a link at the
// last component; what was opened is checked, not what the name meant before.
Fd openRegular(const char *path) {
    Fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        fd.reset();
    return fd;
}

// A staged link is followed only to a regular file inside the staging tree:
// the staging area is writable by others, the install tree is served.
Fd openLinkTarget(const char *src) {
    const std::string target = realPath(src);
    if (!isInside(target, stagingRealPath()) || !isRegularFile(target.c_str()))
        return Fd();
    return openRegular(target.c_str());
}

// The staging area may change while it is walked (a folder swapped for a
// link); where the opened file really lies settles it. Without /proc there
// is nothing more to check.
bool openedInsideStaging(int fd) {
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    if (n < 0)
        return true;
    return isInside(std::string(path, static_cast<size_t>(n)), stagingRealPath());
}

Fd openStagedEntry(const char *src) {
    struct stat link;
    if (lstat(src, &link) != 0)
        return Fd();
    if (S_ISLNK(link.st_mode))
        return openLinkTarget(src);
    if (!S_ISREG(link.st_mode))
        return Fd();
    return openRegular(src);
}

Fd openStagedFile(const char *src) {
    Fd fd = openStagedEntry(src);
    if (fd.valid() && !openedInsideStaging(fd.get()))
        fd.reset();
    return fd;
}

// ------------------------------------------------------- destination side

bool copyByKernel(int in, int out, bool &unsupported) {
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, kCopyChunk * 64, 0);
        if (n == 0)
            return true;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        unsupported = errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                      errno == EOPNOTSUPP;
        return false;
    }
}

bool writeAll(int out, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(out, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool copyByBuffer(int in, int out) {
    static char buffer[kCopyChunk];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!writeAll(out, buffer, static_cast<size_t>(n)))
            return false;
    }
}

// A kernel copy that ends early is finished by hand from where it stopped;
// at the true end that costs one read.
bool copyContent(int in, int out) {
    bool unsupported = false;
    if (copyByKernel(in, out, unsupported))
        return copyByBuffer(in, out);
    if (!unsupported)
        return false;
    // Nothing was written when the kernel refused: start over by hand.
    return lseek(in, 0, SEEK_SET) == 0 && lseek(out, 0, SEEK_SET) == 0 &&
           ftruncate(out, 0) == 0 && copyByBuffer(in, out);
}

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A link already in the install root keeps pointing where it points; the
// file it names is replaced. Returns "" when there is nothing to replace.
std::string replacementTarget(const char *dst) {
    struct stat st;
    if (lstat(dst, &st) != 0)
        return dst;
    if (S_ISLNK(st.st_mode))
        return isRegularFile(dst) ? realPath(dst) : std::string();
    return S_ISREG(st.st_mode) ? std::string(dst) : std::string();
}

// A new file next to the one it replaces, so the rename stays on one file
// system; the default mode of a new file comes from the umask.
Fd createTemporary(const std::string &dir, std::string &name) {
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = dir + "/.updater-" + std::to_string(getpid()) + "-" +
               std::to_string(serial++);
        Fd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.valid() || errno != EEXIST)
            return fd;
    }
    return Fd();
}

// An existing file keeps its owner and permission bits (owner first: a
// change of owner clears the set-id bits).
bool keepAttributes(int out, const std::string &dst) {
    struct stat st;
    if (stat(dst.c_str(), &st) != 0)
        return errno == ENOENT;
    if (fchown(out, st.st_uid, st.st_gid) != 0 && geteuid() == 0)
        return false;
    return fchmod(out, st.st_mode & 07777) == 0;
}

// Attributes first: the content is never readable under looser bits.
bool fillTemporary(int in, int out, const std::string &dst) {
    return keepAttributes(out, dst) && copyContent(in, out);
}

void replaceFile(int in, const std::string &dst) {
    std::string temporary;
    Fd out = createTemporary(directoryOf(dst), temporary);
    if (!out.valid())
        return;
    bool filled = fillTemporary(in, out.get(), dst);
    bool closed = close(out.release()) == 0;
    if (!filled || !closed || rename(temporary.c_str(), dst.c_str()) != 0)
        unlink(temporary.c_str());
}

} // namespace

// --------------------------------------------------------------- the walk

void createDir(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        mkdir(path, 0777);
}

// Only a regular staged file replaces an installed one, and only once its
// whole content is in a new file beside it: an unreadable source, a full disk
// or a crash leaves the old file as it was.
void copyFile(const char *src, const char *dst) {
    Fd in = openStagedFile(src);
    if (!in.valid())
        return;
    const std::string target = replacementTarget(dst);
    if (!target.empty())
        replaceFile(in.get(), target);
}

namespace {

bool isDotOrDotDot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Some file systems leave the type out of the listing.
unsigned char entryType(const std::string &path, const dirent *entry) {
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return DT_UNKNOWN;
    return S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
}

DIR *openListing(const std::string &dir, bool followLink) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    Fd fd(open(dir.c_str(), flags));
    if (!fd.valid())
        return nullptr;
    DIR *listing = fdopendir(fd.get());
    if (listing)
        fd.release();
    return listing;
}

} // namespace

void listdir(const std::string &base, const std::string &rel) {
    const std::string dir = base + rel;
    Dir listing(openListing(dir, rel.empty()));
    if (!listing.get())
        return;
    while (const dirent *entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (entryType(dir + "/" + name, entry) == DT_DIR) {
            if (isDotOrDotDot(name.c_str()))
                continue;
            const std::string sub = rel + "/" + name;
            createDir((DST_ROOT + sub).c_str());
            listdir(base, sub);
        } else {
            copyFile((dir + "/" + name).c_str(), (DST_ROOT + rel + "/" + name).c_str());
        }
    }
}

namespace {

// Every command runs to completion; what it reports changes nothing.
void run(const char *command) {
    int status = system(command);
    static_cast<void>(status);
}

} // namespace

int main() {
    StartDaemon();
    guardSignals();
    run("killall nginx");
    run("mount -o rw,remount /opt/quarnel");
    run("killall hostapd");
    createDir(DST_ROOT);
    // Running out of memory ends the copy, not the run: the board must
    // still come back up.
    try {
        listdir(SRC_ROOT, "");
    } catch (...) {
    }
    // The board must come back with everything written so far on storage.
    sync();
    run("nohup reboot & disown");
    run("reboot");
    unguardSignals();
    run("nohup reboot & disown");
    return 0;
}
