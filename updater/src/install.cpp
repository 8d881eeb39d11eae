#include "install.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "content.h"
#include "digest_check.h"
#include "fd.h"
#include "journal.h"
#include "kept.h"
#include "manifest.h"
#include "records.h"
#include "result.h"
#include "staging.h"

namespace {

// A name no earlier run and no staged file is expected to hold: a later
// run after a reboot may well get the same process ID.
std::string run_id()
{
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes) {
        const unsigned long long mix = static_cast<unsigned long long>(time(nullptr)) * 1000003u ^
                                       static_cast<unsigned long long>(getpid());
        memcpy(bytes, &mix, sizeof bytes);
    }
    char text[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

// A new folder whose parent exists is built under a temporary name and
// renamed as a whole; what lies inside it has its own name from the start.
void name_temporaries(Plan &plan)
{
    const std::string prefix = ".updater-" + run_id() + "-";
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        PlanDir &dir = plan.dirs[i];
        if (dir.is_new && !plan.dirs[dir.parent].is_new)
            dir.temporary = prefix + "d" + std::to_string(i);
    }
    for (size_t i = 0; i < plan.files.size(); ++i) {
        PlanFile &file = plan.files[i];
        file.temporary = plan.dirs[file.dir].is_new ? file.name : prefix + std::to_string(i);
    }
}

std::string because(const std::string &what) { return what + " (" + strerror(errno) + ")"; }

// Writes every temporary. Each is created afresh (O_EXCL, never through a
// link) and used only by its descriptor: a user who owns a folder of the
// install root can rename or swap names there, but never make the updater
// write, link or chown a file of theirs.
class Preparer {
public:
    Preparer(int staging, const char *staging_path, int install, Plan &plan)
        : staging_(staging), staging_path_(staging_path), plan_(plan), src_(staging, plan.dirs, true),
          dst_(install, plan.dirs, false), links_(install, plan.dirs, false)
    {
        if (plan.check)
            digests_ = std::make_unique<DigestCheck>();
    }

    bool create_folders(std::string &why);
    bool write_files(std::string &why);

private:
    bool write_file(PlanFile &file);
    bool shares_inode(const PlanFile &file) const;
    bool link_file(PlanFile &file, int dir);
    Fd open_source(const PlanFile &file);
    std::string staged_path(const PlanFile &file) const;
    bool as_signed(const PlanFile &file, const std::string &digest);

    int staging_;
    const char *staging_path_;
    Plan &plan_;
    DirCursor src_, dst_, links_;
    std::unique_ptr<DigestCheck> digests_;  // with a signed manifest
    std::string mismatch_;                  // a file that differs from it
};

bool Preparer::create_folders(std::string &why)
{
    for (size_t i = 1; i < plan_.dirs.size(); ++i) {
        PlanDir &dir = plan_.dirs[i];
        if (!dir.is_new)
            continue;
        const char *name = dir.on_disk(false).c_str();
        int parent = dst_.open(dir.parent);
        struct stat st;
        if (parent < 0 || mkdirat(parent, name, dir.mode) != 0 ||
            fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            why = because("cannot create folder " + dir.name);
            return false;
        }
        dir.made = st.st_ino;
    }
    return true;
}

// Content is checked behind the writes, all of it before the commit; a
// file hashed before a failure that differs is the first thing to report.
bool Preparer::write_files(std::string &why)
{
    for (PlanFile &file : plan_.files) {
        if (!write_file(file)) {
            why = because("cannot write " + file.name);
            break;
        }
    }
    if (mismatch_.empty() && digests_)
        mismatch_ = digests_->finish();
    if (!mismatch_.empty())
        why = mismatch_;
    return why.empty();
}

// Members of one staged hard link share an inode where they share the
// attributes it carries.
bool Preparer::shares_inode(const PlanFile &file) const
{
    if (file.link_to == SIZE_MAX)
        return false;
    const PlanFile &first = plan_.files[file.link_to];
    return first.is_new == file.is_new && first.mode == file.mode &&
           (file.is_new || (first.uid == file.uid && first.gid == file.gid));
}

// The link is made from the inode this run wrote, found by its descriptor;
// without the right to link a descriptor, by name, and checked after.
bool Preparer::link_file(PlanFile &file, int dir)
{
    const PlanFile &first = plan_.files[file.link_to];
    int from = links_.open(first.dir);
    if (from < 0)
        return false;
    Fd made(openat(from, first.temporary.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!made.valid() || fstat(made.get(), &st) != 0)
        return false;
    if (st.st_ino != first.made) {
        errno = ESTALE;
        return false;
    }
    const char *name = file.temporary.c_str();
    if (linkat(made.get(), "", dir, name, AT_EMPTY_PATH) != 0) {
        if ((errno != ENOENT && errno != EPERM) ||
            linkat(from, first.temporary.c_str(), dir, name, 0) != 0)
            return false;
        if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != first.made) {
            unlinkat(dir, name, 0);
            errno = ESTALE;
            return false;
        }
    }
    file.made = first.made;
    return true;
}

// Staged where a mismatch is reported: a link's content is the file it
// leads to.
std::string Preparer::staged_path(const PlanFile &file) const
{
    std::string path = file.source;
    for (size_t dir = file.dir; !file.source_is_path && dir != 0; dir = plan_.dirs[dir].parent)
        path = plan_.dirs[dir].name + "/" + path;
    return path;
}

bool Preparer::as_signed(const PlanFile &file, const std::string &digest)
{
    if (file.sha256.empty() || digest == file.sha256)
        return true;
    mismatch_ = content_differs(staged_path(file));
    errno = EBADMSG;
    return false;
}

Fd Preparer::open_source(const PlanFile &file)
{
    if (file.source_is_path)
        return open_below(staging_, file.source, staging_path_);
    int dir = src_.open(file.dir);
    return dir < 0 ? Fd() : open_regular_at(dir, file.source.c_str());
}

// Attributes first: the content is never readable under looser bits. A new
// file gets the staged permission bits, never set-user/group-ID.
bool Preparer::write_file(PlanFile &file)
{
    int dir = dst_.open(file.dir);
    if (dir < 0)
        return false;
    if (shares_inode(file))
        return as_signed(file, plan_.files[file.link_to].sha256) && link_file(file, dir);
    Fd in = open_source(file);
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0)
        return false;
    Fd out(openat(dir, file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600));
    if (!out.valid())
        return false;
    if (!file.is_new && fchown(out.get(), file.uid, file.gid) != 0 && geteuid() == 0)
        return false;
    const bool sparse = st.st_blocks * 512 < st.st_size;
    DigestCheck *check = file.sha256.empty() ? nullptr : digests_.get();
    const bool copied =
        fchmod(out.get(), file.mode) == 0 && copyFile(in.get(), out.get(), st.st_size, sparse, check);
    if (check)
        copied ? check->end_file(file.sha256, staged_path(file)) : check->drop_file();
    if (!copied || fstat(out.get(), &st) != 0)
        return false;
    file.made = st.st_ino;
    return close(out.release()) == 0;
}

// Everything written so far reaches storage before the next step counts on it.
bool flush(int install) { return syncfs(install) == 0; }

// One step after the commit, safe to redo: the temporary is renamed when it
// is still the inode this run made; gone, with the name holding that inode,
// it was renamed before a cut. A folder never replaces anything.
bool put_in_place(int dir, const std::string &temporary, const std::string &name, ino_t made,
                  bool folder)
{
    struct stat st;
    if (fstatat(dir, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (st.st_ino != made) {
            errno = ESTALE;
            return false;
        }
        if (!folder)
            return renameat(dir, temporary.c_str(), dir, name.c_str()) == 0;
        if (renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        return errno == EINVAL && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0;
    }
    if (errno != ENOENT)
        return false;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (st.st_ino != made) {
        errno = ESTALE;
        return false;
    }
    return true;
}

std::string counted(size_t files, size_t folders)
{
    return std::to_string(files) + (files == 1 ? " file, " : " files, ") + std::to_string(folders) +
           (folders == 1 ? " new folder" : " new folders");
}

// A rollback's removals: a file only while its name holds what the update
// put there, a folder only while empty and the one the update made; what
// is gone counts as done, and what someone else put there stays.
struct Removed {
    size_t files = 0, folders = 0, kept_folders = 0;
};

bool remove_if_made(int dir, const std::string &name, ino_t made, bool folder, bool &kept)
{
    struct stat st;
    kept = false;
    // A folder on the way that is gone took the entry with it (removed by
    // the run that a fault cut short).
    if (dir < 0)
        return errno == ENOENT;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    // Another inode under the name is someone else's: left, and not counted.
    kept = st.st_ino != made;
    if (kept || unlinkat(dir, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0)
        return true;
    kept = folder && (errno == ENOTEMPTY || errno == EEXIST);
    return kept || errno == ENOENT;
}

template <typename Step>
void remove_added(DirCursor &dst, const Plan &plan, Removed &removed, Step step)
{
    bool kept = false;
    for (const PlanFile &file : plan.removals)
        removed.files +=
            step(remove_if_made(dst.open(file.dir), file.name, file.made, false, kept)) && !kept;
    for (size_t i = plan.dirs.size(); i-- > 1;) {
        const PlanDir &folder = plan.dirs[i];
        if (!folder.remove)
            continue;
        if (step(remove_if_made(dst.open(folder.parent), folder.name, folder.made, true, kept)))
            (kept ? removed.kept_folders : removed.folders) += 1;
    }
}

std::string plural(size_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string done_line(const Plan &plan, size_t files, size_t folders, const Removed &removed)
{
    if (plan.kept != KeptRelease::restored)
        return "installed: " + counted(files, folders) + plan.note;
    std::string line = "rolled back: " + plan.taken_back + "; " + plural(files, "file", "files") +
                       " restored, " + plural(removed.files, "file", "files") + " and " +
                       plural(removed.folders, "folder", "folders") + " removed";
    if (removed.kept_folders > 0)
        line += "; " + plural(removed.kept_folders, "added folder", "added folders") +
                " kept: they hold files the release did not bring";
    return line;
}

// New folders as a whole, then each file in an existing folder, then a
// rollback's removals. Every step is tried; the journal stays until all
// are done.
Outcome finish(int install, int records, const Plan &plan)
{
    DirCursor dst(install, plan.dirs, false);
    std::vector<bool> in_place(plan.dirs.size(), true);
    size_t left = 0, folders = 0, files = 0;
    Removed removed;
    int error = 0;
    auto step = [&](bool done) {
        if (!done && error == 0)
            error = errno;
        left += !done;
        return done;
    };
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &folder = plan.dirs[i];
        in_place[i] = in_place[folder.parent];
        if (!folder.temporary.empty()) {
            int parent = dst.open(folder.parent);
            in_place[i] = step(parent >= 0 && put_in_place(parent, folder.temporary, folder.name,
                                                           folder.made, true));
        }
        folders += folder.is_new && in_place[i];
    }
    for (const PlanFile &file : plan.files) {
        if (plan.dirs[file.dir].is_new) {
            files += in_place[file.dir];
            continue;
        }
        int dir = dst.open(file.dir);
        files += step(dir >= 0 && put_in_place(dir, file.temporary, file.name, file.made, false));
    }
    remove_added(dst, plan, removed, step);
    // The release's manifest and the kept release follow its tree.
    if (left == 0)
        step((plan.forget_manifest ? forget_manifest(records) : put_manifest_in_place(records)) &&
             settle_kept_release(records, plan.kept));
    if (left == 0 && !(flush(install) && remove_journal(records)))
        return {because("incomplete: " + counted(files, folders) +
                        " in place; the journal could not be closed"),
                false};
    if (left > 0) {
        errno = error;
        return {because("incomplete: " + counted(files, folders) + " in place; " +
                        std::to_string(left) + " left for recovery"),
                false};
    }
    return {done_line(plan, files, folders, removed), true};
}

bool removed(int done) { return done == 0 || errno == ENOENT; }

// Only what the plan names: temporaries, then its new folders deepest
// first. What is already gone counts as removed.
bool remove_temporaries(int install, const Plan &plan)
{
    DirCursor dst(install, plan.dirs, false);
    bool all = true;
    for (const PlanFile &file : plan.files) {
        int dir = dst.open(file.dir);
        all &= dir >= 0 ? removed(unlinkat(dir, file.temporary.c_str(), 0)) : errno == ENOENT;
    }
    for (size_t i = plan.dirs.size(); i-- > 1;) {
        const PlanDir &folder = plan.dirs[i];
        if (!folder.is_new)
            continue;
        int parent = dst.open(folder.parent);
        all &= parent >= 0 ? removed(unlinkat(parent, folder.on_disk(false).c_str(), AT_REMOVEDIR))
                           : errno == ENOENT;
    }
    return all;
}

Outcome roll_back(int install, int records, const Plan &plan, const std::string &why)
{
    drop_staged_manifest(records);
    drop_next_kept_release(records);
    if (remove_temporaries(install, plan) && flush(install) && remove_journal(records))
        return {"refused: " + why + "; nothing changed", true};
    return {because("refused: " + why + "; nothing changed, but temporaries are left for recovery"),
            false};
}

// Journal (intent), temporaries made by prepare, flush, journal (commit),
// renames: one way for an update and a rollback alike.
Outcome carry_out(int install, int records, Plan &plan,
                  const std::function<bool(std::string &)> &prepare)
{
    name_temporaries(plan);
    forget_result(records);
    bool replaced;
    if (!write_journal(records, plan, false, replaced)) {
        const std::string why = because("cannot write the journal");
        // Only the flush failed: the journal lists temporaries not yet made.
        if (!replaced || remove_journal(records) || errno == ENOENT)
            return {"refused: " + why + "; nothing changed", true};
        return {"refused: " + why + "; nothing changed", false};
    }
    std::string why;
    try {
        if (!prepare(why))
            return roll_back(install, records, plan, why);
    } catch (const std::bad_alloc &) {
        return roll_back(install, records, plan, "out of memory");
    }
    if (!flush(install))
        return roll_back(install, records, plan, because("flush failed"));
    if (!write_journal(records, plan, true, replaced)) {
        if (!replaced)
            return roll_back(install, records, plan, because("cannot commit the journal"));
        // Either version may be what storage holds: only recovery, which
        // reads it back, can tell whether to finish or undo.
        return {because("incomplete: the journal's commit could not be flushed; left for recovery"),
                false};
    }
    return finish(install, records, plan);
}

}  // namespace

Outcome install_plan(int staging, const char *staging_path, int install, int records, Plan &plan)
{
    return carry_out(install, records, plan, [&](std::string &why) {
        Preparer preparer(staging, staging_path, install, plan);
        if (!preparer.create_folders(why) || !preparer.write_files(why))
            return false;
        // A release that cannot be linked by nature (another file system
        // below the install root) is not kept, and none older may stay;
        // any other failure, or a board that counts on it, refuses.
        std::string not_kept;
        if (keep_replaced_release(install, records, plan, not_kept))
            return true;
        if (plan.must_keep || (errno != EXDEV && errno != EPERM && errno != EMLINK)) {
            why = "cannot keep the previous release: " + not_kept;
            return false;
        }
        plan.kept = KeptRelease::drop;
        plan.note += "; the previous release is not kept: " + not_kept;
        return true;
    });
}

Outcome restore_kept_release(int install, int records, Plan &plan)
{
    plan.kept = KeptRelease::restored;
    return carry_out(install, records, plan,
                     [&](std::string &why) { return link_kept_files(install, records, plan, why); });
}

Outcome recover_interrupted_update(int install, int records)
{
    Plan plan;
    bool committed = false;
    switch (read_journal(records, plan, committed)) {
    case JournalState::none:
        remove_leftovers(records);
        drop_staged_manifest(records);
        drop_next_kept_release(records);
        return {};
    case JournalState::unreadable:
        return {because("refused: cannot read the journal of an interrupted update"), false};
    case JournalState::damaged:
        if (!set_journal_aside(records))
            return {because("refused: damaged journal of an interrupted update"), false};
        return {"refused: damaged journal of an interrupted update set aside as "
                ".updater/journal-damaged; the install root may be partly updated",
                false};
    case JournalState::read: break;
    }
    remove_leftovers(records);
    if (!committed)
        return roll_back(install, records, plan, "interrupted before its commit");
    Outcome finished = finish(install, records, plan);
    if (finished.consistent)
        finished.line += plan.kept == KeptRelease::restored ? " (interrupted rollback completed)"
                                                            : " (interrupted update completed)";
    return finished;
}
