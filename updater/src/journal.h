// The update's journal, kept in the records folder at the top of the
// install root. Before any temporary file exists it lists them (intent);
// once they are all on storage it is rewritten as committed. Each version
// is written beside it, flushed and renamed over it, so a cut leaves one
// whole version or none.
#ifndef QN_UPDATER_JOURNAL_H
#define QN_UPDATER_JOURNAL_H

#include <string>

#include "plan.h"

// Records the plan's folders, temporaries and names. False on failure.
bool write_journal(int records, const Plan &plan, bool committed);

// Reads the journal into plan (folders, temporaries, names). Returns false
// when there is none; malformed is set when there is one that cannot be read.
bool read_journal(int records, Plan &plan, bool &committed, bool &malformed);

// Removes the journal and flushes its folder.
bool remove_journal(int records);

// The content of the files rewritten in place, one after another, beside the
// journal: written before the commit, removed only once the journal is gone.
// Each returns a descriptor (-1 with errno set): created empty for writing,
// or opened for reading.
int create_journal_data(int records);
int open_journal_data(int records);
void remove_journal_data(int records);
bool journal_data_exists(int records);

#endif
