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

int openDevice(const char *path, int address, bool force, int *fd)
{
    // Close-on-exec: a child started by the application must not inherit
    // the bus.
    const int node = ::open(path, O_RDWR | O_CLOEXEC);
    const int error = errno;
    *fd = node;
    if (node < 0) {
        std::fprintf(stderr, "[qn_i2c] Unable to open device node ERROR: %d: %s\n",
                     error, std::strerror(error));
        return I2C_E_OPEN;
    }
    const unsigned long request = force ? I2C_SLAVE_FORCE : I2C_SLAVE;
    if (qn_i2c::kernel_ioctl(node, request, static_cast<unsigned long>(address)) < 0) {
        std::fputs("[qn_i2c] Could not set I2C_SLAVE.\n", stderr);
        ::close(node);
        // The number may already belong to another thread's file.
        *fd = -1;
        return I2C_E_SET_ADDRESS;
    }
    return 0;
}

}  // extern "C"
