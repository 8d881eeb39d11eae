// Ethernet LEDs through an MII register of the PHY.
#include "boardleds.h"
#include "phy_seam.h"
#include "phy_socket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>

namespace {

constexpr uint16_t kLedsEnabled = 0x0F00;
constexpr uint16_t kLedsDisabled = 0x0000;

// The MII request data sits in the union right after the interface name.
mii_ioctl_data &mii_data(ifreq &request)
{
    return *reinterpret_cast<mii_ioctl_data *>(&request.ifr_ifru);
}

} // namespace

extern "C" int __phy_op(const phy_desc *desc, uint16_t *value, int request)
{
    const int sd = boardleds::phy_socket();
    if (sd < 0)
        return sd;

    ifreq block{};
    std::memcpy(block.ifr_name, desc->name, strnlen(desc->name, IFNAMSIZ));
    mii_ioctl_data &mii = mii_data(block);
    mii.phy_id = desc->phy_id;
    mii.reg_num = desc->reg_num;
    mii.val_in = *value;
    mii.val_out = 0;

    if (boardleds::seam::issue_request(sd, static_cast<unsigned long>(request), &block) != 0)
        return -errno;
    *value = mii.val_out;
    return 0;
}

extern "C" int phy_read(uint16_t *value)
{
    const int result = __phy_op(&eth, value, SIOCGMIIREG);
    if (result != 0)
        std::fprintf(stderr, "Error: phy_read (%d)\n", result);
    return result;
}

extern "C" int phy_write(uint16_t value)
{
    uint16_t local = value;
    const int result = __phy_op(&eth, &local, SIOCSMIIREG);
    if (result != 0)
        std::fprintf(stderr, "Error: phy_write (%d)\n", result);
    return result;
}

extern "C" int led_GetEthState(bool *on)
{
    uint16_t value = 0;
    if (phy_read(&value) != 0)
        return LED_E_FAILED;
    *on = value != 0;
    return 0;
}

extern "C" int led_SetEthState(int on)
{
    return phy_write(on ? kLedsEnabled : kLedsDisabled) != 0 ? LED_E_FAILED : 0;
}
