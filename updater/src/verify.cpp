#include "verify.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "journal.h"
#include "manifest.h"
#include "records.h"
#include "signature.h"
#include "update.h"

namespace {

class Verifier {
public:
    Verifier(int install, const Manifest &manifest) : install_(install), manifest_(manifest) {}
    void check(const std::string &path, const ManifestEntry &entry);
    bool differs = false;

private:
    void report(const char *what, const std::string &path);
    int parent_of(const std::string &path, std::string &name);
    const ManifestEntry *file_a_link_leads_to(const std::string &path, const ManifestEntry &link);
    void check_file(int dir, const std::string &name, const std::string &path,
                    const ManifestEntry &entry, bool check_mode);
    int install_;
    const Manifest &manifest_;
    Fd dir_;
    std::string dir_path_ = "\n";  // the folder dir_ holds; none yet
};

void Verifier::report(const char *what, const std::string &path)
{
    printf("%s %s\n", what, escape(path).c_str());
    differs = true;
}

// The folder of path, reached one name at a time without following a link;
// consecutive entries of one folder reuse it. -1 when it cannot be reached.
int Verifier::parent_of(const std::string &path, std::string &name)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (folder == dir_path_)
        return dir_.get();
    dir_path_ = folder;
    dir_.reset(dup(install_));
    for (size_t start = 0; !folder.empty() && dir_.valid();) {
        const size_t end = folder.find('/', start);
        const std::string part = folder.substr(start, end - start);
        dir_.reset(openat(dir_.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return dir_.get();
}

// The updater installs a staged link that leads to a file of the release as
// a copy of that file.
const ManifestEntry *Verifier::file_a_link_leads_to(const std::string &path,
                                                    const ManifestEntry &link)
{
    std::string at = path;
    const ManifestEntry *entry = &link;
    for (int hop = 0; hop < 40 && entry->type == 'l'; ++hop) {
        std::string target = entry->target;
        const std::string root = std::string(SRC_ROOT) + "/";
        std::string joined;
        if (target.compare(0, root.size(), root) == 0)
            joined = target.substr(root.size());
        else if (target[0] == '/')
            return nullptr;
        else
            joined =
                (at.rfind('/') == std::string::npos ? "" : at.substr(0, at.rfind('/') + 1)) + target;
        std::string normal;
        for (size_t start = 0; start <= joined.size();) {
            size_t end = joined.find('/', start);
            if (end == std::string::npos)
                end = joined.size();
            const std::string part = joined.substr(start, end - start);
            if (part == "..") {
                if (normal.empty())
                    return nullptr;
                const size_t slash = normal.rfind('/');
                normal.resize(slash == std::string::npos ? 0 : slash);
            } else if (!part.empty() && part != ".") {
                normal += (normal.empty() ? "" : "/") + part;
            }
            start = end + 1;
        }
        auto it = manifest_.entries.find(normal);
        if (it == manifest_.entries.end())
            return nullptr;
        at = normal;
        entry = &it->second;
    }
    return entry->type == 'f' ? entry : nullptr;
}

void Verifier::check_file(int dir, const std::string &name, const std::string &path,
                          const ManifestEntry &entry, bool check_mode)
{
    Fd in(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return report("changed", path);
    // The updater never installs set-user/group-ID or sticky bits.
    if (check_mode && (st.st_mode & 07777) != (entry.mode & 0777))
        report("mode", path);
    std::string digest;
    unsigned long long size = 0;
    if (static_cast<uint64_t>(st.st_size) != entry.size || !hash_file(in.get(), digest, size) ||
        size != entry.size || digest != entry.sha256)
        report("changed", path);
}

void Verifier::check(const std::string &path, const ManifestEntry &entry)
{
    std::string name;
    const int dir = parent_of(path, name);
    struct stat st;
    if (dir < 0 || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // The updater installs no link that leads nowhere in the release.
        if (entry.type != 'l' || file_a_link_leads_to(path, entry))
            report("missing", path);
        return;
    }
    if (entry.type == 'd') {
        if (!S_ISDIR(st.st_mode))
            return report("changed", path);
        if ((st.st_mode & 07777) != entry.mode)
            report("mode", path);
        return;
    }
    if (entry.type == 'l') {
        if (S_ISLNK(st.st_mode)) {
            char text[PATH_MAX];
            const ssize_t n = readlinkat(dir, name.c_str(), text, sizeof text);
            if (n < 0 || std::string(text, static_cast<size_t>(n)) != entry.target)
                report("changed", path);
            return;
        }
        // Links the updater left alone were not installed: nothing to check.
        if (const ManifestEntry *file = file_a_link_leads_to(path, entry))
            check_file(dir, name, path, *file, false);
        return;
    }
    // An installed link to a file of the same folder keeps pointing there:
    // the update replaced the file it names.
    if (S_ISLNK(st.st_mode)) {
        char text[NAME_MAX + 1];
        const ssize_t n = readlinkat(dir, name.c_str(), text, sizeof text);
        if (n > 0 && n <= NAME_MAX && !memchr(text, '/', static_cast<size_t>(n)))
            return check_file(dir, std::string(text, static_cast<size_t>(n)), path, entry, true);
    }
    check_file(dir, name, path, entry, true);
}

int fail(const std::string &why)
{
    fprintf(stderr, "updater: %s\n", why.c_str());
    return 2;
}

}  // namespace

int verify_installed_tree()
{
    Fd install(open(DST_ROOT, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!install.valid())
        return fail(std::string("cannot open ") + DST_ROOT + " (" + strerror(errno) + ")");
    std::string why, text;
    Fd records = open_existing_records(install.get(), why);
    if (!records.valid())
        return fail(errno == ENOENT ? "no installed release's manifest is kept" : why);
    // Shared: an update in progress finishes first, other checks run alongside.
    while (flock(records.get(), LOCK_SH) != 0)
        if (errno != EINTR)
            return fail(std::string("cannot lock the records folder (") + strerror(errno) + ")");
    if (!read_record(records.get(), kManifest, text, kMostManifestBytes))
        return fail(errno == ENOENT
                        ? "no installed release's manifest is kept"
                        : std::string("cannot read the kept manifest (") + strerror(errno) + ")");
    Manifest manifest;
    if (!parse_manifest(text, manifest, why))
        return fail("the kept manifest is damaged: " + why);
    Verifier verifier(install.get(), manifest);
    for (const auto &[path, entry] : manifest.entries)
        verifier.check(path, entry);
    if (fflush(stdout) != 0)
        return fail("cannot write the result");
    return verifier.differs ? 1 : 0;
}
