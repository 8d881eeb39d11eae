// Walks the staging tree and the install root side by side and plans the
// update; reads both, changes nothing.
#ifndef QN_UPDATER_SCAN_H
#define QN_UPDATER_SCAN_H

#include <string>

#include "plan.h"

// Reserved at the top of the install root for the updater's own records.
extern const char *const kRecordsFolder;

// Fills plan with every folder to create and every file whose content
// differs (block_size: the install root's allocation unit, for the space
// estimate). False with why set when the staging tree changed under the walk.
bool plan_update(int staging, int install, const char *staging_path, unsigned long block_size,
                 Plan &plan, std::string &why);

#endif
