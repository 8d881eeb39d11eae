#include "content.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "digest_check.h"

namespace {

constexpr size_t kChunk = DigestCheck::kPieceBytes;

// Fills the whole buffer unless the file ends first; -1 on an error.
ssize_t read_full(int fd, char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool write_all_at(int out, const char *data, size_t size, off_t at)
{
    while (size > 0) {
        ssize_t n = pwrite(out, data, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// Copies length bytes of in, from offset from, to out at offset to, through
// a buffer (the checker's pieces when there is one). A file that ends early
// fails.
bool copy_span(int in, off_t from, int out, off_t to, off_t length, DigestCheck *check)
{
    static char own[kChunk];
    while (length > 0) {
        size_t want = length < static_cast<off_t>(kChunk) ? static_cast<size_t>(length) : kChunk;
        char *buffer = check ? check->piece() : own;
        ssize_t n = pread(in, buffer, want, from);
        if (check)
            check->add(n > 0 ? static_cast<size_t>(n) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !write_all_at(out, buffer, static_cast<size_t>(n), to))
            return false;
        from += n;
        to += n;
        length -= n;
    }
    return true;
}

// The kernel copies without a trip through user space where it can; where
// it cannot (another file system type, an old kernel) the buffer does.
bool copy_range(int in, int out, off_t from, off_t length, DigestCheck *check)
{
    static bool kernel_copies = true;
    while (kernel_copies && !check && length > 0) {
        loff_t in_at = from, out_at = from;
        const off_t most = off_t{1} << 30;  // fits a 32-bit size_t
        ssize_t n = copy_file_range(in, &in_at, out, &out_at,
                                    static_cast<size_t>(length < most ? length : most), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return false;  // the staged file shrank
        if (n < 0) {
            if (errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            kernel_copies = false;
            break;
        }
        from += n;
        length -= n;
    }
    return copy_span(in, from, out, from, length, check);
}

// Start of the next data at or after pos, or size when only a hole is left.
off_t next_data(int in, off_t pos, off_t size)
{
    off_t data = lseek(in, pos, SEEK_DATA);
    if (data >= 0)
        return data < size ? data : size;
    return errno == ENXIO ? size : pos;  // no hole support: all data
}

off_t next_hole(int in, off_t pos, off_t size)
{
    off_t hole = lseek(in, pos, SEEK_HOLE);
    return hole > pos && hole < size ? hole : size;
}

}  // namespace

// Both files were found size bytes long: a file that ends early differs.
// A changed file mostly differs early: the first look is one page.
bool same_content(int a, int b, off_t size, DigestCheck *check)
{
    static char own[kChunk], right[kChunk];
    size_t chunk = 4096;
    while (size > 0) {
        const size_t want = size < static_cast<off_t>(chunk) ? static_cast<size_t>(size) : chunk;
        char *left = check ? check->piece() : own;
        ssize_t n = read_full(a, left, want);
        if (check)
            check->add(n > 0 ? static_cast<size_t>(n) : 0);
        ssize_t m = read_full(b, right, want);
        if (n != static_cast<ssize_t>(want) || m != n || memcmp(left, right, want) != 0)
            return false;
        size -= n;
        chunk = kChunk;
    }
    return true;
}

bool copyFile(int in, int out, off_t size, bool sparse, DigestCheck *check)
{
    if (!sparse)
        return copy_range(in, out, 0, size, check);
    off_t pos = 0;
    while (pos < size) {
        off_t data = next_data(in, pos, size);
        if (data >= size)
            break;
        off_t hole = next_hole(in, data, size);
        if (check)
            check->add_zeros(static_cast<uint64_t>(data - pos));
        if (!copy_range(in, out, data, hole - data, check))
            return false;
        pos = hole;
    }
    if (check)
        check->add_zeros(static_cast<uint64_t>(size - pos));
    return pos == size || ftruncate(out, size) == 0;
}
