// `updater --verify`: checks the install root against the installed
// release's manifest kept in the records folder; changes nothing.
#ifndef QN_UPDATER_VERIFY_H
#define QN_UPDATER_VERIFY_H

// Prints "changed PATH", "missing PATH" or "mode PATH" on standard output
// for each difference. 0 when there is none, 1 when there is any, 2 with a
// line on standard error when there is no kept manifest or it cannot be
// read.
int verify_installed_tree();

#endif
