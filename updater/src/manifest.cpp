#include "manifest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "fd.h"
#include "journal.h"
#include "records.h"
#include "signature.h"

namespace {

const char *const kHeader = "updater manifest 1";

std::string octal(mode_t mode)
{
    char text[8];
    snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string parent_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool valid_path(const std::string &path)
{
    if (path.empty() || path == kRecordsFolder ||
        path.compare(0, strlen(kRecordsFolder) + 1, std::string(kRecordsFolder) + "/") == 0)
        return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos)
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

bool parse_number(const std::string &word, uint64_t &value, int base)
{
    if (word.empty() || word.size() > 20)
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = strtoull(word.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || word[0] == '-' || word[0] == '+' || word[0] == ' ')
        return false;
    value = parsed;
    return true;
}

bool is_digest(const std::string &word)
{
    return word.size() == 64 && word.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool parse_entry(const std::string &line, std::string &path, ManifestEntry &entry)
{
    std::istringstream words(line);
    std::string type, mode, size, digest, target, escaped, extra;
    words >> type;
    uint64_t number = 0;
    if (type == "d" && words >> mode >> escaped) {
        entry.type = 'd';
    } else if (type == "f" && words >> mode >> size >> digest >> escaped) {
        entry.type = 'f';
        if (!parse_number(size, entry.size, 10) || !is_digest(digest))
            return false;
        entry.sha256 = digest;
    } else if (type == "l" && words >> target >> escaped) {
        entry.type = 'l';
        if (!unescape_name(target, entry.target) || entry.target.empty())
            return false;
    } else {
        return false;
    }
    if (!mode.empty()) {
        if (!parse_number(mode, number, 8) || number > 07777)
            return false;
        entry.mode = static_cast<mode_t>(number);
    }
    return !(words >> extra) && unescape_name(escaped, path) && valid_path(path);
}

// Walks a tree for --manifest: one line per entry, keyed by path.
class Lister {
public:
    explicit Lister(std::map<std::string, std::string> &lines) : lines_(lines) {}
    bool list(int dir, const std::string &rel);
    std::string why;

private:
    bool add(int dir, const char *name, const std::string &path);
    std::map<std::string, std::string> &lines_;
};

bool Lister::list(int dir, const std::string &rel)
{
    Fd copy(dup(dir));
    DIR *listing = copy.valid() ? fdopendir(copy.get()) : nullptr;
    if (!listing) {
        why = "cannot read " + (rel.empty() ? std::string(".") : rel) + " (" + strerror(errno) + ")";
        return false;
    }
    copy.release();
    std::vector<std::string> names;
    errno = 0;
    while (const dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && !(rel.empty() && name == kRecordsFolder))
            names.push_back(name);
    }
    const int error = errno;
    closedir(listing);
    if (error != 0) {
        why = "cannot read " + (rel.empty() ? std::string(".") : rel) + " (" + strerror(error) + ")";
        return false;
    }
    for (const std::string &name : names) {
        if (!add(dir, name.c_str(), rel.empty() ? name : rel + "/" + name))
            return false;
    }
    return true;
}

bool Lister::add(int dir, const char *name, const std::string &path)
{
    struct stat st;
    auto failed = [&](const char *what) {
        why = std::string("cannot ") + what + " " + path + " (" + strerror(errno) + ")";
        return false;
    };
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return failed("examine");
    const std::string escaped = escape(path);
    if (S_ISDIR(st.st_mode)) {
        Fd sub(openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!sub.valid())
            return failed("open");
        lines_[path] = "d " + octal(st.st_mode) + " " + escaped;
        return list(sub.get(), path);
    }
    if (S_ISLNK(st.st_mode)) {
        char text[PATH_MAX];
        const ssize_t n = readlinkat(dir, name, text, sizeof text);
        if (n < 0)
            return failed("read the link");
        lines_[path] = "l " + escape(std::string(text, static_cast<size_t>(n))) + " " + escaped;
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + " is neither a folder, a regular file nor a link";
        return false;
    }
    Fd in(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::string digest;
    unsigned long long size = 0;
    if (!in.valid() || !hash_file(in.get(), digest, size))
        return failed("read");
    lines_[path] =
        "f " + octal(st.st_mode) + " " + std::to_string(size) + " " + digest + " " + escaped;
    return true;
}

}  // namespace

bool parse_version(const std::string &text, std::vector<uint64_t> &version)
{
    version.clear();
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        const std::string part = text.substr(start, dot - start);
        uint64_t number = 0;
        if (part.find_first_not_of("0123456789") != std::string::npos ||
            !parse_number(part, number, 10))
            return false;
        version.push_back(number);
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

int compare_versions(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b)
{
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const uint64_t x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool parse_manifest(const std::string &text, Manifest &manifest, std::string &why)
{
    manifest = Manifest();
    if (text.empty() || text.back() != '\n') {
        why = "the manifest does not end with a line end";
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    size_t number = 0;
    auto bad = [&](const std::string &what) {
        why = "manifest line " + std::to_string(number) + ": " + what;
        return false;
    };
    ++number;
    if (!std::getline(lines, line) || line != kHeader)
        return bad("not an updater manifest of format 1");
    ++number;
    if (!std::getline(lines, line) || line.compare(0, 8, "version ") != 0 ||
        !parse_version(line.substr(8), manifest.version))
        return bad("no valid version");
    std::string last;
    while (std::getline(lines, line)) {
        ++number;
        std::string path;
        ManifestEntry entry;
        if (!parse_entry(line, path, entry))
            return bad("malformed entry");
        if (!manifest.entries.empty() && path <= last)
            return bad("not sorted by path");
        const std::string parent = parent_of(path);
        if (!parent.empty()) {
            auto it = manifest.entries.find(parent);
            if (it == manifest.entries.end() || it->second.type != 'd')
                return bad("not inside a listed folder");
        }
        manifest.entries.emplace_hint(manifest.entries.end(), path, std::move(entry));
        last = path;
    }
    return true;
}

int print_manifest(const char *tree, const char *version)
{
    std::vector<uint64_t> parsed;
    if (!parse_version(version, parsed)) {
        fprintf(stderr, "updater: %s is no version (numbers separated by dots)\n", version);
        return 2;
    }
    Fd root(open(tree, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) {
        fprintf(stderr, "updater: cannot open %s (%s)\n", tree, strerror(errno));
        return 2;
    }
    std::map<std::string, std::string> lines;
    Lister lister(lines);
    if (!lister.list(root.get(), "")) {
        fprintf(stderr, "updater: %s\n", lister.why.c_str());
        return 2;
    }
    std::string text = std::string(kHeader) + "\nversion " + version + "\n";
    for (const auto &entry : lines)
        text += entry.second + "\n";
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        fprintf(stderr, "updater: cannot write the manifest (%s)\n", strerror(errno));
        return 2;
    }
    return 0;
}

std::string content_differs(const std::string &path)
{
    return path + ": content differs from the signed manifest";
}

const ManifestEntry *ManifestCheck::find(const std::string &path, std::string &why)
{
    auto it = manifest_.entries.find(path);
    if (it == manifest_.entries.end()) {
        why = path + ": not in the signed manifest";
        return nullptr;
    }
    seen_.insert(path);
    return &it->second;
}

std::string ManifestCheck::expect(const std::string &path, char type, const ManifestEntry *&entry)
{
    std::string why;
    entry = find(path, why);
    if (entry && entry->type != type)
        why = path + ": type differs from the signed manifest";
    return why;
}

std::string ManifestCheck::folder(const std::string &path, const struct stat &st)
{
    const ManifestEntry *entry = nullptr;
    std::string why = expect(path, 'd', entry);
    if (why.empty() && entry->mode != (st.st_mode & 07777))
        why = path + ": mode differs from the signed manifest";
    return why;
}

std::string ManifestCheck::file(const std::string &path, const struct stat &st, std::string &sha256)
{
    const ManifestEntry *entry = nullptr;
    std::string why = expect(path, 'f', entry);
    if (!why.empty())
        return why;
    if (entry->mode != (st.st_mode & 07777))
        return path + ": mode differs from the signed manifest";
    if (entry->size != static_cast<uint64_t>(st.st_size))
        return path + ": size differs from the signed manifest";
    sha256 = entry->sha256;
    return {};
}

std::string ManifestCheck::link(const std::string &path, const std::string &target)
{
    const ManifestEntry *entry = nullptr;
    std::string why = expect(path, 'l', entry);
    if (why.empty() && entry->target != target)
        why = path + ": link differs from the signed manifest";
    return why;
}

std::string ManifestCheck::linked_file(const std::string &path, std::string &sha256) const
{
    auto it = manifest_.entries.find(path);
    if (it == manifest_.entries.end() || it->second.type != 'f')
        return path + ": not a file of the signed manifest";
    sha256 = it->second.sha256;
    return {};
}

std::string ManifestCheck::other(const std::string &path)
{
    std::string why;
    return find(path, why) ? path + ": type differs from the signed manifest" : why;
}

std::string ManifestCheck::first_missing() const
{
    for (const auto &[path, entry] : manifest_.entries) {
        if (seen_.count(path))
            continue;
        // Below a folder the walk did not enter nothing is installed.
        bool skipped = false;
        for (std::string up = parent_of(path); !up.empty() && !skipped; up = parent_of(up))
            skipped = not_entered_.count(up) > 0;
        if (!skipped)
            return path + ": missing from the staged tree (listed in the signed manifest)";
    }
    return {};
}
