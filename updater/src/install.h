// Carries out a plan all or nothing: temporaries beside their destinations,
// one flush, the journal's commit, the renames, another flush.
#ifndef QN_UPDATER_INSTALL_H
#define QN_UPDATER_INSTALL_H

#include <string>

#include "plan.h"

// How a run or a recovery ended: the result line, and whether the install
// root is now entirely at one version with no journal left to act on.
struct Outcome {
    std::string line;
    bool consistent = true;
};

// Installs plan (its files read from staging, found at staging_path) into
// install, journalled in records.
Outcome install_plan(int staging, const char *staging_path, int install, int records, Plan &plan);

// Restores the release a rollback plan (see kept.h) brings back, all or
// nothing, the same way.
Outcome restore_kept_release(int install, int records, Plan &plan);

// Finishes what an interrupted run left: a committed journal's renames are
// made, an uncommitted run's temporaries and folders removed. The journal
// goes only once every step is done. An empty line when there was none.
Outcome recover_interrupted_update(int install, int records);

#endif
