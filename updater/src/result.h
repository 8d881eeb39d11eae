// The one-line result of the last run, kept at the top of the install root
// ("/opt/quarnel/.updater/result") for board applications to read after
// the reboot: "installed: ...", "nothing to do" or "refused: <why>".
#pragma once

#include <string>

// The records folder at the top of the install root, created if missing;
// -1 when it cannot be had.
int openRecords(int install);

// Replaces the result line, unless it already reads the same (an identical
// update then writes nothing at all).
void writeResult(int records, const std::string &line);
