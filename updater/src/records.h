// The updater's own folder at the top of the install root
// ("/opt/quarnel/.updater"): who may use it, the lock that makes runs take
// turns, and the names of what it holds. Nothing else opens it.
#ifndef QN_UPDATER_RECORDS_H
#define QN_UPDATER_RECORDS_H

#include <functional>
#include <string>

#include "fd.h"

// Its name at the top of the install root; a staged entry of that name is
// not installed.
extern const char *const kRecordsFolder;

// What the folder holds.
extern const char *const kJournal;         // the journal of a run in progress
extern const char *const kJournalNext;     // the journal's next version, until renamed
extern const char *const kJournalDamaged;  // a journal that failed its checks, kept to read
extern const char *const kResult;          // the last run's result line
extern const char *const kResultNext;      // its next version, until renamed
extern const char *const kManifest;        // the installed release's signed manifest
extern const char *const kManifestNext;    // the one an update in progress brings
extern const char *const kKept;            // the release the last update replaced
extern const char *const kKeptNext;        // the one an update in progress replaces

// Opens the records folder (created 0700 when missing) without following a
// link. It is trusted only when it belongs to root or to the user running
// the updater and is not writable by group or others: otherwise an invalid
// Fd, with why set.
Fd open_records(int install, std::string &why);

// Opens it only when it exists (ENOENT otherwise), with the same checks.
Fd open_existing_records(int install, std::string &why);

// Waits until no other run holds the folder, then holds it until records is
// closed. False with errno set.
bool lock_records(int records);

// True when something an interrupted run leaves is there: a journal, or a
// next version a cut left behind. Errors count as true: recovery reports them.
bool needs_recovery(int records);

// Removes the next versions a cut left behind (and the data file of earlier
// versions of the updater). Only the journal's absence makes them stale.
void remove_leftovers(int records);

// Opens a folder of the records folder, not through a link. Invalid Fd
// with errno set; ENOENT when it is not there.
Fd open_record_folder(int records, const char *name);

// Removes a folder of the records folder and what it holds (files only),
// then flushes the records folder. True when it is gone.
bool remove_record_folder(int records, const char *name);

// Writes text as the file name of folder (mode 0600), flushed, through
// name-new renamed over it. False with errno set; renamed, when given,
// tells whether the new version took the name all the same (only the
// folder's flush failed).
bool replace_record(int folder, const char *name, const std::string &text, bool *renamed = nullptr);

// The whole text to fd, or all that is left of fd. False with errno set.
bool write_all(int fd, const std::string &text);
bool read_all(int fd, std::string &text);
// Reads fd to its end, handing each piece to take. False on a read error.
bool read_each(int fd, const std::function<void(const char *, size_t)> &take);

// Reads a file of the folder (not through a link) of at most most bytes.
// False with errno set; ENOENT when it is not there, EFBIG when too large.
bool read_record(int records, const char *name, std::string &text, size_t most);

// Writes the manifest an update brings as kManifestNext, flushed, before
// the update's journal exists; the run's renames put it in place. False
// with errno set.
bool stage_manifest(int records, const std::string &text);

// Renames kManifestNext over kManifest when it is there (gone: renamed
// before a cut) and flushes the folder. Safe to redo.
bool put_manifest_in_place(int records);

// Removes kManifestNext: its update was undone or never started.
void drop_staged_manifest(int records);

// Removes the kept manifest: an update without one changes the tree it
// described. False with errno set.
bool forget_manifest(int records);

#endif
