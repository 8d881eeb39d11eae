// Carries out a plan all or nothing: temporaries beside their destinations,
// one flush, the journal's commit, the renames, another flush.
#ifndef QN_UPDATER_INSTALL_H
#define QN_UPDATER_INSTALL_H

#include <string>

#include "plan.h"

// Installs plan (its files read from staging, found at staging_path) into
// install, journalled in records. Returns the one-line result of the run.
std::string install_plan(int staging, const char *staging_path, int install, int records, Plan &plan);

// Finishes what a cut-off run left: a committed journal's renames are made,
// an uncommitted run's temporaries and folders removed. Returns "" when no
// journal was found, else the outcome as a result line.
std::string recover_interrupted_update(int install, int records);

#endif
