// File content: comparing a staged file with an installed one and copying
// it into a new file.
#ifndef QN_UPDATER_CONTENT_H
#define QN_UPDATER_CONTENT_H

#include <sys/types.h>

class DigestCheck;

// True when the next size bytes of both descriptors are equal (both files
// being size bytes long). Reads from the current offsets.
// check, when given, receives every byte of a read (complete only when
// true): the caller ends or drops the file there.
bool same_content(int a, int b, off_t size, DigestCheck *check = nullptr);

// Copies size bytes from in to the empty file out. With sparse set (the
// staged file has fewer blocks than bytes) only its data is written: holes
// stay holes. True when every byte is in place. (An established name, kept.)
// check, when given, receives the content, holes included; the copy then
// goes through user space, where it can be seen.
bool copyFile(int in, int out, off_t size, bool sparse, DigestCheck *check = nullptr);

#endif
