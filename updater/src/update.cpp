#include "update.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "daemon.h"
#include "fd.h"
#include "install.h"
#include "journal.h"
#include "records.h"
#include "release.h"
#include "result.h"
#include "scan.h"
#include "staging.h"

const char *DST_ROOT = "/opt/quarnel";
const char *SRC_ROOT = "/tmp/build";

namespace {

// Bytes the journal takes, twice over while its next version is written.
uint64_t journal_bytes(const Plan &plan)
{
    uint64_t bytes = 64;
    for (const PlanDir &dir : plan.dirs)
        bytes += 3 * dir.name.size() + 48;
    for (const PlanFile &file : plan.files)
        bytes += 3 * file.name.size() + 64;
    return 2 * bytes;
}

// Every temporary exists beside the file it replaces until the renames, so
// all of them must fit at once.
bool fits(int install, const Plan &plan, std::string &why)
{
    struct statvfs fs;
    if (fstatvfs(install, &fs) != 0)
        return true;  // nothing known: the writes will tell
    const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    const uint64_t needed = plan.bytes_needed + journal_bytes(plan);
    if (needed > free) {
        why = "not enough space (" + std::to_string((needed + 1023) / 1024) + " KiB needed, " +
              std::to_string(free / 1024) + " KiB free)";
        return false;
    }
    if (fs.f_files > 0 && plan.inodes_needed + 4 > fs.f_favail) {
        why = "not enough free inodes (" + std::to_string(plan.inodes_needed + 4) + " needed)";
        return false;
    }
    return true;
}

unsigned long block_size_of(int install)
{
    struct statvfs fs;
    return fstatvfs(install, &fs) == 0 ? fs.f_frsize : 4096;
}

// A plan whose walk or space check fails changes nothing.
Outcome update_from(const std::string &staging, int install, int records)
{
    std::string why;
    Fd source = open_trusted_staging(staging.c_str(), why);
    if (!source.valid())
        return {"refused: " + why, true};
    Release release;
    if (!open_release(source.get(), records, release, why))
        return {"refused: " + why + "; nothing changed", true};
    Plan plan;
    plan.check = release.check.get();
    if (!plan_update(source.get(), install, staging.c_str(), block_size_of(install), plan, why) ||
        (plan.check && !(why = plan.check->first_missing()).empty()) || !fits(install, plan, why))
        return {"refused: " + why + "; nothing changed", true};
    if (!plan.changes()) {
        keep_manifest_of_unchanged_tree(records, release);
        return {"nothing to do", true};
    }
    if (!prepare_kept_manifest(records, release, why))
        return {"refused: " + why + "; nothing changed", true};
    return install_plan(source.get(), staging.c_str(), install, records, plan);
}

// An update never starts over an interrupted one it could not finish.
Outcome recover_then_update(const std::string &staging, int install, int records)
{
    if (!lock_records(records))
        return {std::string("refused: cannot lock the records folder (") + strerror(errno) +
                    "); nothing changed",
                true};
    Outcome recovered = recover_interrupted_update(install, records);
    if (!recovered.consistent)
        return {recovered.line + "; the staged tree was not installed", false};
    return update_from(staging, install, records);
}

Fd open_install_root(const std::string &path)
{
    return Fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

void createDir(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        mkdir(path, 0755);
}

void listdir(const std::string &base, const std::string &rel)
{
    Fd install = open_install_root(DST_ROOT + rel);
    if (!install.valid())
        return;
    std::string why;
    Fd records = open_records(install.get(), why);
    if (!records.valid())
        return;  // nowhere to keep a journal: no update, and no result line
    std::string result;
    try {
        result = recover_then_update(base + rel, install.get(), records.get()).line;
    } catch (const std::bad_alloc &) {
        result = "refused: out of memory";
    }
    write_result(records.get(), result);
}

namespace {

bool read_only(int fd)
{
    struct statvfs fs;
    return fstatvfs(fd, &fs) == 0 && (fs.f_flag & ST_RDONLY);
}

// Without a records folder there is nothing to recover; any other failure
// to look is for recovery to report.
bool needs_recovery_in(int install)
{
    std::string why;
    Fd records = open_existing_records(install, why);
    return records.valid() ? needs_recovery(records.get()) : errno != ENOENT;
}

Outcome recover(int install)
{
    std::string why;
    Fd records = open_existing_records(install, why);
    if (!records.valid())
        return {"refused: " + why, false};
    if (!lock_records(records.get()))
        return {std::string("refused: cannot lock the records folder (") + strerror(errno) + ")",
                false};
    Outcome outcome = recover_interrupted_update(install, records.get());
    if (!outcome.line.empty())
        write_result(records.get(), outcome.line);
    return outcome;
}

}  // namespace

int recover_at_boot()
{
    Fd install = open_install_root(DST_ROOT);
    if (!install.valid() && errno == ENOENT)
        return 0;
    if (install.valid() && !needs_recovery_in(install.get()))
        return 0;
    const bool remount = install.valid() && read_only(install.get());
    if (remount) {
        run("mount -o rw,remount /opt/quarnel");
        install = open_install_root(DST_ROOT);
    }
    Outcome outcome;
    try {
        outcome = install.valid()
                      ? recover(install.get())
                      : Outcome{std::string("cannot open ") + DST_ROOT + " (" + strerror(errno) + ")",
                                false};
    } catch (const std::bad_alloc &) {
        outcome = {"out of memory", false};
    }
    if (!outcome.consistent)
        fprintf(stderr, "updater: the interrupted update in %s could not be finished: %s\n", DST_ROOT,
                outcome.line.c_str());
    install.reset();
    if (remount)
        run("mount -o ro,remount /opt/quarnel");
    return outcome.consistent ? 0 : 1;
}
