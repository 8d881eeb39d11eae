#include "install.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "content.h"
#include "fd.h"
#include "journal.h"
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
    uint64_t data_at = 0;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        PlanFile &file = plan.files[i];
        if (file.in_place) {
            file.data_at = data_at;
            data_at += static_cast<uint64_t>(file.size);
            continue;
        }
        file.temporary = plan.dirs[file.dir].is_new ? file.name : prefix + std::to_string(i);
    }
}

class Preparer {
public:
    Preparer(int staging, const char *staging_path, int install, int data, Plan &plan)
        : staging_(staging), staging_path_(staging_path), data_(data), plan_(plan),
          src_(staging, plan.dirs, true), dst_(install, plan.dirs, false),
          links_(install, plan.dirs, false)
    {
    }

    bool create_folders(std::string &why);
    bool write_files(std::string &why);

private:
    bool write_file(const PlanFile &file);
    bool keep_content(const PlanFile &file);
    bool link_file(const PlanFile &file, int dir);
    Fd open_source(const PlanFile &file);

    int staging_;
    const char *staging_path_;
    int data_;
    Plan &plan_;
    DirCursor src_, dst_, links_;
};

bool Preparer::create_folders(std::string &why)
{
    for (size_t i = 1; i < plan_.dirs.size(); ++i) {
        const PlanDir &dir = plan_.dirs[i];
        if (!dir.is_new)
            continue;
        int parent = dst_.open(dir.parent);
        if (parent < 0 || mkdirat(parent, dir.on_disk(false).c_str(), 0777) != 0) {
            why = "cannot create folder " + dir.name + " (" + strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

bool Preparer::write_files(std::string &why)
{
    for (const PlanFile &file : plan_.files) {
        if (!write_file(file)) {
            why = "cannot write " + file.name + " (" + strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

// Members of one staged hard link share an inode where they share the
// attributes it carries.
bool Preparer::link_file(const PlanFile &file, int dir)
{
    const PlanFile &first = plan_.files[file.link_to];
    const bool same = first.is_new == file.is_new && first.mode == file.mode &&
                      (file.is_new || (first.uid == file.uid && first.gid == file.gid));
    if (!same)
        return false;
    int from = links_.open(first.dir);
    return from >= 0 && linkat(from, first.temporary.c_str(), dir, file.temporary.c_str(), 0) == 0;
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
bool Preparer::write_file(const PlanFile &file)
{
    if (file.in_place)
        return keep_content(file);
    int dir = dst_.open(file.dir);
    if (dir < 0)
        return false;
    if (file.link_to != SIZE_MAX && link_file(file, dir))
        return true;
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
    if (fchmod(out.get(), file.mode) != 0 || !copyFile(in.get(), out.get(), st.st_size, sparse))
        return false;
    return close(out.release()) == 0;
}

// A file rewritten in place after the commit is first kept whole in the
// data file. Its size was planned, so a staged file that changed since fails.
bool Preparer::keep_content(const PlanFile &file)
{
    Fd in = open_source(file);
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0)
        return false;
    if (st.st_size != file.size) {
        errno = EAGAIN;
        return false;
    }
    return copy_span(in.get(), 0, data_, static_cast<off_t>(file.data_at), file.size);
}

// Everything written so far reaches storage before the next step counts on it.
bool flush(int install) { return syncfs(install) == 0; }

bool rename_in_place(int dir, const std::string &from, const std::string &to)
{
    return renameat(dir, from.c_str(), dir, to.c_str()) == 0 ||
           errno == ENOENT;  // ENOENT: done before a cut
}

// The kept content over the installed file, then cut to length: redone whole
// after a cut, it never leaves a file half written.
bool rewrite_in_place(int dir, const PlanFile &file, int data)
{
    Fd out(openat(dir, file.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    return out.valid() && fstat(out.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           copy_span(data, static_cast<off_t>(file.data_at), out.get(), 0, file.size) &&
           ftruncate(out.get(), file.size) == 0 && close(out.release()) == 0;
}

struct Failures {
    size_t renames = 0;
    size_t rewrites = 0;
    size_t total() const { return renames + rewrites; }
};

// New folders as a whole, then each file replaced in an existing folder.
Failures put_in_place(int install, const Plan &plan, int data)
{
    DirCursor dst(install, plan.dirs, false);
    Failures failed;
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &folder = plan.dirs[i];
        if (folder.temporary.empty())
            continue;
        int parent = dst.open(folder.parent);
        failed.renames += parent < 0 || !rename_in_place(parent, folder.temporary, folder.name);
    }
    for (const PlanFile &file : plan.files) {
        if (plan.dirs[file.dir].is_new)
            continue;
        int dir = dst.open(file.dir);
        if (file.in_place) {
            failed.rewrites += dir < 0 || data < 0 || !rewrite_in_place(dir, file, data);
            continue;
        }
        if (dir >= 0 && rename_in_place(dir, file.temporary, file.name))
            continue;
        if (dir >= 0)
            unlinkat(dir, file.temporary.c_str(), 0);
        ++failed.renames;
    }
    return failed;
}

// Only what the plan names: temporaries, then its new folders deepest first.
void remove_temporaries(int install, const Plan &plan)
{
    DirCursor dst(install, plan.dirs, false);
    for (const PlanFile &file : plan.files) {
        int dir = file.in_place ? -1 : dst.open(file.dir);
        if (dir >= 0)
            unlinkat(dir, file.temporary.c_str(), 0);
    }
    for (size_t i = plan.dirs.size(); i-- > 1;) {
        const PlanDir &folder = plan.dirs[i];
        int parent = folder.is_new ? dst.open(folder.parent) : -1;
        if (parent >= 0)
            unlinkat(parent, folder.on_disk(false).c_str(), AT_REMOVEDIR);
    }
}

std::string counted(size_t files, size_t folders)
{
    return std::to_string(files) + (files == 1 ? " file, " : " files, ") + std::to_string(folders) +
           (folders == 1 ? " new folder" : " new folders");
}

bool has_rewrites(const Plan &plan)
{
    for (const PlanFile &file : plan.files)
        if (file.in_place)
            return true;
    return false;
}

// A file not rewritten may be half written: the journal and its data stay,
// and the next recovery (at boot, or before the next update) writes it again.
std::string commit_and_rename(int install, int records, const Plan &plan)
{
    Fd data(has_rewrites(plan) ? open_journal_data(records) : -1);
    const Failures failed = put_in_place(install, plan, data.get());
    flush(install);
    if (failed.rewrites == 0 && remove_journal(records))
        remove_journal_data(records);
    std::string result = "installed: " + counted(plan.files.size() - failed.total(), plan.new_dirs());
    if (failed.total() > 0)
        result += "; " + std::to_string(failed.total()) + " could not be put in place";
    return result;
}

std::string roll_back(int install, int records, const Plan &plan, const std::string &why)
{
    remove_temporaries(install, plan);
    flush(install);
    remove_journal(records);
    remove_journal_data(records);
    return "refused: " + why + "; nothing changed";
}

}  // namespace

std::string install_plan(int staging, const char *staging_path, int install, int records, Plan &plan)
{
    name_temporaries(plan);
    if (!write_journal(records, plan, false))
        return std::string("refused: cannot write the journal (") + strerror(errno) +
               "); nothing changed";
    const bool rewrites = has_rewrites(plan);
    Fd data(rewrites ? create_journal_data(records) : -1);
    if (rewrites && !data.valid())
        return roll_back(install, records, plan,
                         std::string("cannot write the journal (") + strerror(errno) + ")");
    std::string why;
    try {
        Preparer preparer(staging, staging_path, install, data.get(), plan);
        if (!preparer.create_folders(why) || !preparer.write_files(why))
            return roll_back(install, records, plan, why);
    } catch (const std::bad_alloc &) {
        return roll_back(install, records, plan, "out of memory");
    }
    if (!flush(install))
        return roll_back(install, records, plan,
                         std::string("flush failed (") + strerror(errno) + ")");
    if (!write_journal(records, plan, true))
        return roll_back(install, records, plan, "cannot commit the journal");
    return commit_and_rename(install, records, plan);
}

std::string recover_interrupted_update(int install, int records)
{
    Plan plan;
    bool committed = false, malformed = false;
    if (!read_journal(records, plan, committed, malformed)) {
        // Data outlives its journal only when a cut fell between their removals.
        if (journal_data_exists(records))
            remove_journal_data(records);
        return {};
    }
    if (malformed) {
        remove_journal(records);
        return "refused: unreadable journal of an interrupted update removed";
    }
    if (committed)
        return commit_and_rename(install, records, plan) + " (interrupted update completed)";
    return roll_back(install, records, plan, "interrupted before its commit");
}
