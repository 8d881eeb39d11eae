// The staging tree is written by other software, in a folder others can
// write to: it is reached only through descriptors, never by path.
#pragma once

#include <string>

#include <sys/stat.h>

#include "fd.h"

// Opens the staging root without following a link. It must be a folder
// owned by root or by the user who started the updater, and not writable by
// group or others. Invalid Fd with why = the reason otherwise.
Fd openTrustedStaging(const char *path, std::string &why);

// Opens what the staged link name in folder dir (dirRel below the staging
// root, "" for the root) leads to, when that is a regular file inside the
// staging tree; path is set to where it lies below the root. A link may name
// the staging tree by its absolute path rootPath. Invalid Fd otherwise.
Fd openLinkedFile(int root, int dir, const char *name, const std::string &dirRel,
                  const char *rootPath, std::string &path);

// Opens a path below the staging root as openLinkedFile does: never
// leaving the tree, whatever links and ".." the path meets.
Fd openBelow(int root, const std::string &path, const char *rootPath);

// Opens a regular file without following a link, without blocking and,
// where allowed, without updating its access time.
// st, when given, receives the opened file's status.
Fd openRegularAt(int dir, const char *name, struct stat *st = nullptr);
