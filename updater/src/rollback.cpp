#include "rollback.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>

#include "fd.h"
#include "kept.h"
#include "manifest.h"
#include "records.h"

const char *const kConfirmBootsFile = "/etc/updater/confirm-boots";

namespace {

constexpr int kMostBoots = 999;

// What the result line names: the installed release by its version when a
// manifest gives one.
std::string installed_release(int records)
{
    std::string text, why;
    Manifest manifest;
    if (!read_record(records, kManifest, text, kMostManifestBytes) ||
        !parse_manifest(text, manifest, why) || manifest.version.empty())
        return "the last update";
    std::string name = "release";
    for (size_t i = 0; i < manifest.version.size(); ++i) {
        name += i == 0 ? ' ' : '.';
        name += std::to_string(manifest.version[i]);
    }
    return name;
}

}  // namespace

int confirm_boots(std::string &why)
{
    Fd fd(open(kConfirmBootsFile, O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd.valid() && errno == ENOENT)
        return 0;
    if (!fd.valid() || !read_all(fd.get(), text)) {
        why = std::string("cannot read ") + kConfirmBootsFile + " (" + strerror(errno) + ")";
        return -1;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    char *end = nullptr;
    const long boots = text.empty() ? 0 : strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || boots < 1 || boots > kMostBoots) {
        why = std::string(kConfirmBootsFile) + " must hold a number from 1 to 999";
        return -1;
    }
    return static_cast<int>(boots);
}

Outcome take_back_release(int install, int records, const std::string &note)
{
    Plan plan;
    std::string manifest, why;
    bool has_manifest = false;
    if (!plan_rollback(records, plan, manifest, has_manifest, why))
        return {"refused: " + why + "; nothing changed", true};
    // Journalled: a recovery that finishes the rollback says it too.
    plan.taken_back = installed_release(records) + " taken back" + note;
    // The manifest of the release brought back is put in place with it.
    drop_staged_manifest(records);
    plan.forget_manifest = !has_manifest;
    if (has_manifest && !stage_manifest(records, manifest))
        return {std::string("refused: cannot record the release's manifest (") + strerror(errno) +
                    "); nothing changed",
                true};
    return restore_kept_release(install, records, plan);
}

Outcome count_boot_or_take_back(int install, int records, int boots_allowed)
{
    if (boots_allowed <= 0 || !has_kept_release(records))
        return {};
    unsigned boots = 0;
    if (!count_boot(records, boots))
        return {std::string("cannot count this boot of the unconfirmed release (") + strerror(errno) +
                    ")",
                false};
    if (boots <= static_cast<unsigned>(boots_allowed))
        return {};
    const unsigned unconfirmed = boots - 1;
    std::string note = " after ";
    note += std::to_string(unconfirmed);
    note += unconfirmed == 1 ? " boot without confirmation" : " boots without confirmation";
    // A release the board counts on taking back that stays is a failure
    // of the boot, to be seen.
    Outcome outcome = take_back_release(install, records, note);
    if (outcome.line.compare(0, 8, "refused:") == 0)
        outcome.consistent = false;
    return outcome;
}
