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
    dev_t src_dev = 0;
    ino_t src_ino = 0;
    dev_t dst_dev = 0;
    ino_t dst_ino = 0;
    size_t rel_length = 0;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_dot_or_dot_dot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The listing in the order the file system gives it.
bool read_entries(int fd, std::vector<Entry> &entries)
{
    int copy = dup(fd);
    DIR *listing = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    while (const dirent *entry = readdir(listing))
        if (!is_dot_or_dot_dot(entry->d_name))
            entries.push_back({entry->d_name, entry->d_type});
    closedir(listing);
    return true;
}

// A link in the install root to a file in the same folder (libx.so ->
// libx.so.1) keeps pointing there, and the file it names is replaced.
// Returns that file's name, or "" when the link leads elsewhere.
std::string same_folder_target(int dir, std::string name)
{
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
        if (name.find('/') != std::string::npos || is_dot_or_dot_dot(name.c_str()))
            return {};
    }
    return {};
}

uint64_t round_up(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Past this size, writing the content twice costs more than a new file, a
// rename and the release of the old file.
constexpr off_t kInPlaceLimit = off_t{16} << 10;

// A small replacement is written over the installed file after the commit,
// from a flushed copy kept with the journal, where that is safe: a single
// name (no other name changes with it), no execute bit (a running program's
// file cannot be written) and blocks already there for the new bytes (no
// space is needed after the commit).
bool rewritable(const struct stat &installed, const struct stat &staged)
{
    return installed.st_nlink == 1 && (installed.st_mode & 0111) == 0 && staged.st_nlink == 1 &&
           staged.st_size <= kInPlaceLimit &&
           static_cast<uint64_t>(staged.st_size) <= static_cast<uint64_t>(installed.st_blocks) * 512;
}

class Scanner {
public:
    Scanner(int staging, int install, const char *staging_path, unsigned long block_size, Plan &plan)
        : staging_root_(staging), staging_path_(staging_path),
          block_size_(block_size ? block_size : 4096), plan_(plan), src_(dup(staging)),
          dst_(dup(install))
    {
    }

    bool run(std::string &why);

private:
    bool enter(Fd src, Fd dst, size_t dir);
    bool leave();
    bool reopen_parent(Fd &fd, dev_t dev, ino_t ino);
    void visit_folder(const Entry &entry);
    void visit_file(const Entry &entry);
    Fd open_staged(const Entry &entry, std::string &source, bool &is_path, struct stat &st);
    bool destination_of(const std::string &name, std::string &installed, struct stat &st,
                        bool &exists);
    void add_file(PlanFile file, const struct stat &staged);
    bool at_top() const { return stack_.size() == 1; }
    bool installed_here() const { return dst_depth_ == stack_.size(); }

    int staging_root_;
    const char *staging_path_;
    unsigned long block_size_;
    Plan &plan_;
    Fd src_, dst_;
    size_t dst_depth_ = 0;  // depth of the folder dst_ holds
    std::vector<Level> stack_;
    std::string rel_;  // current folder below the staging root, "" at the top
    std::map<std::pair<dev_t, ino_t>, size_t> linked_;
    bool changed_ = false;
};

bool Scanner::run(std::string &why)
{
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
        if (at_top() && entry.name == kRecordsFolder)
            continue;
        struct stat st;
        if (entry.type == DT_UNKNOWN &&
            fstatat(src_.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode))
            entry.type = DT_DIR;
        if (entry.type == DT_DIR)
            visit_folder(entry);
        else
            visit_file(entry);
    }
    if (changed_)
        why = "staging tree changed while it was read";
    return !changed_;
}

// dst invalid: the folder is new in the install root.
bool Scanner::enter(Fd src, Fd dst, size_t dir)
{
    Level level;
    level.dir = dir;
    level.rel_length = rel_.size();
    struct stat st;
    if (fstat(src.get(), &st) != 0 || !read_entries(src.get(), level.entries))
        return false;
    level.src_dev = st.st_dev, level.src_ino = st.st_ino;
    if (dst.valid()) {
        if (fstat(dst.get(), &st) != 0)
            return false;
        level.dst_dev = st.st_dev, level.dst_ino = st.st_ino;
    }
    stack_.push_back(std::move(level));
    src_ = std::move(src);
    if (dst.valid()) {
        dst_ = std::move(dst);
        dst_depth_ = stack_.size();
    }
    return true;
}

bool Scanner::reopen_parent(Fd &fd, dev_t dev, ino_t ino)
{
    Fd parent(openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!parent.valid() || fstat(parent.get(), &st) != 0 || st.st_dev != dev || st.st_ino != ino)
        return false;
    fd = std::move(parent);
    return true;
}

bool Scanner::leave()
{
    const bool had_installed = installed_here();
    rel_.resize(stack_.back().rel_length);
    stack_.pop_back();
    if (stack_.empty())
        return true;
    const Level &parent = stack_.back();
    if (!reopen_parent(src_, parent.src_dev, parent.src_ino))
        return false;
    if (!had_installed)
        return true;
    dst_depth_ = stack_.size();
    return reopen_parent(dst_, parent.dst_dev, parent.dst_ino);
}

// Folders are created when missing; an existing path of another type is
// left as it is, and nothing is installed below it.
void Scanner::visit_folder(const Entry &entry)
{
    Fd src(openat(src_.get(), entry.name.c_str(), kDirFlags));
    if (!src.valid())
        return;
    Fd dst;
    bool is_new = !installed_here();
    if (!is_new) {
        struct stat st;
        if (fstatat(dst_.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return;
            is_new = true;
        } else if (!S_ISDIR(st.st_mode) ||
                   !(dst = Fd(openat(dst_.get(), entry.name.c_str(), kDirFlags))).valid()) {
            return;
        }
    }
    plan_.dirs.push_back({stack_.back().dir, entry.name, is_new, {}});
    if (is_new) {
        plan_.bytes_needed += block_size_;
        plan_.inodes_needed += 1;
    }
    const std::string name = (rel_.empty() ? "" : "/") + entry.name;
    if (enter(std::move(src), std::move(dst), plan_.dirs.size() - 1))
        rel_ += name;
}

// The listing's type spares a status query for plain files; the open
// itself refuses anything but a regular file.
Fd Scanner::open_staged(const Entry &entry, std::string &source, bool &is_path, struct stat &st)
{
    source = entry.name;
    is_path = false;
    if (entry.type == DT_REG)
        return open_regular_at(src_.get(), entry.name.c_str(), &st);
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN)
        return Fd();
    struct stat link;
    if (fstatat(src_.get(), entry.name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0)
        return Fd();
    if (!S_ISLNK(link.st_mode))
        return S_ISREG(link.st_mode) ? open_regular_at(src_.get(), entry.name.c_str(), &st) : Fd();
    is_path = true;
    Fd fd =
        open_linked_file(staging_root_, src_.get(), entry.name.c_str(), rel_, staging_path_, source);
    if (fd.valid() && fstat(fd.get(), &st) != 0)
        fd.reset();
    return fd;
}

// Where a staged file goes: false when the installed entry of that name is
// to be left alone (a folder, a device, a link leading elsewhere).
bool Scanner::destination_of(const std::string &name, std::string &installed, struct stat &st,
                             bool &exists)
{
    installed = name;
    exists = false;
    if (!installed_here())
        return true;
    if (fstatat(dst_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    exists = true;
    if (S_ISLNK(st.st_mode)) {
        installed = same_folder_target(dst_.get(), name);
        return !installed.empty() &&
               fstatat(dst_.get(), installed.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    return S_ISREG(st.st_mode);
}

void Scanner::visit_file(const Entry &entry)
{
    PlanFile file;
    struct stat staged, installed;
    Fd in = open_staged(entry, file.source, file.source_is_path, staged);
    bool exists;
    if (!in.valid() || !destination_of(entry.name, file.name, installed, exists))
        return;
    file.dir = stack_.back().dir;
    file.is_new = !exists;
    if (!file.is_new) {
        Fd out = open_regular_at(dst_.get(), file.name.c_str());
        if (out.valid() && installed.st_size == staged.st_size &&
            same_content(in.get(), out.get(), staged.st_size)) {
            ++plan_.unchanged;
            return;
        }
        file.mode = installed.st_mode & 07777;
        file.uid = installed.st_uid;
        file.gid = installed.st_gid;
        file.in_place = rewritable(installed, staged);
    } else {
        file.mode = staged.st_mode & 0777;
    }
    add_file(std::move(file), staged);
}

void Scanner::add_file(PlanFile file, const struct stat &staged)
{
    file.source_dev = staged.st_dev;
    file.source_ino = staged.st_ino;
    file.size = staged.st_size;
    if (staged.st_nlink > 1) {
        auto [it, first] = linked_.try_emplace({staged.st_dev, staged.st_ino}, plan_.files.size());
        if (!first)
            file.link_to = it->second;
    }
    if (file.in_place) {
        plan_.bytes_needed += round_up(static_cast<uint64_t>(staged.st_size), block_size_);
    } else if (file.link_to == SIZE_MAX) {
        const uint64_t allocated = static_cast<uint64_t>(staged.st_blocks) * 512;
        const uint64_t data = std::min<uint64_t>(static_cast<uint64_t>(staged.st_size), allocated);
        plan_.bytes_needed += round_up(data, block_size_) + block_size_;
        plan_.inodes_needed += 1;
    }
    plan_.files.push_back(std::move(file));
}

}  // namespace

bool plan_update(int staging, int install, const char *staging_path, unsigned long block_size,
                 Plan &plan, std::string &why)
{
    return Scanner(staging, install, staging_path, block_size, plan).run(why);
}
