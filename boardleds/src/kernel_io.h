// Module-internal: the system calls behind the PHY requests. A test build of
// the module (QN_KERNEL_SEAM) sends them to the test support's stand-in
// instead, so that tests observe them without a network; the shipped
// archive carries no hook an application could reach.
#ifndef QN_BOARDLEDS_KERNEL_IO_H
#define QN_BOARDLEDS_KERNEL_IO_H

#ifdef QN_KERNEL_SEAM
#include "kernel_seam.h"
#else
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace [[gnu::visibility("hidden")]] boardleds {

// socket(2).
static inline int kernel_socket(int domain, int type, int protocol)
{
#ifdef QN_KERNEL_SEAM
    return qn_kernel_seam_socket(domain, type, protocol);
#else
    return ::socket(domain, type, protocol);
#endif
}

// ioctl(2), the argument passed as the kernel takes it.
static inline int kernel_ioctl(int fd, unsigned long request, unsigned long arg)
{
#ifdef QN_KERNEL_SEAM
    return qn_kernel_seam_ioctl(fd, request, arg);
#else
    return ::ioctl(fd, request, arg);
#endif
}

#ifdef QN_KERNEL_SEAM
// Closes the cached PHY socket; the next request creates a new one. Each
// test starts with none.
void forget_phy_socket();
#endif

}  // namespace boardleds

#endif
