#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "content.h"
#include "digest_check.h"
#include "fd.h"
#include "manifest.h"
#include "records.h"
#include "staging.h"
#include "trust.h"

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
    std::vector<std::string> claimed;  // installed files reached through links
    bool stages(const std::string &name) const
    {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const Entry &entry) { return entry.name == name; });
    }
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_dot_or_dot_dot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The listing in the order the file system gives it.
bool read_entries(int fd, std::vector<Entry> &entries)
{
    Fd copy(dup(fd));
    DIR *listing = copy.valid() ? fdopendir(copy.get()) : nullptr;
    if (!listing)
        return false;
    copy.release();
    errno = 0;
    while (const dirent *entry = readdir(listing)) {
        if (!is_dot_or_dot_dot(entry->d_name))
            entries.push_back({entry->d_name, entry->d_type});
    }
    const int error = errno;
    closedir(listing);
    errno = error;
    return error == 0;
}

// Staged links the update leaves alone: they lead nowhere, out of the
// staging tree, or to something other than a regular file.
bool link_left_alone(int error)
{
    return error == ENOENT || error == ENOTDIR || error == EXDEV || error == ELOOP ||
           error == EISDIR || error == ENXIO;
}

uint64_t round_up(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

enum class Found { file, left_alone, failed };

class Scanner {
public:
    Scanner(int staging, int install, const char *staging_path, unsigned long block_size, Plan &plan)
        : staging_root_(staging), staging_path_(staging_path),
          block_size_(block_size ? block_size : 4096), plan_(plan)
    {
        src_.reset(dup(staging));
        if (!src_.valid())
            fail("cannot open the staging tree");
        dst_.reset(dup(install));
        if (!dst_.valid())
            fail("cannot open the install root");
        if (plan.check)
            digests_ = std::make_unique<DigestCheck>();
    }

    bool run(std::string &why);

private:
    void step();
    bool enter(Fd src, Fd dst, size_t dir);
    void leave();
    bool reopen_parent(Fd &fd, dev_t dev, ino_t ino);
    void visit_folder(const Entry &entry);
    void visit_file(const Entry &entry);
    Found open_staged(const Entry &entry, PlanFile &file, Fd &in, struct stat &st);
    Found destination_of(const std::string &name, PlanFile &file, struct stat &st);
    Found follow_installed_link(const std::string &name, std::string &target);
    bool trusted(const struct stat &st, const std::string &name);
    void add_file(PlanFile file, const struct stat &staged);
    Found fail(const std::string &what, const std::string &name = "");
    void stop(const std::string &why);
    bool listed(const std::string &mismatch);
    bool listed_before_open(const Entry &entry);
    bool listed_once_open(const Entry &entry, PlanFile &file, const struct stat &st);
    std::string path_of(const std::string &name) const
    {
        return rel_.empty() ? name : rel_ + "/" + name;
    }
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
    std::string why_;  // set once: the first failure ends the walk
    // With a signed manifest: compared files are hashed, checked behind the walk.
    std::unique_ptr<DigestCheck> digests_;
};

// The first failure in the walk's order: a file hashed before it that
// differs comes first.
void Scanner::stop(const std::string &why)
{
    if (!why_.empty())
        return;
    const std::string earlier = digests_ ? digests_->finish() : "";
    why_ = earlier.empty() ? why : earlier;
}

Found Scanner::fail(const std::string &what, const std::string &name)
{
    stop(what + (name.empty() ? "" : " " + name) + " (" + strerror(errno) + ")");
    return Found::failed;
}

bool Scanner::run(std::string &why)
{
    if (why_.empty() && enter(std::move(src_), std::move(dst_), 0)) {
        while (why_.empty() && !stack_.empty())
            step();
    }
    if (why_.empty() && digests_)
        why_ = digests_->finish();
    why = why_;
    return why_.empty();
}

void Scanner::step()
{
    Level &level = stack_.back();
    if (level.next == level.entries.size())
        return leave();
    Entry entry = level.entries[level.next++];
    if (at_top() && entry.name == kRecordsFolder)
        return;
    if (entry.type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(src_.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail("cannot examine staged", path_of(entry.name));
            return;
        }
        entry.type = IFTODT(st.st_mode);
    }
    if (entry.type == DT_DIR)
        visit_folder(entry);
    else
        visit_file(entry);
}

// dst invalid: the folder is new in the install root.
bool Scanner::enter(Fd src, Fd dst, size_t dir)
{
    Level level;
    level.dir = dir;
    level.rel_length = rel_.size();
    struct stat st;
    if (fstat(src.get(), &st) != 0 || !read_entries(src.get(), level.entries))
        return fail("cannot read staged folder", rel_.empty() ? "." : rel_) == Found::file;
    level.src_dev = st.st_dev, level.src_ino = st.st_ino;
    if (dst.valid()) {
        if (fstat(dst.get(), &st) != 0)
            return fail("cannot examine installed folder", rel_.empty() ? "." : rel_) == Found::file;
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
    if (!parent.valid() || fstat(parent.get(), &st) != 0)
        return false;
    if (st.st_dev != dev || st.st_ino != ino) {
        errno = ESTALE;
        return false;
    }
    fd = std::move(parent);
    return true;
}

void Scanner::leave()
{
    const bool had_installed = installed_here();
    const std::string left = rel_;
    rel_.resize(stack_.back().rel_length);
    stack_.pop_back();
    if (stack_.empty())
        return;
    const Level &parent = stack_.back();
    if (!reopen_parent(src_, parent.src_dev, parent.src_ino) ||
        (had_installed && !reopen_parent(dst_, parent.dst_dev, parent.dst_ino))) {
        fail("cannot return from", left);
        return;
    }
    if (had_installed)
        dst_depth_ = stack_.size();
}

bool Scanner::trusted(const struct stat &st, const std::string &name)
{
    const std::string why = why_untrusted(st);
    if (!why.empty())
        stop("staged " + name + " " + why);
    return why.empty();
}

// Folders are created when missing; an existing path of another type is
// left as it is, and nothing is installed below it.
void Scanner::visit_folder(const Entry &entry)
{
    const std::string path = path_of(entry.name);
    Fd src(openat(src_.get(), entry.name.c_str(), kDirFlags));
    struct stat st;
    if (!src.valid() || fstat(src.get(), &st) != 0) {
        fail("cannot open staged folder", path);
        return;
    }
    if (!trusted(st, path) || (plan_.check && !listed(plan_.check->folder(path, st))))
        return;
    Fd dst;
    bool is_new = !installed_here();
    if (!is_new) {
        struct stat installed;
        if (fstatat(dst_.get(), entry.name.c_str(), &installed, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                fail("cannot examine installed", path);
                return;
            }
            is_new = true;
        } else if (!S_ISDIR(installed.st_mode)) {
            if (plan_.check)
                plan_.check->not_entered(path);
            return;
        } else if (!(dst = Fd(openat(dst_.get(), entry.name.c_str(), kDirFlags))).valid()) {
            fail("cannot open installed folder", path);
            return;
        }
    }
    PlanDir dir;
    dir.parent = stack_.back().dir;
    dir.name = entry.name;
    dir.is_new = is_new;
    dir.mode = st.st_mode & 0777;
    plan_.dirs.push_back(dir);
    if (is_new) {
        plan_.bytes_needed += block_size_;
        plan_.inodes_needed += 1;
    }
    if (enter(std::move(src), std::move(dst), plan_.dirs.size() - 1))
        rel_ = path;
}

// The listing's type spares a status query for plain files; the open
// itself refuses anything but a regular file. FIFOs, sockets and devices
// are never opened.
Found Scanner::open_staged(const Entry &entry, PlanFile &file, Fd &in, struct stat &st)
{
    const std::string path = path_of(entry.name);
    file.source = entry.name;
    file.source_is_path = entry.type == DT_LNK;
    if (entry.type == DT_REG)
        in = open_regular_at(src_.get(), entry.name.c_str(), &st);
    else if (entry.type == DT_LNK)
        in = open_linked_file(staging_root_, src_.get(), entry.name.c_str(), rel_, staging_path_,
                              file.source);
    else
        return Found::left_alone;
    if (in.valid() && (entry.type == DT_REG || fstat(in.get(), &st) == 0))
        return Found::file;
    in.reset();
    if (entry.type == DT_LNK && link_left_alone(errno))
        return Found::left_alone;
    return fail("cannot open staged", path);
}

// A link in the install root to a file in the same folder (libx.so ->
// libx.so.1) keeps pointing there, and the file it names is replaced,
// unless the staging tree carries a name on its way or another link of the
// folder already leads there: then the link itself is replaced, so that
// every staged name ends up with its own content.
Found Scanner::follow_installed_link(const std::string &name, std::string &target)
{
    Level &level = stack_.back();
    target = name;
    for (int hop = 0; hop < 8; ++hop) {
        struct stat st;
        char text[NAME_MAX + 1];
        ssize_t n = readlinkat(dst_.get(), target.c_str(), text, sizeof text);
        if (n < 0)
            return fail("cannot read installed link", path_of(target));
        if (n == 0 || n > NAME_MAX)
            return Found::left_alone;
        target.assign(text, static_cast<size_t>(n));
        if (target.find('/') != std::string::npos || is_dot_or_dot_dot(target.c_str()))
            return Found::left_alone;
        if (level.stages(target) ||
            std::find(level.claimed.begin(), level.claimed.end(), target) != level.claimed.end()) {
            target = name;
            return Found::file;
        }
        if (fstatat(dst_.get(), target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Found::left_alone
                                   : fail("cannot examine installed", path_of(target));
        if (S_ISREG(st.st_mode)) {
            level.claimed.push_back(target);
            return Found::file;
        }
        if (!S_ISLNK(st.st_mode))
            return Found::left_alone;
    }
    return Found::left_alone;
}

// Where a staged file goes: file.name, with file.is_new false and st its
// status when a regular file is installed there.
Found Scanner::destination_of(const std::string &name, PlanFile &file, struct stat &st)
{
    file.name = name;
    file.is_new = true;
    if (!installed_here())
        return Found::file;
    if (fstatat(dst_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Found::file : fail("cannot examine installed", path_of(name));
    if (S_ISLNK(st.st_mode)) {
        const Found found = follow_installed_link(name, file.name);
        if (found != Found::file || file.name == name)
            return found;
        if (fstatat(dst_.get(), file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail("cannot examine installed", path_of(file.name));
    } else if (!S_ISREG(st.st_mode)) {
        return Found::left_alone;
    }
    file.is_new = false;
    return Found::file;
}

void Scanner::visit_file(const Entry &entry)
{
    PlanFile file;
    struct stat staged, installed;
    Fd in;
    if (!listed_before_open(entry) || open_staged(entry, file, in, staged) != Found::file ||
        !trusted(staged, path_of(entry.name)) || !listed_once_open(entry, file, staged) ||
        destination_of(entry.name, file, installed) != Found::file)
        return;
    file.dir = stack_.back().dir;
    if (file.is_new) {
        file.mode = staged.st_mode & 0777;
        return add_file(std::move(file), staged);
    }
    Fd out = open_regular_at(dst_.get(), file.name.c_str());
    if (!out.valid()) {
        fail("cannot open installed", path_of(file.name));
        return;
    }
    if (installed.st_size == staged.st_size &&
        same_content(in.get(), out.get(), staged.st_size, digests_.get())) {
        if (digests_)
            digests_->end_file(file.sha256, path_of(entry.name));
        ++plan_.unchanged;
        return;
    }
    if (digests_)
        digests_->drop_file();
    file.mode = installed.st_mode & 07777;
    file.uid = installed.st_uid;
    file.gid = installed.st_gid;
    add_file(std::move(file), staged);
}

bool Scanner::listed(const std::string &mismatch)
{
    if (!mismatch.empty())
        stop(mismatch);
    return mismatch.empty();
}

// With a signed manifest every staged entry must be listed as it is: links
// by their text, anything else but files and folders is refused.
bool Scanner::listed_before_open(const Entry &entry)
{
    if (!plan_.check || entry.type == DT_REG)
        return true;
    const std::string path = path_of(entry.name);
    if (entry.type != DT_LNK)
        return listed(plan_.check->other(path));
    char text[PATH_MAX];
    const ssize_t n = readlinkat(src_.get(), entry.name.c_str(), text, sizeof text);
    if (n < 0)
        return fail("cannot read staged link", path) == Found::file;
    return listed(plan_.check->link(path, std::string(text, static_cast<size_t>(n))));
}

// A file's content is checked as it is read; a link installs what it leads
// to, which the manifest must list as a file.
bool Scanner::listed_once_open(const Entry &entry, PlanFile &file, const struct stat &st)
{
    if (!plan_.check)
        return true;
    if (entry.type == DT_LNK)
        return listed(plan_.check->linked_file(file.source, file.sha256));
    return listed(plan_.check->file(path_of(entry.name), st, file.sha256));
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
    if (file.link_to == SIZE_MAX) {
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
