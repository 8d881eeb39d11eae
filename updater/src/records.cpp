#include "records.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "trust.h"

const char *const kRecordsFolder = ".updater";
const char *const kJournal = "journal";
const char *const kJournalNext = "journal-new";
const char *const kJournalDamaged = "journal-damaged";
const char *const kResult = "result";
const char *const kResultNext = "result-new";

namespace {

// Earlier versions kept the content of small files here.
const char *const kOldData = "data";

// A folder another user can write to could hold a journal written to make
// recovery act on files it should not touch.
bool trusted(int fd, std::string &why)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        why = std::string("cannot examine the records folder (") + strerror(errno) + ")";
        return false;
    }
    why = why_untrusted(st);
    if (why.empty())
        return true;
    why = "records folder " + why;
    return false;
}

}  // namespace

Fd open_existing_records(int install, std::string &why)
{
    Fd fd(openat(install, kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        why = std::string("cannot open the records folder (") + strerror(errno) + ")";
        return fd;
    }
    if (!trusted(fd.get(), why)) {
        fd.reset();
        errno = EPERM;
    }
    return fd;
}

Fd open_records(int install, std::string &why)
{
    if (mkdirat(install, kRecordsFolder, 0700) != 0 && errno != EEXIST) {
        why = std::string("cannot create the records folder (") + strerror(errno) + ")";
        return Fd();
    }
    return open_existing_records(install, why);
}

bool lock_records(int records)
{
    while (flock(records, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

bool needs_recovery(int records)
{
    for (const char *name : {kJournal, kJournalNext, kResultNext, kOldData}) {
        struct stat st;
        if (fstatat(records, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
            return true;
    }
    return false;
}

void remove_leftovers(int records)
{
    for (const char *name : {kJournalNext, kResultNext, kOldData})
        unlinkat(records, name, 0);
}
