#include "plan.h"

#include <fcntl.h>
#include <unistd.h>

size_t Plan::new_dirs() const
{
    size_t count = 0;
    for (const PlanDir &dir : dirs)
        count += dir.is_new;
    return count;
}

DirCursor::~DirCursor()
{
    if (fd_ >= 0)
        close(fd_);
}

int DirCursor::open(size_t dir)
{
    if (dir == current_)
        return fd_ >= 0 ? fd_ : root_;
    int fd;
    if (dir != 0 && dirs_[dir].parent == current_)
        fd = openat(current_ == 0 ? root_ : fd_, dirs_[dir].on_disk(committed_).c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    else
        fd = open_from_root(dir);
    if (fd < 0 && dir != 0)
        return -1;
    if (fd_ >= 0)
        close(fd_);
    fd_ = dir == 0 ? -1 : fd;
    current_ = dir;
    return dir == 0 ? root_ : fd_;
}

// Walks down from the root, holding one descriptor at a time.
int DirCursor::open_from_root(size_t dir)
{
    std::vector<size_t> chain;
    for (size_t at = dir; at != 0; at = dirs_[at].parent)
        chain.push_back(at);
    int fd = -1;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        int next = openat(fd >= 0 ? fd : root_, dirs_[*it].on_disk(committed_).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        if (next < 0)
            return -1;
        fd = next;
    }
    return fd;
}
