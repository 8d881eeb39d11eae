// The PHY request socket: created once per process, even when several
// threads make their first request together.
#include "phy_seam.h"
#include "phy_socket.h"

#include <atomic>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardleds {
namespace {

int system_ioctl(int fd, unsigned long request, void *arg)
{
    return ::ioctl(fd, request, arg);
}

std::atomic<int> cached_sd{-1};

} // namespace

namespace seam {

SocketFn create_socket = ::socket;
IoctlFn issue_request = system_ioctl;

void forget_socket()
{
    const int sd = cached_sd.exchange(-1);
    if (sd >= 0)
        ::close(sd);
}

void use_system_calls()
{
    create_socket = ::socket;
    issue_request = system_ioctl;
}

} // namespace seam

int phy_socket()
{
    int sd = cached_sd.load();
    if (sd >= 0)
        return sd;
    const int created = seam::create_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (created < 0)
        return created;
    // Another thread may have won the race meanwhile: keep its socket.
    if (cached_sd.compare_exchange_strong(sd, created))
        return created;
    ::close(created);
    return sd;
}

} // namespace boardleds
