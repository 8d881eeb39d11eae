// The release the last update replaced, kept in the records folder
// (".updater/previous") so that it can be taken back: a hard link to every
// installed entry the update renamed a file over (no data copied), a list
// of what the update replaced and added, the manifest kept before it, and
// the boots counted since. It stays until the board confirms the new
// release, takes it back, or installs another.
//
// An update builds the next one (".updater/previous-new") before its
// commit; its finish puts it in place.
#ifndef QN_UPDATER_KEPT_H
#define QN_UPDATER_KEPT_H

#include <cstdint>
#include <string>

#include "plan.h"

// After an update's temporaries are written, before its commit: links
// every installed entry a file of the plan replaces and lists the rest as
// added. False with why and errno set when the release cannot be kept
// (EXDEV: an installed file on another file system, say); nothing of the
// attempt is left.
bool keep_replaced_release(int install, int records, const Plan &plan, std::string &why);

// The finish's step for the kept release, safe to redo: an update's next
// one replaces it, or it goes. False with errno set.
bool settle_kept_release(int records, KeptRelease kept);

// Removes the next kept release of an update that was undone.
void drop_next_kept_release(int records);

// Releases the kept release. False with errno set.
bool release_kept(int records);

// True when a release is kept (errors count as true: a rollback reports them).
bool has_kept_release(int records);

// Bytes only the kept release holds: what releasing it frees.
uint64_t kept_release_bytes(int records);

// The plan of a rollback: each replaced file back from its kept inode
// (source: the kept name), what the update added removed. manifest gets
// the manifest kept before the update, has_manifest whether there was one.
// False with why set when no release is kept or its list is damaged.
bool plan_rollback(int records, Plan &plan, std::string &manifest, bool &has_manifest,
                   std::string &why);

// Links each kept inode of a rollback plan as its file's temporary.
// False with why set.
bool link_kept_files(int install, int records, Plan &plan, std::string &why);

// Counts one more boot of the release that replaced the kept one; boots
// receives the count. False with errno set.
bool count_boot(int records, unsigned &boots);

#endif
