// The one-line result of the last run, kept in the records folder
// ("/opt/quarnel/.updater/result") to be read after the reboot:
// "installed: ...", "incomplete: ...", "nothing to do" or "refused: <why>".
#ifndef QN_UPDATER_RESULT_H
#define QN_UPDATER_RESULT_H

#include <string>

// Replaces the result line, unless it already reads the same (an identical
// update then writes nothing at all).
void write_result(int records, const std::string &line);

// Removes the last run's line before a run changes the tree: if the new
// line cannot be written, none is better than one that is no longer true.
// The journal's flush makes the removal last.
void forget_result(int records);

#endif
