// Walks the staging tree and the install root side by side and plans the
// update; reads both, changes nothing.
#pragma once

#include <string>

#include "plan.h"

// Reserved at the top of the install root for the updater's own records.
extern const char *const kRecordsFolder;

// Fills plan with every folder to create and every file whose content
// differs (blockSize: the install root's allocation unit, for the space
// estimate). False with why set when the staging tree changed under the walk.
bool planUpdate(int staging, int install, const char *stagingPath, unsigned long blockSize,
                Plan &plan, std::string &why);
