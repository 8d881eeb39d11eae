// One transfer on a freshly opened node, under the module lock. Everything
// here is inline, so that no module file refers to another by a C++ name.
#ifndef QN_I2CBUS_TRANSFER_H
#define QN_I2CBUS_TRANSFER_H

#include "i2cbus.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace [[gnu::visibility("hidden")]] qn_i2c {

// Status and diagnostic of a failed transfer. The format receives the error
// number of the failed request; the plain messages ignore it.
struct Failure {
    int status;
    const char *format;
};

constexpr Failure kReadFailed{I2C_E_READ, "[qn_i2c] I2C Read operation failed.\n"};
constexpr Failure kReadFailedErrno{I2C_E_READ, "[qn_i2c] I2C Read operation failed - %d.\n"};
constexpr Failure kWriteFailed{I2C_E_WRITE, "[qn_i2c] I2C Write Operation failed.\n"};
constexpr Failure kWriteFailedErrno{I2C_E_WRITE, "[qn_i2c] I2C Write Operation failed - %d.\n"};
constexpr Failure kMessageWriteFailed{I2C_E_WRITE, "[qn_i2c] I2C Write operation failed - %d.\n"};

// What a request did: success, and errno as it was right after the request.
struct Outcome {
    bool ok;
    int error;
};

// Holds i2c_mutex for its whole life and, inside that, the node opened and
// bound by openDevice: the node is closed before the lock is released.
// Where the calling thread already holds the lock, it runs under that hold
// and leaves the lock held. Closing and unlocking leave errno as it was.
class BusSession {
public:
    BusSession(const char *path, int address, bool force)
    {
        held_by_caller_ = pthread_mutex_lock(&i2c_mutex) == EDEADLK;
        status_ = openDevice(path, address, force, &fd_);
    }
    ~BusSession()
    {
        const int error = errno;
        if (status_ == 0)
            ::close(fd_);
        if (!held_by_caller_)
            pthread_mutex_unlock(&i2c_mutex);
        errno = error;
    }
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    int status() const { return status_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    int status_;
    bool held_by_caller_;
};

// Runs transfer(fd) -> Outcome on the node of (path, address). Returns 0,
// the openDevice status, or failure.status after printing its line; on
// failure errno is the error of the failed request.
template <class Transfer>
int run_transfer(const char *path, int address, bool force, const Failure &failure, Transfer transfer)
{
    BusSession session(path, address, force);
    if (session.status() != 0)
        return session.status();
    const Outcome outcome = transfer(session.fd());
    if (outcome.ok)
        return 0;
    std::fprintf(stderr, failure.format, outcome.error);
    errno = outcome.error;
    return failure.status;
}

// A null data buffer: refused before anything else, with the error the
// kernel gives for a bad address.
inline int refuse_null_buffer()
{
    errno = EFAULT;
    return I2C_E_NULL_BUFFER;
}

}  // namespace qn_i2c

#endif
