#include "kernel_io.h"

#include <sys/ioctl.h>

extern "C" {

int qn_i2c_system_ioctl(int fd, unsigned long request, unsigned long arg)
{
    return ::ioctl(fd, request, arg);
}

qn_i2c_ioctl_fn qn_i2c_kernel_ioctl = qn_i2c_system_ioctl;

}  // extern "C"
