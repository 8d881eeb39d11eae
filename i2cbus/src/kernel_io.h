// The one door between the module and the i2c-dev driver. The names have C
// linkage, so the archive refers to nothing by a C++ name, and are hidden,
// so that a shared object built from the module exports only the C API.
#ifndef QN_I2CBUS_KERNEL_IO_H
#define QN_I2CBUS_KERNEL_IO_H

extern "C" {

// Issues one i2c-dev request. The argument is passed the way the kernel takes
// it, as an unsigned long holding either a number or a pointer.
typedef int (*qn_i2c_ioctl_fn)(int fd, unsigned long request, unsigned long arg);

__attribute__((visibility("hidden"))) int qn_i2c_system_ioctl(int fd, unsigned long request,
                                                              unsigned long arg);

// Every request of the module goes through this pointer. Only tests replace
// it, to see the exact request blocks and to answer without an adapter.
__attribute__((visibility("hidden"))) extern qn_i2c_ioctl_fn qn_i2c_kernel_ioctl;

}  // extern "C"

#endif
