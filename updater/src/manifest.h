// A release's manifest: its version and every entry of its tree (type,
// permission bits, size and SHA-256, or a link's text), one line each,
// sorted bytewise by path:
//   updater manifest 1
//   version 2.10.1
//   d 755 bin
//   f 755 18204 <sha256 hex> bin/app
//   l app bin/app-current
// Paths are relative, '/'-separated and escaped as the journal escapes
// names. The staging root's `.updater/` folder is never listed.
#ifndef QN_UPDATER_MANIFEST_H
#define QN_UPDATER_MANIFEST_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

// Far more than the manifest of any board's tree.
constexpr size_t kMostManifestBytes = size_t{64} << 20;

struct ManifestEntry {
    char type = 0;  // 'd', 'f' or 'l'
    mode_t mode = 0;
    uint64_t size = 0;
    std::string sha256;  // lowercase hex
    std::string target;  // a link's own text
};

struct Manifest {
    std::vector<uint64_t> version;
    std::map<std::string, ManifestEntry> entries;
};

// "2.10.1" into {2, 10, 1}; false unless numbers separated by single dots.
bool parse_version(const std::string &text, std::vector<uint64_t> &version);

// Numeric, component by component; missing components count as 0.
int compare_versions(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b);

// Reads a manifest, holding it to the format: the header, a version, known
// types, well-formed fields, paths without empty, "." or ".." components
// in strictly increasing order, each below a listed folder. False with why.
bool parse_manifest(const std::string &text, Manifest &manifest, std::string &why);

// `updater --manifest TREE VERSION`: 0, or 2 with one line on stderr.
int print_manifest(const char *tree, const char *version);

// Holds a staged tree to a signed manifest during the walk. Each check
// returns "" when the entry matches, otherwise the refusal's reason naming
// the path. A path is checked once; what the walk never reached is missing.
class ManifestCheck {
public:
    explicit ManifestCheck(const Manifest &manifest) : manifest_(manifest) {}
    std::string folder(const std::string &path, const struct stat &st);
    // A regular file: type, mode and size now; its digest goes to sha256 to
    // be compared once the file has been read.
    std::string file(const std::string &path, const struct stat &st, std::string &sha256);
    std::string link(const std::string &path, const std::string &target);
    // What a staged link leads to must be a listed file: its digest.
    std::string linked_file(const std::string &path, std::string &sha256) const;
    std::string other(const std::string &path);  // FIFO, socket, device
    // Nothing below path is installed (its installed twin is no folder).
    void not_entered(const std::string &path) { not_entered_.insert(path); }
    std::string first_missing() const;

private:
    const ManifestEntry *find(const std::string &path, std::string &why);
    std::string expect(const std::string &path, char type, const ManifestEntry *&entry);
    const Manifest &manifest_;
    std::set<std::string> seen_;
    std::set<std::string> not_entered_;
};

// The reason for a content mismatch of path.
std::string content_differs(const std::string &path);

#endif
