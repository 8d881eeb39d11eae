// Owns a stdio stream opened for reading.
#ifndef QN_BOARDLEDS_STDIO_FILE_H
#define QN_BOARDLEDS_STDIO_FILE_H

#include <cerrno>
#include <cstdio>
#include <memory>

namespace boardleds {

// Closing a stream that was only read leaves errno to the failure, if any,
// that the caller is about to report.
struct StdioClose {
    void operator()(std::FILE *file) const
    {
        const int error = errno;
        std::fclose(file);
        errno = error;
    }
};

using StdioFile = std::unique_ptr<std::FILE, StdioClose>;

}  // namespace boardleds

#endif
