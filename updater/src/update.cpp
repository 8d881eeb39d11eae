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
        bytes += 3 * dir.name.size() + 24;
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

std::string update_from(const std::string &staging, int install, int records)
{
    std::string why;
    Fd source = open_trusted_staging(staging.c_str(), why);
    if (!source.valid())
        return "refused: " + why;
    Plan plan;
    if (!plan_update(source.get(), install, staging.c_str(), block_size_of(install), plan, why))
        return "refused: " + why + "; nothing changed";
    if (!plan.changes())
        return "nothing to do";
    if (!fits(install, plan, why))
        return "refused: " + why + "; nothing changed";
    return install_plan(source.get(), staging.c_str(), install, records, plan);
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
        mkdir(path, 0777);
}

void listdir(const std::string &base, const std::string &rel)
{
    Fd install = open_install_root(DST_ROOT + rel);
    if (!install.valid())
        return;
    Fd records(open_records(install.get()));
    if (!records.valid())
        return;  // no journal, no update
    std::string result;
    try {
        recover_interrupted_update(install.get(), records.get());
        result = update_from(base + rel, install.get(), records.get());
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

bool has_journal(int install, bool or_data = false)
{
    Fd records(openat(install, kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    return records.valid() && (fstatat(records.get(), "journal", &st, AT_SYMLINK_NOFOLLOW) == 0 ||
                               (or_data && journal_data_exists(records.get())));
}

}  // namespace

int recover_at_boot()
{
    Fd install = open_install_root(DST_ROOT);
    if (!install.valid() || !has_journal(install.get(), true))
        return 0;
    const bool remount = read_only(install.get());
    if (remount) {
        run("mount -o rw,remount /opt/quarnel");
        install = open_install_root(DST_ROOT);
    }
    Fd records(
        openat(install.get(), kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string result =
        records.valid() ? recover_interrupted_update(install.get(), records.get()) : "";
    if (!result.empty())
        write_result(records.get(), result);
    const bool done = !has_journal(install.get());
    if (!done)
        fprintf(stderr, "updater: the interrupted update in %s could not be finished\n", DST_ROOT);
    records.reset();
    install.reset();
    if (remount)
        run("mount -o ro,remount /opt/quarnel");
    return done ? 0 : 1;
}
