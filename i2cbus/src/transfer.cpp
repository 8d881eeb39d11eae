#include "transfer.h"

#include <cstdio>
#include <unistd.h>

namespace qn_i2c {

BusSession::BusSession(const char *path, int address, bool force)
{
    pthread_mutex_lock(&i2c_mutex);
    status_ = openDevice(path, address, force, &fd_);
}

BusSession::~BusSession()
{
    if (status_ == 0)
        ::close(fd_);
    pthread_mutex_unlock(&i2c_mutex);
}

void report(const Failure &failure, int error)
{
    std::fprintf(stderr, failure.format, error);
}

}  // namespace qn_i2c
