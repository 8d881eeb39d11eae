// The one door between the module and the i2c-dev driver. Internal names are
// hidden so that a shared object built from the module exports only the C API.
#ifndef QN_I2CBUS_KERNEL_IO_H
#define QN_I2CBUS_KERNEL_IO_H

namespace qn_i2c __attribute__((visibility("hidden"))) {

// Issues one i2c-dev request. The argument is passed the way the kernel takes
// it, as an unsigned long holding either a number or a pointer.
using IoctlFn = int (*)(int fd, unsigned long request, unsigned long arg);

int system_ioctl(int fd, unsigned long request, unsigned long arg);

// Every request of the module goes through this pointer. Only tests replace
// it, to see the exact request blocks and to answer without an adapter.
extern IoctlFn kernel_ioctl;

}  // namespace qn_i2c

#endif
