#include "kept.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "journal.h"
#include "manifest.h"
#include "records.h"

namespace {

// What the kept folder holds besides the kept entries ("k<n>").
const char *const kList = "list";
const char *const kKeptManifest = "manifest";
const char *const kBoots = "boots";

// The list, sealed as the journal is:
//   updater kept 1
//   d <parent> <added 0|1> <name> <inode made>
//   f <folder> <kept name, or - for an added file> <name> <inode made>
const char *const kListHeader = "updater kept 1";
constexpr size_t kMostListBytes = size_t{64} << 20;

std::string because(const std::string &what) { return what + " (" + strerror(errno) + ")"; }

std::string kept_name(size_t index)
{
    char name[24];
    snprintf(name, sizeof name, "k%zu", index);
    return name;
}

bool is_kept_name(const std::string &name)
{
    return name.size() > 1 && name[0] == 'k' &&
           name.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string dir_line(const PlanDir &dir)
{
    return "d " + std::to_string(dir.parent) + (dir.is_new ? " 1 " : " 0 ") + escape(dir.name) + " " +
           std::to_string(dir.made) + "\n";
}

std::string file_line(const PlanFile &file, const std::string &kept)
{
    return "f " + std::to_string(file.dir) + " " + kept + " " + escape(file.name) + " " +
           std::to_string(file.made) + "\n";
}

// An installed entry the file replaces gets a hard link (never followed:
// a link is kept as a link); none there means the file is added.
bool keep_entry(DirCursor &installed, int next, const PlanFile &file, size_t index, std::string &line)
{
    line = file_line(file, "-");
    const int dir = installed.open(file.dir);
    if (dir < 0)
        return false;
    const std::string name = kept_name(index);
    if (linkat(dir, file.name.c_str(), next, name.c_str(), 0) == 0)
        line = file_line(file, name);
    else if (errno != ENOENT)
        return false;
    return true;
}

bool build_next(int install, int records, const Plan &plan, std::string &why)
{
    if (mkdirat(records, kKeptNext, 0700) != 0) {
        why = because("cannot create .updater/previous-new");
        return false;
    }
    Fd next = open_record_folder(records, kKeptNext);
    if (!next.valid()) {
        why = because("cannot open .updater/previous-new");
        return false;
    }
    std::string list = std::string(kListHeader) + "\n", line;
    for (size_t i = 1; i < plan.dirs.size(); ++i)
        list += dir_line(plan.dirs[i]);
    DirCursor installed(install, plan.dirs, false);
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const PlanFile &file = plan.files[i];
        if (plan.dirs[file.dir].is_new) {
            list += file_line(file, "-");
            continue;
        }
        if (!keep_entry(installed, next.get(), file, i, line)) {
            why = because("cannot keep " + file.name);
            return false;
        }
        list += line;
    }
    std::string manifest;
    if (read_record(records, kManifest, manifest, kMostManifestBytes)) {
        if (!replace_record(next.get(), kKeptManifest, manifest)) {
            why = because("cannot keep the manifest");
            return false;
        }
    } else if (errno != ENOENT) {
        why = because("cannot read the kept manifest");
        return false;
    }
    if (!replace_record(next.get(), kList, seal_journal(list))) {
        why = because("cannot write its list");
        return false;
    }
    return true;
}

}  // namespace

bool keep_replaced_release(int install, int records, const Plan &plan, std::string &why)
{
    drop_next_kept_release(records);
    if (build_next(install, records, plan, why))
        return true;
    const int error = errno;
    drop_next_kept_release(records);
    errno = error;
    return false;
}

bool settle_kept_release(int records, KeptRelease kept)
{
    if (kept != KeptRelease::replace)
        return remove_record_folder(records, kKeptNext) && remove_record_folder(records, kKept);
    struct stat st;
    if (fstatat(records, kKeptNext, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;  // put in place before a cut
    return remove_record_folder(records, kKept) &&
           renameat(records, kKeptNext, records, kKept) == 0 && fsync(records) == 0;
}

void drop_next_kept_release(int records) { remove_record_folder(records, kKeptNext); }

bool release_kept(int records) { return remove_record_folder(records, kKept); }

bool has_kept_release(int records)
{
    struct stat st;
    return fstatat(records, kKept, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

uint64_t kept_release_bytes(int records)
{
    Fd folder = open_record_folder(records, kKept);
    DIR *listing = folder.valid() ? fdopendir(folder.get()) : nullptr;
    if (!listing)
        return 0;
    folder.release();
    uint64_t bytes = 0;
    while (const dirent *entry = readdir(listing)) {
        struct stat st;
        if (fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode) && st.st_nlink == 1)
            bytes += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    closedir(listing);
    return bytes;
}

namespace {

bool parse_kept_dir(std::istringstream &words, Plan &plan)
{
    PlanDir dir;
    int added = -1;
    std::string name;
    if (!(words >> dir.parent >> added >> name >> dir.made) || dir.parent >= plan.dirs.size() ||
        (added != 0 && added != 1) || !unescape_component(name, dir.name) ||
        (added == 1 && dir.made == 0))
        return false;
    // Every folder exists now; one the update added goes when empty.
    dir.remove = added == 1;
    if (!dir.remove)
        dir.made = 0;
    plan.dirs.push_back(dir);
    return true;
}

bool parse_kept_file(std::istringstream &words, Plan &plan)
{
    PlanFile file;
    std::string kept, name;
    if (!(words >> file.dir >> kept >> name >> file.made) || file.dir >= plan.dirs.size() ||
        !unescape_component(name, file.name))
        return false;
    if (kept == "-") {
        if (file.made == 0)
            return false;
        plan.removals.push_back(file);
        return true;
    }
    if (!is_kept_name(kept) || plan.dirs[file.dir].remove)
        return false;
    file.source = kept;
    file.is_new = false;
    file.made = 0;
    plan.files.push_back(file);
    return true;
}

bool parse_list(const std::string &text, Plan &plan)
{
    std::string body, line;
    if (!unseal(text, body))
        return false;
    std::istringstream lines(body);
    if (!std::getline(lines, line) || line != kListHeader)
        return false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind, rest;
        words >> kind;
        const bool parsed = kind == "d"   ? parse_kept_dir(words, plan)
                            : kind == "f" ? parse_kept_file(words, plan)
                                          : false;
        if (!parsed || (words >> rest))
            return false;
    }
    return true;
}

}  // namespace

bool plan_rollback(int records, Plan &plan, std::string &manifest, bool &has_manifest,
                   std::string &why)
{
    Fd folder = open_record_folder(records, kKept);
    if (!folder.valid()) {
        why = errno == ENOENT ? "no previous release is kept"
                              : because("cannot open .updater/previous");
        return false;
    }
    std::string text;
    if (!read_record(folder.get(), kList, text, kMostListBytes)) {
        why = because("cannot read the list of the kept release");
        return false;
    }
    plan = Plan();
    if (!parse_list(text, plan)) {
        why = "the list of the kept release is damaged";
        return false;
    }
    has_manifest = read_record(folder.get(), kKeptManifest, manifest, kMostManifestBytes);
    if (!has_manifest && errno != ENOENT) {
        why = because("cannot read the kept release's manifest");
        return false;
    }
    return true;
}

bool link_kept_files(int install, int records, Plan &plan, std::string &why)
{
    Fd kept = open_record_folder(records, kKept);
    DirCursor installed(install, plan.dirs, true);
    for (PlanFile &file : plan.files) {
        const int dir = installed.open(file.dir);
        struct stat st;
        if (!kept.valid() || dir < 0 ||
            fstatat(kept.get(), file.source.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            linkat(kept.get(), file.source.c_str(), dir, file.temporary.c_str(), 0) != 0) {
            why = because("cannot restore " + file.name);
            return false;
        }
        file.made = st.st_ino;
    }
    return true;
}

bool count_boot(int records, unsigned &boots)
{
    Fd folder = open_record_folder(records, kKept);
    if (!folder.valid())
        return false;
    std::string text;
    boots = 0;
    if (read_record(folder.get(), kBoots, text, 32))
        boots = static_cast<unsigned>(strtoul(text.c_str(), nullptr, 10));
    else if (errno != ENOENT)
        return false;
    ++boots;
    return replace_record(folder.get(), kBoots, std::to_string(boots) + "\n");
}
