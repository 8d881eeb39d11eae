// The journal of an update or a rollback, kept in the records folder.
// Before any temporary exists it lists them (intent); once they are all on
// storage it is rewritten as committed, with the inode each temporary
// holds. It also says what becomes of the kept release and of the kept
// manifest, and which files and folders a rollback removes. Each version
// is written beside it, flushed and renamed over it, so a cut leaves one
// whole version or none; a checksum finds one damaged afterwards.
#ifndef QN_UPDATER_JOURNAL_H
#define QN_UPDATER_JOURNAL_H

#include <string>

#include "plan.h"

// Names hold any byte but '/' and NUL: one word per name, bytes up to
// ' ', '%' and 0x7f written as %xx (the manifest writes paths the same way).
std::string escape(const std::string &name);
// The reverse; false for a malformed %xx.
bool unescape_name(const std::string &word, std::string &name);
// The same, and true only for a single path component.
bool unescape_component(const std::string &word, std::string &name);

// Records the plan's folders, temporaries and names. False with errno set
// on failure, EINVAL when a name is not a single path component; replaced
// tells whether the new version took the journal's name all the same (only
// its flush failed), so that a cut may leave either version.
bool write_journal(int records, const Plan &plan, bool committed, bool &replaced);

enum class JournalState {
    none,        // there is no journal
    read,        // plan and committed are filled in
    unreadable,  // it could not be opened or read (errno set)
    damaged,     // it fails its checksum or its rules: never acted on
};

// Reads the journal into plan. Every name is a single path component,
// every temporary one this program makes, and a committed journal knows
// the inode of everything it renames.
JournalState read_journal(int records, Plan &plan, bool &committed);

// Checks a journal's text as read_journal does (for tests and fuzzing).
bool parse_journal(const std::string &text, Plan &plan, bool &committed);

// body with the closing line that carries its checksum, as the journal is
// written (for tests and fuzzing).
std::string seal_journal(const std::string &body);
// The body of a sealed text; false when its closing line is missing or
// its checksum does not match.
bool unseal(const std::string &text, std::string &body);

// Removes the journal and flushes its folder. False with errno set.
bool remove_journal(int records);

// Moves a damaged journal aside (over an earlier damaged one), to be read
// by a person; it is never acted on.
bool set_journal_aside(int records);

#endif
