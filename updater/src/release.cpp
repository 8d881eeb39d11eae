#include "release.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "records.h"
#include "signature.h"
#include "staging.h"
#include "trust.h"

namespace {

constexpr size_t kSignatureBytes = 64;

bool read_staged(int folder, const char *name, size_t most, std::string &text, std::string &why)
{
    struct stat st;
    Fd fd = open_regular_at(folder, name, &st);
    if (!fd.valid()) {
        why = std::string("cannot open the staged .updater/") + name + " (" + strerror(errno) + ")";
        return false;
    }
    const std::string untrusted = why_untrusted(st);
    if (!untrusted.empty()) {
        why = std::string("staged .updater/") + name + " " + untrusted;
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > most) {
        why = std::string("staged .updater/") + name + " is too large";
        return false;
    }
    text.resize(static_cast<size_t>(st.st_size));
    if (pread(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        why = std::string("cannot read the staged .updater/") + name;
        return false;
    }
    return true;
}

// A kept manifest that cannot be read sets no floor: a damaged record must
// not stop every later update.
bool below_installed(int records, const Manifest &staged)
{
    std::string text, why;
    Manifest kept;
    return read_record(records, kManifest, text, kMostManifestBytes) &&
           parse_manifest(text, kept, why) && compare_versions(staged.version, kept.version) < 0;
}

}  // namespace

bool open_release(int staging, int records, Release &release, std::string &why)
{
    switch (find_keys(why)) {
    case Keys::none: return true;
    case Keys::unreadable: return false;
    case Keys::present: break;
    }
    release.signed_release = true;
    Fd folder(openat(staging, kRecordsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        why = std::string("the staged tree carries no signed manifest (") + strerror(errno) + ")";
        return false;
    }
    std::string signature;
    if (!read_staged(folder.get(), kManifest, kMostManifestBytes, release.text, why) ||
        !read_staged(folder.get(), "manifest.sig", kSignatureBytes + 1, signature, why))
        return false;
    if (!signed_by_a_key(release.text, signature, why))
        return false;
    if (!parse_manifest(release.text, release.manifest, why))
        return false;
    if (below_installed(records, release.manifest)) {
        why = "the release is older than the installed one";
        return false;
    }
    release.check = std::make_unique<ManifestCheck>(release.manifest);
    return true;
}

bool prepare_kept_manifest(int records, const Release &release, std::string &why)
{
    drop_staged_manifest(records);
    const bool done = !release.signed_release || stage_manifest(records, release.text);
    if (!done)
        why = std::string("cannot record the release's manifest (") + strerror(errno) + ")";
    return done;
}

void keep_manifest_of_unchanged_tree(int records, const Release &release)
{
    std::string kept;
    if (!release.signed_release ||
        (read_record(records, kManifest, kept, kMostManifestBytes) && kept == release.text))
        return;
    if (stage_manifest(records, release.text))
        put_manifest_in_place(records);
    else
        drop_staged_manifest(records);
}
