#include "update.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "daemon.h"
#include "fd.h"
#include "install.h"
#include "journal.h"
#include "kept.h"
#include "records.h"
#include "release.h"
#include "result.h"
#include "rollback.h"
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
// all of them must fit at once; releasing the kept release would free
// more.
bool fits(int install, const Plan &plan, uint64_t more, std::string &why)
{
    struct statvfs fs;
    if (fstatvfs(install, &fs) != 0)
        return true;  // nothing known: the writes will tell
    const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize + more;
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

// The kept release gives way to an update that would not fit beside it.
bool make_room(int install, int records, Plan &plan, std::string &why)
{
    if (fits(install, plan, 0, why))
        return true;
    std::string even_so;
    if (!has_kept_release(records) || !fits(install, plan, kept_release_bytes(records), even_so))
        return false;
    if (!release_kept(records)) {
        why = std::string("cannot release the previous release for space (") + strerror(errno) + ")";
        return false;
    }
    plan.note = "; the previous release was released for space";
    return true;
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
        (plan.check && !(why = plan.check->first_missing()).empty()))
        return {"refused: " + why + "; nothing changed", true};
    if (!plan.changes()) {
        keep_manifest_of_unchanged_tree(records, release);
        return {"nothing to do", true};
    }
    if (!make_room(install, records, plan, why))
        return {"refused: " + why + "; nothing changed", true};
    plan.forget_manifest = !release.signed_release;
    std::string unused;
    plan.must_keep = confirm_boots(unused) > 0;
    if (!prepare_kept_manifest(records, release, why))
        return {"refused: " + why + "; nothing changed", true};
    const bool released = !plan.note.empty();
    Outcome outcome = install_plan(source.get(), staging.c_str(), install, records, plan);
    if (released && outcome.line.compare(0, 8, "refused:") == 0)
        outcome.line += "; the previous release was released for space";
    return outcome;
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

bool kept_release_in(int install)
{
    std::string why;
    Fd records = open_existing_records(install, why);
    return records.valid() ? has_kept_release(records.get()) : errno != ENOENT;
}

using Work = std::function<Outcome(int install, int records)>;

Outcome locked(int install, const Work &work)
{
    std::string why;
    Fd records = open_existing_records(install, why);
    if (!records.valid())
        return {"refused: " + why, false};
    if (!lock_records(records.get()))
        return {std::string("refused: cannot lock the records folder (") + strerror(errno) + ")",
                false};
    return work(install, records.get());
}

// Runs work with the records folder locked, on an install root remounted
// writable for it when it is mounted read-only (and back afterwards).
Outcome on_writable_install(const Work &work)
{
    Fd install = open_install_root(DST_ROOT);
    const bool remount = install.valid() && read_only(install.get());
    if (remount) {
        run("mount -o rw,remount /opt/quarnel");
        install = open_install_root(DST_ROOT);
    }
    Outcome outcome;
    try {
        outcome = install.valid()
                      ? locked(install.get(), work)
                      : Outcome{std::string("cannot open ") + DST_ROOT + " (" + strerror(errno) + ")",
                                false};
    } catch (const std::bad_alloc &) {
        outcome = {"out of memory", false};
    }
    install.reset();
    if (remount)
        run("mount -o ro,remount /opt/quarnel");
    return outcome;
}

Outcome recorded(int records, Outcome outcome)
{
    if (!outcome.line.empty())
        write_result(records, outcome.line);
    return outcome;
}

}  // namespace

int recover_at_boot()
{
    std::string why;
    const int boots = confirm_boots(why);
    if (boots < 0)
        fprintf(stderr, "updater: %s; boots are not counted\n", why.c_str());
    {
        Fd install = open_install_root(DST_ROOT);
        if (!install.valid() && errno == ENOENT)
            return 0;
        if (install.valid() && !needs_recovery_in(install.get()) &&
            !(boots > 0 && kept_release_in(install.get())))
            return 0;
    }
    bool recovered = true;
    Outcome outcome = on_writable_install([&](int install, int records) {
        Outcome recovery = recorded(records, recover_interrupted_update(install, records));
        recovered = recovery.consistent;
        if (!recovered)
            return recovery;
        Outcome counted = recorded(records, count_boot_or_take_back(install, records, boots));
        return counted.line.empty() ? recovery : counted;
    });
    if (!outcome.consistent)
        fprintf(stderr, "updater: %s in %s could not be finished: %s\n",
                recovered ? "taking back the unconfirmed release" : "the interrupted update",
                DST_ROOT, outcome.line.c_str());
    return outcome.consistent ? 0 : 1;
}

int rollback_release()
{
    Outcome outcome = on_writable_install([](int install, int records) {
        Outcome recovery = recorded(records, recover_interrupted_update(install, records));
        if (!recovery.consistent)
            return Outcome{recovery.line + "; nothing was taken back", false};
        return recorded(records, take_back_release(install, records, ""));
    });
    printf("%s\n", outcome.line.c_str());
    return outcome.consistent && outcome.line.compare(0, 12, "rolled back:") == 0 ? 0 : 1;
}

int confirm_release()
{
    {
        Fd install = open_install_root(DST_ROOT);
        if (!install.valid() && errno == ENOENT)
            return 0;
        if (install.valid() && !kept_release_in(install.get()))
            return 0;
    }
    Outcome outcome = on_writable_install([](int, int records) {
        if (needs_recovery(records))
            return Outcome{"an interrupted update waits for updater --recover", false};
        if (!release_kept(records))
            return Outcome{
                std::string("cannot release the previous release (") + strerror(errno) + ")", false};
        return Outcome{};
    });
    if (!outcome.consistent)
        fprintf(stderr, "updater: %s\n", outcome.line.c_str());
    return outcome.consistent ? 0 : 1;
}
