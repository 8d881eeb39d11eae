#include "digest_check.h"

#include <csignal>
#include <new>
#include <system_error>

#include <pthread.h>

#include "manifest.h"

namespace {

// Eight pieces in flight: the reader rarely waits on the hasher. The
// hasher, which is faster, is woken only once half of them are handed over
// (or many small jobs queued): waking it for each file would cost more than
// hashing it.
constexpr int kPieces = 8;
constexpr size_t kWakeWithFree = kPieces / 2;
constexpr size_t kWakeWithJobs = 64;

}  // namespace

DigestCheck::DigestCheck()
{
    for (int i = 0; i < kPieces; ++i) {
        pieces_.push_back(std::make_unique<char[]>(kPieceBytes));
        free_.push_back(i);
    }
    // Signals sent to the process stay with the thread that handles them;
    // a processor fault in this one still reaches the guard's handler.
    sigset_t all, old;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigdelset(&all, fault);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

DigestCheck::~DigestCheck()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    thread_.join();
}

char *DigestCheck::piece()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (free_.empty())
        work_.notify_one();
    done_.wait(lock, [this] { return !free_.empty(); });
    current_ = free_.back();
    free_.pop_back();
    return pieces_[static_cast<size_t>(current_)].get();
}

void DigestCheck::add(size_t size)
{
    Job job;
    job.piece = current_;
    job.size = size;
    current_ = -1;
    push(std::move(job));
}

void DigestCheck::add_zeros(uint64_t count)
{
    Job job;
    job.kind = Job::zeros;
    job.size = count;
    push(std::move(job));
}

void DigestCheck::end_file(const std::string &expected, const std::string &path)
{
    Job job;
    job.kind = Job::end;
    job.expected = expected;
    job.path = path;
    push(std::move(job));
}

void DigestCheck::drop_file()
{
    Job job;
    job.kind = Job::drop;
    push(std::move(job));
}

std::string DigestCheck::finish()
{
    std::unique_lock<std::mutex> lock(mutex_);
    work_.notify_one();
    done_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    return mismatch_;
}

void DigestCheck::push(Job job)
{
    if (!thread_.joinable()) {
        run(job);
        if (job.piece >= 0)
            free_.push_back(job.piece);
        return;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        wake = free_.size() <= kWakeWithFree || jobs_.size() >= kWakeWithJobs;
    }
    if (wake)
        work_.notify_one();
}

void DigestCheck::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty())
            return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            run(job);
        } catch (const std::bad_alloc &) {
            mismatch_ = "out of memory while checking content";
        }
        lock.lock();
        if (job.piece >= 0)
            free_.push_back(job.piece);
        busy_ = false;
        if (jobs_.empty() || free_.size() == 1)
            done_.notify_all();
    }
}

void DigestCheck::run(const Job &job)
{
    switch (job.kind) {
    case Job::data:
        if (job.piece >= 0 && job.size > 0)
            hash_.add(pieces_[static_cast<size_t>(job.piece)].get(), job.size);
        break;
    case Job::zeros: hash_.add_zeros(job.size); break;
    case Job::end:
        // Written here, read by finish() under the mutex once this job is done.
        if (hash_.hex() != job.expected && mismatch_.empty())
            mismatch_ = content_differs(job.path);
        break;
    case Job::drop: hash_.restart(); break;
    }
}
