// One-line reads and whole-value writes of attribute files.
#include "boardleds.h"
#include "stdio_file.h"

#include <cerrno>
#include <cstdio>

extern "C" int GetValueFromFile(const char *path, char *buf)
{
    boardleds::StdioFile file(std::fopen(path, "re"));
    if (!file)
        return 0;
    if (std::fgets(buf, MAX_LINE_LENGTH, file.get()) != nullptr)
        return 1;
    if (!std::ferror(file.get()))
        errno = ENODATA;  // an empty file
    return 0;
}

// The LED class rejects an unknown trigger only when the buffered bytes reach
// it, so a failed close counts as a failed write. errno tells the first
// failure.
extern "C" int SetValueToFile(const char *path, const char *value)
{
    std::FILE *file = std::fopen(path, "we");
    if (file == nullptr)
        return 0;
    const bool written = std::fputs(value, file) != EOF;
    const int write_error = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written)
        errno = write_error;
    return written && closed ? 1 : 0;
}
