// File content: comparing a staged file with an installed one and copying
// it into a new file.
#ifndef QN_UPDATER_CONTENT_H
#define QN_UPDATER_CONTENT_H

#include <sys/types.h>

// True when the next size bytes of both descriptors are equal (both files
// being size bytes long). Reads from the current offsets.
bool same_content(int a, int b, off_t size);

// Copies size bytes from in to the empty file out. With sparse set (the
// staged file has fewer blocks than bytes) only its data is written: holes
// stay holes. True when every byte is in place. (An established name, kept.)
bool copyFile(int in, int out, off_t size, bool sparse);

#endif
