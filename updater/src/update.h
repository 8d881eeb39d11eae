// One update of the install root from the staging tree, and the record of
// how it ended.
#ifndef QN_UPDATER_UPDATE_H
#define QN_UPDATER_UPDATE_H

#include <string>

// DST_ROOT, SRC_ROOT, createDir and listdir keep their established names.
extern const char *DST_ROOT;
extern const char *SRC_ROOT;

// Creates the folder path when nothing exists there (mode 0755); an
// existing path of any type is left as it is.
void createDir(const char *path);

// Mirrors the staging folder base + rel into DST_ROOT + rel, all or
// nothing, after finishing any update a cut interrupted; leaves the
// result line (see result.h) in the install root.
void listdir(const std::string &base, const std::string &rel);

// For `updater --recover`: finishes or undoes an interrupted update in
// DST_ROOT, remounting it writable for that if needed, and waiting for a
// run in progress. 0 when the install root is consistent afterwards, 1
// (with one line on standard error) otherwise.
// With /etc/updater/confirm-boots it also counts the boot of a release
// not yet confirmed, and takes it back once it has had its boots.
int recover_at_boot();

// For `updater --rollback`: restores the release the last update replaced,
// all or nothing, and prints the result line. 0 when it was taken back, 1
// otherwise.
int rollback_release();

// For `updater --confirm`: the installed release is good; the one kept to
// take it back is released. 0, or 1 with one line on standard error.
int confirm_release();

#endif
