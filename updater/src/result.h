// The one-line result of the last run, kept in the records folder
// ("/opt/quarnel/.updater/result") to be read after the reboot:
// "installed: ...", "incomplete: ...", "nothing to do" or "refused: <why>".
#ifndef QN_UPDATER_RESULT_H
#define QN_UPDATER_RESULT_H

#include <string>

// Replaces the result line, unless it already reads the same (an identical
// update then writes nothing at all).
void write_result(int records, const std::string &line);

#endif
