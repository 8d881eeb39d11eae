#include "fake_kernel.h"
#include "kernel_seam.h"

#include <atomic>
#include <cstdlib>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace qn::test {
namespace {

std::atomic<KernelStandIn *> stand_in{nullptr};

}  // namespace

KernelStandIn::KernelStandIn()
{
    KernelStandIn *none = nullptr;
    // Two at once would silently hide one test's requests from it.
    if (!stand_in.compare_exchange_strong(none, this))
        std::abort();
}

KernelStandIn::~KernelStandIn() { stand_in = nullptr; }

}  // namespace qn::test

extern "C" int qn_kernel_seam_ioctl(int fd, unsigned long request, unsigned long arg)
{
    qn::test::KernelStandIn *kernel = qn::test::stand_in;
    return kernel != nullptr ? kernel->ioctl(fd, request, arg) : ::ioctl(fd, request, arg);
}

extern "C" int qn_kernel_seam_socket(int domain, int type, int protocol)
{
    qn::test::KernelStandIn *kernel = qn::test::stand_in;
    return kernel != nullptr ? kernel->socket(domain, type, protocol)
                             : ::socket(domain, type, protocol);
}
