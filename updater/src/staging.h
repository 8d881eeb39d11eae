// The staging tree is written by other software, in a folder others can
// write to: it is reached only through descriptors, never by path.
#ifndef QN_UPDATER_STAGING_H
#define QN_UPDATER_STAGING_H

#include <string>

#include <sys/stat.h>

#include "fd.h"

// Opens the staging root without following a link. It must be a folder
// owned by root or by the user who started the updater, and not writable by
// group or others. Invalid Fd with why = the reason otherwise.
Fd open_trusted_staging(const char *path, std::string &why);

// Opens what the staged link name in folder dir (dir_rel below the staging
// root, "" for the root) leads to, when that is a regular file inside the
// staging tree; path is set to where it lies below the root. A link may name
// the staging tree by its absolute path root_path. Otherwise an invalid Fd
// with errno set: EXDEV for a link leading out of the tree, ENOENT for a
// dangling one, ELOOP, EISDIR for one to anything but a regular file, and
// any other value for an error met on the way.
Fd open_linked_file(int root, int dir, const char *name, const std::string &dir_rel,
                    const char *root_path, std::string &path);

// Opens a path below the staging root as open_linked_file does: never
// leaving the tree, whatever links and ".." the path meets.
Fd open_below(int root, const std::string &path, const char *root_path);

// Opens a regular file without following a link, without blocking and,
// where allowed, without updating its access time.
// st, when given, receives the opened file's status. EISDIR when the entry
// is not a regular file.
Fd open_regular_at(int dir, const char *name, struct stat *st = nullptr);

#endif
