// One MII register request on the process-wide PHY socket, which is created
// once per process, even when several threads make their first request
// together.
#include "boardleds.h"
#include "kernel_io.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/mii.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardleds {
namespace {

std::atomic<int> cached_sd{-1};

// The cached socket, created on first use: a descriptor, or the negative
// result of a failed creation (a later call tries again).
int phy_socket()
{
    int sd = cached_sd.load();
    if (sd >= 0)
        return sd;
    const int created = kernel_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (created < 0)
        return created;
    // Another thread may have won the race meanwhile: keep its socket.
    if (cached_sd.compare_exchange_strong(sd, created))
        return created;
    ::close(created);
    return sd;
}

// The MII request data sits in the union right after the interface name.
mii_ioctl_data &mii_data(ifreq &request)
{
    return *reinterpret_cast<mii_ioctl_data *>(&request.ifr_ifru);
}

}  // namespace

#ifdef QN_KERNEL_SEAM
void forget_phy_socket()
{
    const int sd = cached_sd.exchange(-1);
    if (sd >= 0)
        ::close(sd);
}
#endif

}  // namespace boardleds

extern "C" int __phy_op(const phy_desc *desc, uint16_t *value, int request)
{
    const int sd = boardleds::phy_socket();
    if (sd < 0)
        return sd;

    ifreq block{};
    std::memcpy(block.ifr_name, desc->name, strnlen(desc->name, IFNAMSIZ));
    mii_ioctl_data &mii = boardleds::mii_data(block);
    mii.phy_id = desc->phy_id;
    mii.reg_num = desc->reg_num;
    mii.val_in = *value;
    mii.val_out = 0;

    if (boardleds::kernel_ioctl(sd, static_cast<unsigned long>(request),
                                reinterpret_cast<unsigned long>(&block)) != 0)
        return -errno;
    *value = mii.val_out;
    return 0;
}
