// Scratch folders and small file helpers for building and checking trees.
#ifndef QN_TESTS_SUPPORT_SCRATCH_H
#define QN_TESTS_SUPPORT_SCRATCH_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace qn::test {

// A private folder (mode 0700 unless chmod'ed), removed with everything in
// it at the end. Made below base, or below the temporary folder ($TMPDIR,
// else /tmp) when base is empty; throws when it cannot be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix = "qn-test", const std::string &base = "");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    // path/name; makes nothing.
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Creates or replaces path with content, then sets mode exactly (umask and
// the special bits included). The path, or "" when it could not be written
// whole.
std::string write_file(const std::string &path, const std::string &content, mode_t mode = 0644);

// The whole content; "" when it cannot be read.
std::string read_file(const std::string &path);

// Of the path itself, links not followed.
bool exists(const std::string &path);
mode_t permissions_of(const std::string &path);  // the 07777 bits; 0 if missing
ino_t inode_of(const std::string &path);         // 0 if missing

// Every path below tree (at any depth) whose file name starts with prefix.
std::vector<std::string> files_named(const std::string &tree, const std::string &prefix);

}  // namespace qn::test

#endif
