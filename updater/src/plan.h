// What an update changes in the install root, found before anything is
// touched: the folders it creates and the files it writes.
#ifndef QN_UPDATER_PLAN_H
#define QN_UPDATER_PLAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A folder by its place in the tree; the same place in the staging tree and
// in the install root. dirs[0] is the root of both.
struct PlanDir {
    size_t parent = 0;
    std::string name;
    bool is_new = false;    // missing in the install root: this run creates it
    mode_t mode = 0755;     // a new folder's bits: the staged folder's
    std::string temporary;  // a new folder in an existing one is created under
                            // this name, filled, and renamed at the commit
    ino_t made = 0;         // the inode this run created under temporary; in a
                            // rollback, the inode of a folder that goes
    bool remove = false;    // a rollback removes it when empty and still made
    const std::string &on_disk(bool committed) const
    {
        return committed || temporary.empty() ? name : temporary;
    }
};

struct PlanFile {
    size_t dir = 0;
    std::string name;             // installed name (a link's same-folder target)
    std::string source;           // staged name in dir, or a path below the staging root
    bool source_is_path = false;  // a staged link: source is what it leads to
    bool is_new = true;           // no regular file of that name is installed
    mode_t mode = 0;              // installed bits: kept, or the staged ones less set-id
    uid_t uid = 0;                // installed owner (existing files only)
    gid_t gid = 0;
    dev_t source_dev = 0;  // identity of the staged file, for hard links
    ino_t source_ino = 0;
    off_t size = 0;
    size_t link_to = SIZE_MAX;  // earlier file of the same staged inode
    std::string temporary;      // name beside the installed one until the commit;
                                // in a new folder, the name itself
    ino_t made = 0;             // the inode this run wrote under temporary
    std::string sha256;         // the content a signed manifest gives ("": none)
};

class ManifestCheck;

// What a run does with the release kept for a rollback once its renames
// are made.
enum class KeptRelease {
    replace,   // an update kept the release it replaces: that one is kept now
    drop,      // an update could not keep it: the one kept before goes too
    restored,  // a rollback restored it: it is no longer kept
};

struct Plan {
    std::vector<PlanDir> dirs{PlanDir{}};
    std::vector<PlanFile> files;
    std::vector<PlanFile> removals;  // files a rollback removes (dir, name and
                                     // made: only while the name holds made)
    KeptRelease kept = KeptRelease::replace;
    std::string taken_back;        // a rollback: what it took back, and when, to report
    std::string note;              // said after the result's counts (not journalled)
    bool must_keep = false;        // the board counts on taking the update back
    bool forget_manifest = false;  // the tree it brings has no manifest: the kept
                                   // one goes with the renames
    uint64_t bytes_needed = 0;
    uint64_t inodes_needed = 0;
    size_t unchanged = 0;
    ManifestCheck *check = nullptr;  // a signed manifest the staged tree must match
    bool changes() const { return !files.empty() || !removals.empty() || new_dirs() > 0; }
    size_t new_dirs() const;
};

// Opens planned folders below a root by descriptors, one name at a time and
// never through a link, whatever the depth; keeps the last one open. Before
// the commit, new folders are reached under their temporary names.
class DirCursor {
public:
    DirCursor(int root, const std::vector<PlanDir> &dirs, bool committed)
        : root_(root), dirs_(dirs), committed_(committed)
    {
    }
    DirCursor(const DirCursor &) = delete;
    DirCursor &operator=(const DirCursor &) = delete;
    ~DirCursor();
    // The folder's descriptor (owned by the cursor), or -1 with errno set.
    int open(size_t dir);

private:
    int open_from_root(size_t dir);
    int root_;
    const std::vector<PlanDir> &dirs_;
    bool committed_;
    size_t current_ = 0;
    int fd_ = -1;  // -1: the root itself
};

#endif
