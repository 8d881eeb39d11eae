// Taking the installed release back to the one its update replaced, on
// request or when the board does not confirm it within its boots.
#ifndef QN_UPDATER_ROLLBACK_H
#define QN_UPDATER_ROLLBACK_H

#include <string>

#include "install.h"

// Where the board says how many boots a new release gets to confirm itself
// ("3\n"); without it nothing is counted.
extern const char *const kConfirmBootsFile;

// The number of boots configured: 0 when the file is missing, -1 (with why
// set) when it cannot be read or holds anything but a number from 1 to 999.
int confirm_boots(std::string &why);

// Restores the kept release all or nothing and releases it (records
// locked, no interrupted run left). note follows "taken back" in the
// result line.
Outcome take_back_release(int install, int records, const std::string &note);

// At boot, records locked, no interrupted run left: counts one more boot
// of a release that replaced a kept one, and takes it back once it has had
// its boots without confirmation. An empty line when nothing was done; not
// consistent when the release could not be taken back.
Outcome count_boot_or_take_back(int install, int records, int boots_allowed);

#endif
