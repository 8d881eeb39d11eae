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
std::string runId() {
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
void nameTemporaries(Plan &plan) {
    const std::string prefix = ".updater-" + runId() + "-";
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        PlanDir &dir = plan.dirs[i];
        if (dir.isNew && !plan.dirs[dir.parent].isNew)
            dir.temporary = prefix + "d" + std::to_string(i);
    }
    for (size_t i = 0; i < plan.files.size(); ++i) {
        PlanFile &file = plan.files[i];
        file.temporary = plan.dirs[file.dir].isNew ? file.name : prefix + std::to_string(i);
    }
}

class Preparer {
public:
    Preparer(int staging, const char *stagingPath, int install, Plan &plan)
        : staging_(staging), stagingPath_(stagingPath), plan_(plan), src_(staging, plan.dirs, true),
          dst_(install, plan.dirs, false), links_(install, plan.dirs, false) {}

    bool createFolders(std::string &why);
    bool writeFiles(std::string &why);

private:
    bool writeFile(const PlanFile &file);
    bool linkFile(const PlanFile &file, int dir);
    Fd openSource(const PlanFile &file);

    int staging_;
    const char *stagingPath_;
    Plan &plan_;
    DirCursor src_, dst_, links_;
};

bool Preparer::createFolders(std::string &why) {
    for (size_t i = 1; i < plan_.dirs.size(); ++i) {
        const PlanDir &dir = plan_.dirs[i];
        if (!dir.isNew)
            continue;
        int parent = dst_.open(dir.parent);
        if (parent < 0 || mkdirat(parent, dir.onDisk(false).c_str(), 0777) != 0) {
            why = "cannot create folder " + dir.name + " (" + strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

bool Preparer::writeFiles(std::string &why) {
    for (const PlanFile &file : plan_.files) {
        if (!writeFile(file)) {
            why = "cannot write " + file.name + " (" + strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

// Members of one staged hard link share an inode where they share the
// attributes it carries.
bool Preparer::linkFile(const PlanFile &file, int dir) {
    const PlanFile &first = plan_.files[file.linkTo];
    const bool same = first.isNew == file.isNew && first.mode == file.mode &&
                      (file.isNew || (first.uid == file.uid && first.gid == file.gid));
    if (!same)
        return false;
    int from = links_.open(first.dir);
    return from >= 0 && linkat(from, first.temporary.c_str(), dir, file.temporary.c_str(), 0) == 0;
}

Fd Preparer::openSource(const PlanFile &file) {
    if (file.sourceIsPath)
        return openBelow(staging_, file.source, stagingPath_);
    int dir = src_.open(file.dir);
    return dir < 0 ? Fd() : openRegularAt(dir, file.source.c_str());
}

// Attributes first: the content is never readable under looser bits. A new
// file gets the staged permission bits, never set-user/group-ID.
bool Preparer::writeFile(const PlanFile &file) {
    int dir = dst_.open(file.dir);
    if (dir < 0)
        return false;
    if (file.linkTo != SIZE_MAX && linkFile(file, dir))
        return true;
    Fd in = openSource(file);
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0)
        return false;
    Fd out(openat(dir, file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600));
    if (!out.valid())
        return false;
    if (!file.isNew && fchown(out.get(), file.uid, file.gid) != 0 && geteuid() == 0)
        return false;
    const bool sparse = st.st_blocks * 512 < st.st_size;
    if (fchmod(out.get(), file.mode) != 0 || !copyFile(in.get(), out.get(), st.st_size, sparse))
        return false;
    return close(out.release()) == 0;
}

// Everything written so far reaches storage before the next step counts on it.
bool flush(int install) { return syncfs(install) == 0; }

bool renameInPlace(int dir, const std::string &from, const std::string &to) {
    return renameat(dir, from.c_str(), dir, to.c_str()) == 0 || errno == ENOENT;  // ENOENT: done before a cut
}

// New folders as a whole, then each file replaced in an existing folder.
size_t renameAll(int install, const Plan &plan) {
    DirCursor dst(install, plan.dirs, false);
    size_t failed = 0;
    for (size_t i = 1; i < plan.dirs.size(); ++i) {
        const PlanDir &folder = plan.dirs[i];
        if (folder.temporary.empty())
            continue;
        int parent = dst.open(folder.parent);
        failed += parent < 0 || !renameInPlace(parent, folder.temporary, folder.name);
    }
    for (const PlanFile &file : plan.files) {
        if (plan.dirs[file.dir].isNew)
            continue;
        int dir = dst.open(file.dir);
        if (dir >= 0 && renameInPlace(dir, file.temporary, file.name))
            continue;
        if (dir >= 0)
            unlinkat(dir, file.temporary.c_str(), 0);
        ++failed;
    }
    return failed;
}

// Only what the plan names: temporaries, then its new folders deepest first.
void removeTemporaries(int install, const Plan &plan) {
    DirCursor dst(install, plan.dirs, false);
    for (const PlanFile &file : plan.files) {
        int dir = dst.open(file.dir);
        if (dir >= 0)
            unlinkat(dir, file.temporary.c_str(), 0);
    }
    for (size_t i = plan.dirs.size(); i-- > 1;) {
        const PlanDir &folder = plan.dirs[i];
        int parent = folder.isNew ? dst.open(folder.parent) : -1;
        if (parent >= 0)
            unlinkat(parent, folder.onDisk(false).c_str(), AT_REMOVEDIR);
    }
}

std::string counted(size_t files, size_t folders) {
    return std::to_string(files) + (files == 1 ? " file, " : " files, ") +
           std::to_string(folders) + (folders == 1 ? " new folder" : " new folders");
}

std::string commitAndRename(int install, int records, const Plan &plan) {
    const size_t failed = renameAll(install, plan);
    flush(install);
    removeJournal(records);
    std::string result = "installed: " + counted(plan.files.size() - failed, plan.newDirs());
    if (failed > 0)
        result += "; " + std::to_string(failed) + " could not be put in place";
    return result;
}

std::string rollBack(int install, int records, const Plan &plan, const std::string &why) {
    removeTemporaries(install, plan);
    flush(install);
    removeJournal(records);
    return "refused: " + why + "; nothing changed";
}

} // namespace

std::string installPlan(int staging, const char *stagingPath, int install, int records,
                        Plan &plan) {
    nameTemporaries(plan);
    if (!writeJournal(records, plan, false))
        return std::string("refused: cannot write the journal (") + strerror(errno) +
               "); nothing changed";
    std::string why;
    try {
        Preparer preparer(staging, stagingPath, install, plan);
        if (!preparer.createFolders(why) || !preparer.writeFiles(why))
            return rollBack(install, records, plan, why);
    } catch (const std::bad_alloc &) {
        return rollBack(install, records, plan, "out of memory");
    }
    if (!flush(install))
        return rollBack(install, records, plan, std::string("flush failed (") + strerror(errno) + ")");
    if (!writeJournal(records, plan, true))
        return rollBack(install, records, plan, "cannot commit the journal");
    return commitAndRename(install, records, plan);
}

std::string recoverInterruptedUpdate(int install, int records) {
    Plan plan;
    bool committed = false, malformed = false;
    if (!readJournal(records, plan, committed, malformed))
        return {};
    if (malformed) {
        removeJournal(records);
        return "refused: unreadable journal of an interrupted update removed";
    }
    if (committed)
        return commitAndRename(install, records, plan) + " (interrupted update completed)";
    return rollBack(install, records, plan, "interrupted before its commit");
}
