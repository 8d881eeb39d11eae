// The module lock and opening a node bound to one device address.
#include "i2cbus.h"
#include "kernel_io.h"

#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern "C" {
pthread_mutex_t i2c_mutex = PTHREAD_MUTEX_INITIALIZER;
}

namespace {

// Descriptors 0 to 2 are where messages go. When the application has closed
// one, the node would take its number, and every line meant for it would be
// a plain I2C write to the device: the node is moved above them.
int open_node(const char *path)
{
    if (path == nullptr) {
        errno = EFAULT;  // what the kernel says of a null path
        return -1;
    }
    // Close-on-exec: a child started by the application must not inherit
    // the bus.
    const int node = ::open(path, O_RDWR | O_CLOEXEC);
    if (node < 0 || node > STDERR_FILENO)
        return node;
    const int moved = ::fcntl(node, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(node);
    errno = error;
    return moved;
}

// The lock is error-checking: locking it again from the thread that holds
// it says EDEADLK instead of waiting forever. That is how the module tells,
// through POSIX alone, whether the thread calling fork() or an operation
// already holds it.
void make_error_checking_lock()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&i2c_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// A fork while another thread holds the lock would leave the child a lock
// that nobody there can release. fork() therefore waits for the lock and
// the child starts with it free. A thread that forks while holding the lock
// itself keeps it, in the child as well.
thread_local bool fork_took_lock = false;

void before_fork() { fork_took_lock = pthread_mutex_lock(&i2c_mutex) == 0; }

void after_fork_in_parent()
{
    if (fork_took_lock)
        pthread_mutex_unlock(&i2c_mutex);
}

// The child's one thread has another thread id than its parent's, and the
// lock records its owner's: the child gets a new lock, held by that thread
// if the forking thread held the old one.
void after_fork_in_child()
{
    make_error_checking_lock();
    if (!fork_took_lock)
        pthread_mutex_lock(&i2c_mutex);
}

// Early, before the constructors of the application that might lock it.
__attribute__((constructor(101))) void set_up_lock()
{
    make_error_checking_lock();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

extern "C" int openDevice(const char *path, int address, bool force, int *fd)
{
    const int node = open_node(path);
    const int error = errno;
    *fd = node;
    if (node < 0) {
        std::fprintf(stderr, "[qn_i2c] Unable to open device node ERROR: %d: %s\n", error,
                     std::strerror(error));
        errno = error;
        return I2C_E_OPEN;
    }
    const unsigned long request = force ? I2C_SLAVE_FORCE : I2C_SLAVE;
    if (qn_i2c::kernel_ioctl(node, request, static_cast<unsigned long>(address)) < 0) {
        const int bind_error = errno;
        std::fputs("[qn_i2c] Could not set I2C_SLAVE.\n", stderr);
        ::close(node);
        // The number may already belong to another thread's file.
        *fd = -1;
        errno = bind_error;
        return I2C_E_SET_ADDRESS;
    }
    return 0;
}
