#include "kernel_io.h"

#include <sys/ioctl.h>

namespace qn_i2c {

int system_ioctl(int fd, unsigned long request, unsigned long arg)
{
    return ::ioctl(fd, request, arg);
}

IoctlFn kernel_ioctl = system_ioctl;

}  // namespace qn_i2c
