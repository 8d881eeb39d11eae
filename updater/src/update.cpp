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
#include "result.h"
#include "scan.h"
#include "staging.h"

const char *DST_ROOT = "/opt/quarnel";
const char *SRC_ROOT = "/tmp/build";

namespace {

// Bytes the journal takes, twice over while its next version is written.
uint64_t journalBytes(const Plan &plan) {
    uint64_t bytes = 64;
    for (const PlanDir &dir : plan.dirs)
        bytes += 3 * dir.name.size() + 24;
    for (const PlanFile &file : plan.files)
        bytes += 3 * file.name.size() + 64;
    return 2 * bytes;
}

// Every temporary exists beside the file it replaces until the renames, so
// all of them must fit at once.
bool fits(int install, const Plan &plan, std::string &why) {
    struct statvfs fs;
    if (fstatvfs(install, &fs) != 0)
        return true;  // nothing known: the writes will tell
    const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    const uint64_t needed = plan.bytesNeeded + journalBytes(plan);
    if (needed > free) {
        why = "not enough space (" + std::to_string((needed + 1023) / 1024) + " KiB needed, " +
              std::to_string(free / 1024) + " KiB free)";
        return false;
    }
    if (fs.f_files > 0 && plan.inodesNeeded + 4 > fs.f_favail) {
        why = "not enough free inodes (" + std::to_string(plan.inodesNeeded + 4) + " needed)";
        return false;
    }
    return true;
}

unsigned long blockSizeOf(int install) {
    struct statvfs fs;
    return fstatvfs(install, &fs) == 0 ? fs.f_frsize : 4096;
}

std::string updateFrom(const std::string &staging, int install, int records) {
    std::string why;
    Fd source = openTrustedStaging(staging.c_str(), why);
    if (!source.valid())
        return "refused: " + why;
    Plan plan;
    if (!planUpdate(source.get(), install, staging.c_str(), blockSizeOf(install), plan, why))
        return "refused: " + why + "; nothing changed";
    if (!plan.changes())
        return "nothing to do";
    if (!fits(install, plan, why))
        return "refused: " + why + "; nothing changed";
    return installPlan(source.get(), staging.c_str(), install, records, plan);
}

Fd openInstallRoot(const std::string &path) {
    return Fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

} // namespace

void createDir(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        mkdir(path, 0777);
}

void listdir(const std::string &base, const std::string &rel) {
    Fd install = openInstallRoot(DST_ROOT + rel);
    if (!install.valid())
        return;
    Fd records(openRecords(install.get()));
    if (!records.valid())
        return;  // no journal, no update
    std::string result;
    try {
        recoverInterruptedUpdate(install.get(), records.get());
        result = updateFrom(base + rel, install.get(), records.get());
    } catch (const std::bad_alloc &) {
        result = "refused: out of memory";
    }
    writeResult(records.get(), result);
}

namespace {

bool readOnly(int fd) {
    struct statvfs fs;
    return fstatvfs(fd, &fs) == 0 && (fs.f_flag & ST_RDONLY);
}

bool hasJournal(int install) {
    Fd records(openat(install, kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    return records.valid() && fstatat(records.get(), "journal", &st, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

int recoverAtBoot() {
    Fd install = openInstallRoot(DST_ROOT);
    if (!install.valid() || !hasJournal(install.get()))
        return 0;
    const bool remount = readOnly(install.get());
    if (remount) {
        run("mount -o rw,remount /opt/quarnel");
        install = openInstallRoot(DST_ROOT);
    }
    Fd records(openat(install.get(), kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string result = records.valid() ? recoverInterruptedUpdate(install.get(), records.get()) : "";
    if (!result.empty())
        writeResult(records.get(), result);
    const bool done = !hasJournal(install.get());
    if (!done)
        fprintf(stderr, "updater: the interrupted update in %s could not be finished\n", DST_ROOT);
    records.reset();
    install.reset();
    if (remount)
        run("mount -o ro,remount /opt/quarnel");
    return done ? 0 : 1;
}
