#include "records.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <dirent.h>

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
const char *const kManifest = "manifest";
const char *const kManifestNext = "manifest-new";
const char *const kKept = "previous";
const char *const kKeptNext = "previous-new";

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

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_each(int fd, const std::function<void(const char *, size_t)> &take)
{
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        take(buffer, static_cast<size_t>(n));
    }
}

bool read_all(int fd, std::string &text)
{
    return read_each(fd, [&](const char *data, size_t size) { text.append(data, size); });
}

bool read_record(int records, const char *name, std::string &text, size_t most)
{
    Fd fd(openat(records, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > most) {
        errno = S_ISREG(st.st_mode) ? EFBIG : EISDIR;
        return false;
    }
    text.clear();
    return read_all(fd.get(), text);
}

bool stage_manifest(int records, const std::string &text)
{
    if (unlinkat(records, kManifestNext, 0) != 0 && errno != ENOENT)
        return false;
    Fd fd(openat(records, kManifestNext, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return false;
    if (!write_all(fd.get(), text) || fsync(fd.get()) != 0 || close(fd.release()) != 0 ||
        fsync(records) != 0) {
        unlinkat(records, kManifestNext, 0);
        return false;
    }
    return true;
}

bool put_manifest_in_place(int records)
{
    if (renameat(records, kManifestNext, records, kManifest) != 0 && errno != ENOENT)
        return false;
    return fsync(records) == 0;
}

void drop_staged_manifest(int records) { unlinkat(records, kManifestNext, 0); }

bool forget_manifest(int records)
{
    if (unlinkat(records, kManifest, 0) != 0)
        return errno == ENOENT;
    return fsync(records) == 0;
}

Fd open_record_folder(int records, const char *name)
{
    return Fd(openat(records, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool remove_record_folder(int records, const char *name)
{
    Fd folder = open_record_folder(records, name);
    if (!folder.valid())
        return errno == ENOENT;
    DIR *listing = fdopendir(folder.get());
    if (!listing)
        return false;
    folder.release();
    while (const dirent *entry = readdir(listing))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            unlinkat(dirfd(listing), entry->d_name, 0);
    closedir(listing);
    if (unlinkat(records, name, AT_REMOVEDIR) != 0 && errno != ENOENT)
        return false;
    return fsync(records) == 0;
}

bool replace_record(int folder, const char *name, const std::string &text, bool *renamed)
{
    if (renamed)
        *renamed = false;
    const std::string next = std::string(name) + "-new";
    unlinkat(folder, next.c_str(), 0);
    Fd fd(openat(folder, next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return false;
    bool written = write_all(fd.get(), text) && fsync(fd.get()) == 0;
    written = close(fd.release()) == 0 && written;
    if (!written || renameat(folder, next.c_str(), folder, name) != 0) {
        const int error = errno;
        unlinkat(folder, next.c_str(), 0);
        errno = error;
        return false;
    }
    if (renamed)
        *renamed = true;
    return fsync(folder) == 0;
}
