// Whole reads and writes on descriptors, and a count of the open ones for
// tests that look for leaks.
#ifndef QN_TESTS_SUPPORT_DESCRIPTORS_H
#define QN_TESTS_SUPPORT_DESCRIPTORS_H

#include <string>

namespace qn::test {

// Writes all of text, retrying short writes; false on an error.
bool write_all(int fd, const std::string &text);

// Everything until end of file.
std::string read_all(int fd);

// Everything in the file behind fd, from its first byte.
std::string read_from_start(int fd);

// How many descriptors the process has open.
int count_open_descriptors();

}  // namespace qn::test

#endif
