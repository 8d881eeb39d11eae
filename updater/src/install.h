// Carries out a plan all or nothing: temporaries beside their destinations,
// one flush, the journal's commit, the renames, another flush.
#pragma once

#include <string>

#include "plan.h"

// Installs plan (its files read from staging, found at stagingPath) into
// install, journalled in records. Returns the one-line result of the run.
std::string installPlan(int staging, const char *stagingPath, int install, int records,
                        Plan &plan);

// Finishes what a cut-off run left: a committed journal's renames are made,
// an uncommitted run's temporaries and folders removed. Returns "" when no
// journal was found, else the outcome as a result line.
std::string recoverInterruptedUpdate(int install, int records);
