#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "content.h"
#include "fd.h"
#include "staging.h"

const char *const kRecordsFolder = ".updater";

namespace {

struct Entry {
    std::string name;
    unsigned char type;
};

// One folder being walked. Only the innermost folder of each tree is held
// open; the way back up goes through "..", checked against what was entered.
struct Level {
    size_t dir = 0;
    std::vector<Entry> entries;
    size_t next = 0;
    dev_t srcDev = 0;
    ino_t srcIno = 0;
    dev_t dstDev = 0;
    ino_t dstIno = 0;
    size_t relLength = 0;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isDotOrDotDot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The listing in the order the file system gives it.
bool readEntries(int fd, std::vector<Entry> &entries) {
    int copy = dup(fd);
    DIR *listing = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    while (const dirent *entry = readdir(listing))
        if (!isDotOrDotDot(entry->d_name))
            entries.push_back({entry->d_name, entry->d_type});
    closedir(listing);
    return true;
}

// A link in the install root to a file in the same folder (libx.so ->
// libx.so.1) keeps pointing there, and the file it names is replaced.
// Returns that file's name, or "" when the link leads elsewhere.
std::string sameFolderTarget(int dir, std::string name) {
    for (int hop = 0; hop < 8; ++hop) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return {};
        if (S_ISREG(st.st_mode))
            return name;
        char text[NAME_MAX + 1];
        ssize_t n = readlinkat(dir, name.c_str(), text, sizeof text);
        if (!S_ISLNK(st.st_mode) || n <= 0 || n > NAME_MAX)
            return {};
        name.assign(text, static_cast<size_t>(n));
        if (name.find('/') != std::string::npos || isDotOrDotDot(name.c_str()))
            return {};
    }
    return {};
}

uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

class Scanner {
public:
    Scanner(int staging, int install, const char *stagingPath, unsigned long blockSize,
            Plan &plan)
        : stagingRoot_(staging), stagingPath_(stagingPath), blockSize_(blockSize ? blockSize : 4096),
          plan_(plan), src_(dup(staging)), dst_(dup(install)) {}

    bool run(std::string &why);

private:
    bool enter(Fd src, Fd dst, size_t dir);
    bool leave();
    bool reopenParent(Fd &fd, dev_t dev, ino_t ino);
    void visitFolder(const Entry &entry);
    void visitFile(const Entry &entry);
    Fd openStaged(const Entry &entry, std::string &source, bool &isPath, struct stat &st);
    bool destinationOf(const std::string &name, std::string &installed, struct stat &st,
                       bool &exists);
    void addFile(PlanFile file, const struct stat &staged);
    bool atTop() const { return stack_.size() == 1; }
    bool installedHere() const { return dstDepth_ == stack_.size(); }

    int stagingRoot_;
    const char *stagingPath_;
    unsigned long blockSize_;
    Plan &plan_;
    Fd src_, dst_;
    size_t dstDepth_ = 0;  // depth of the folder dst_ holds
    std::vector<Level> stack_;
    std::string rel_;      // current folder below the staging root, "" at the top
    std::map<std::pair<dev_t, ino_t>, size_t> linked_;
    bool changed_ = false;
};

bool Scanner::run(std::string &why) {
    Fd src(std::move(src_)), dst(std::move(dst_));
    if (!enter(std::move(src), std::move(dst), 0)) {
        why = "staging tree unreadable";
        return false;
    }
    while (!stack_.empty() && !changed_) {
        Level &level = stack_.back();
        if (level.next == level.entries.size()) {
            if (!leave())
                changed_ = true;
            continue;
        }
        Entry entry = level.entries[level.next++];
        if (atTop() && entry.name == kRecordsFolder)
            continue;
        struct stat st;
        if (entry.type == DT_UNKNOWN &&
            fstatat(src_.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode))
            entry.type = DT_DIR;
        if (entry.type == DT_DIR)
            visitFolder(entry);
        else
            visitFile(entry);
    }
    if (changed_)
        why = "staging tree changed while it was read";
    return !changed_;
}

// dst invalid: the folder is new in the install root.
bool Scanner::enter(Fd src, Fd dst, size_t dir) {
    Level level;
    level.dir = dir;
    level.relLength = rel_.size();
    struct stat st;
    if (fstat(src.get(), &st) != 0 || !readEntries(src.get(), level.entries))
        return false;
    level.srcDev = st.st_dev, level.srcIno = st.st_ino;
    if (dst.valid()) {
        if (fstat(dst.get(), &st) != 0)
            return false;
        level.dstDev = st.st_dev, level.dstIno = st.st_ino;
    }
    stack_.push_back(std::move(level));
    src_ = std::move(src);
    if (dst.valid()) {
        dst_ = std::move(dst);
        dstDepth_ = stack_.size();
    }
    return true;
}

bool Scanner::reopenParent(Fd &fd, dev_t dev, ino_t ino) {
    Fd parent(openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!parent.valid() || fstat(parent.get(), &st) != 0 || st.st_dev != dev || st.st_ino != ino)
        return false;
    fd = std::move(parent);
    return true;
}

bool Scanner::leave() {
    const bool hadInstalled = installedHere();
    rel_.resize(stack_.back().relLength);
    stack_.pop_back();
    if (stack_.empty())
        return true;
    const Level &parent = stack_.back();
    if (!reopenParent(src_, parent.srcDev, parent.srcIno))
        return false;
    if (!hadInstalled)
        return true;
    dstDepth_ = stack_.size();
    return reopenParent(dst_, parent.dstDev, parent.dstIno);
}

// Folders are created when missing; an existing path of another type is
// left as it is, and nothing is installed below it.
void Scanner::visitFolder(const Entry &entry) {
    Fd src(openat(src_.get(), entry.name.c_str(), kDirFlags));
    if (!src.valid())
        return;
    Fd dst;
    bool isNew = !installedHere();
    if (!isNew) {
        struct stat st;
        if (fstatat(dst_.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return;
            isNew = true;
        } else if (!S_ISDIR(st.st_mode) ||
                   !(dst = Fd(openat(dst_.get(), entry.name.c_str(), kDirFlags))).valid()) {
            return;
        }
    }
    plan_.dirs.push_back({stack_.back().dir, entry.name, isNew, {}});
    if (isNew) {
        plan_.bytesNeeded += blockSize_;
        plan_.inodesNeeded += 1;
    }
    const std::string name = (rel_.empty() ? "" : "/") + entry.name;
    if (enter(std::move(src), std::move(dst), plan_.dirs.size() - 1))
        rel_ += name;
}

// The listing's type spares a status query for plain files; the open
// itself refuses anything but a regular file.
Fd Scanner::openStaged(const Entry &entry, std::string &source, bool &isPath,
                       struct stat &st) {
    source = entry.name;
    isPath = false;
    if (entry.type == DT_REG)
        return openRegularAt(src_.get(), entry.name.c_str(), &st);
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN)
        return Fd();
    struct stat link;
    if (fstatat(src_.get(), entry.name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0)
        return Fd();
    if (!S_ISLNK(link.st_mode))
        return S_ISREG(link.st_mode) ? openRegularAt(src_.get(), entry.name.c_str(), &st) : Fd();
    isPath = true;
    Fd fd = openLinkedFile(stagingRoot_, src_.get(), entry.name.c_str(), rel_, stagingPath_, source);
    if (fd.valid() && fstat(fd.get(), &st) != 0)
        fd.reset();
    return fd;
}

// Where a staged file goes: false when the installed entry of that name is
// to be left alone (a folder, a device, a link leading elsewhere).
bool Scanner::destinationOf(const std::string &name, std::string &installed, struct stat &st,
                            bool &exists) {
    installed = name;
    exists = false;
    if (!installedHere())
        return true;
    if (fstatat(dst_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    exists = true;
    if (S_ISLNK(st.st_mode)) {
        installed = sameFolderTarget(dst_.get(), name);
        return !installed.empty() &&
               fstatat(dst_.get(), installed.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    return S_ISREG(st.st_mode);
}

void Scanner::visitFile(const Entry &entry) {
    PlanFile file;
    struct stat staged, installed;
    Fd in = openStaged(entry, file.source, file.sourceIsPath, staged);
    bool exists;
    if (!in.valid() || !destinationOf(entry.name, file.name, installed, exists))
        return;
    file.dir = stack_.back().dir;
    file.isNew = !exists;
    if (!file.isNew) {
        Fd out = openRegularAt(dst_.get(), file.name.c_str());
        if (out.valid() && installed.st_size == staged.st_size &&
            sameContent(in.get(), out.get(), staged.st_size)) {
            ++plan_.unchanged;
            return;
        }
        file.mode = installed.st_mode & 07777;
        file.uid = installed.st_uid;
        file.gid = installed.st_gid;
    } else {
        file.mode = staged.st_mode & 0777;
    }
    addFile(std::move(file), staged);
}

void Scanner::addFile(PlanFile file, const struct stat &staged) {
    file.sourceDev = staged.st_dev;
    file.sourceIno = staged.st_ino;
    file.size = staged.st_size;
    if (staged.st_nlink > 1) {
        auto [it, first] = linked_.try_emplace({staged.st_dev, staged.st_ino}, plan_.files.size());
        if (!first)
            file.linkTo = it->second;
    }
    if (file.linkTo == SIZE_MAX) {
        const uint64_t allocated = static_cast<uint64_t>(staged.st_blocks) * 512;
        const uint64_t data = std::min<uint64_t>(static_cast<uint64_t>(staged.st_size), allocated);
        plan_.bytesNeeded += roundUp(data, blockSize_) + blockSize_;
        plan_.inodesNeeded += 1;
    }
    plan_.files.push_back(std::move(file));
}

} // namespace

bool planUpdate(int staging, int install, const char *stagingPath, unsigned long blockSize,
                Plan &plan, std::string &why) {
    return Scanner(staging, install, stagingPath, blockSize, plan).run(why);
}
