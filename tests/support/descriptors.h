// Whole reads and writes on descriptors, for the support library itself.
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

} // namespace qn::test

#endif
