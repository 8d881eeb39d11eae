// Checks the SHA-256 of staged files on a second thread, while the caller
// goes on reading, comparing and writing them: each byte is read once, into
// a piece the hashing thread takes over, and the digest of each file is
// compared with the one the signed manifest gives it. The first file that
// differs is kept, in the order the files were handed over.
#ifndef QN_UPDATER_DIGEST_CHECK_H
#define QN_UPDATER_DIGEST_CHECK_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "signature.h"

class DigestCheck {
public:
    static constexpr size_t kPieceBytes = size_t{256} << 10;

    // Hashes inline when no thread can be started.
    DigestCheck();
    ~DigestCheck();
    DigestCheck(const DigestCheck &) = delete;
    DigestCheck &operator=(const DigestCheck &) = delete;

    // A free piece of kPieceBytes to read the next bytes of the current file
    // into; it stays the caller's until add().
    char *piece();
    // Hands over the first size bytes of piece() (0: none, the piece is
    // given back). The caller may still read them until its next piece().
    void add(size_t size);
    // count zero bytes (a hole of a sparse file).
    void add_zeros(uint64_t count);
    // The current file is complete: its digest must be expected (lowercase
    // hex); otherwise path is named as the first mismatch.
    void end_file(const std::string &expected, const std::string &path);
    // What was handed over of the current file is not checked.
    void drop_file();
    // Waits until everything handed over is hashed: the first mismatch
    // (as content_differs() says it), or "".
    std::string finish();

private:
    struct Job {
        enum Kind { data, zeros, end, drop } kind = data;
        int piece = -1;
        uint64_t size = 0;
        std::string expected, path;
    };
    void push(Job job);
    void work();
    void run(const Job &job);

    std::vector<std::unique_ptr<char[]>> pieces_;
    std::vector<int> free_;
    int current_ = -1;
    std::deque<Job> jobs_;
    bool busy_ = false, stop_ = false;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    Sha256 hash_;           // the hashing thread's alone while it runs
    std::string mismatch_;  // set by the hashing thread, read under the mutex
    std::thread thread_;
};

#endif
