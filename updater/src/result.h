// The one-line result of the last run, kept at the top of the install root
// ("/opt/quarnel/.updater/result") for board applications to read after
// the reboot: "installed: ...", "nothing to do" or "refused: <why>".
#ifndef QN_UPDATER_RESULT_H
#define QN_UPDATER_RESULT_H

#include <string>

// The records folder at the top of the install root, created if missing;
// -1 when it cannot be had.
int open_records(int install);

// Replaces the result line, unless it already reads the same (an identical
// update then writes nothing at all).
void write_result(int records, const std::string &line);

#endif
