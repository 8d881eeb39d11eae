// The kernel calls of a test build of a module (compiled with
// QN_KERNEL_SEAM): they reach the FakeKernel a test has set up, or the real
// system calls when there is none. The shipped archives never refer to them.
#ifndef QN_TESTS_SUPPORT_KERNEL_SEAM_H
#define QN_TESTS_SUPPORT_KERNEL_SEAM_H

#ifdef __cplusplus
extern "C" {
#endif

// ioctl(2) with the argument as the kernel takes it: a number or a pointer.
int qn_kernel_seam_ioctl(int fd, unsigned long request, unsigned long arg);

// socket(2).
int qn_kernel_seam_socket(int domain, int type, int protocol);

#ifdef __cplusplus
}
#endif

#endif
