// Walks the staging tree and the install root side by side and plans the
// update; reads both, changes nothing.
#ifndef QN_UPDATER_SCAN_H
#define QN_UPDATER_SCAN_H

#include <string>

#include "plan.h"

// Fills plan with every folder to create and every file whose content
// differs (block_size: the install root's allocation unit, for the space
// estimate). Any error, a staged entry someone else could have written or
// a staging tree that changed under the walk refuses the update: false with
// why set. Only what is left alone by design is skipped: staged FIFOs,
// sockets and devices, staged links that do not lead to a regular file
// inside the staging tree, and staged names whose installed twin is a
// folder, a device or a link leading elsewhere.
bool plan_update(int staging, int install, const char *staging_path, unsigned long block_size,
                 Plan &plan, std::string &why);

#endif
