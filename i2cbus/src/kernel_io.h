// The one door between the module and the i2c-dev driver: the ioctl system
// call itself. A test build of the module (QN_KERNEL_SEAM) sends it to the
// test support's stand-in instead, so that the tests see the exact request
// blocks; the shipped archive carries no hook an application could reach.
#ifndef QN_I2CBUS_KERNEL_IO_H
#define QN_I2CBUS_KERNEL_IO_H

#ifdef QN_KERNEL_SEAM
#include "kernel_seam.h"
#else
#include <sys/ioctl.h>
#endif

namespace [[gnu::visibility("hidden")]] qn_i2c {

// Issues one i2c-dev request. The argument is passed the way the kernel takes
// it, as an unsigned long holding either a number or a pointer.
static inline int kernel_ioctl(int fd, unsigned long request, unsigned long arg)
{
#ifdef QN_KERNEL_SEAM
    return qn_kernel_seam_ioctl(fd, request, arg);
#else
    return ::ioctl(fd, request, arg);
#endif
}

}  // namespace qn_i2c

#endif
