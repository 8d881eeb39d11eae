// Ethernet LEDs through an MII register of the PHY.
#include "board.h"

#include <cerrno>
#include <cstdio>
#include <linux/sockios.h>

namespace {

constexpr uint16_t kLedsEnabled = 0x0F00;
constexpr uint16_t kLedsDisabled = 0x0000;

// Prints the failure line of a PHY helper; errno stays the request's.
void report(const char *format, int result)
{
    const int error = errno;
    std::fprintf(stderr, format, result);
    errno = error;
}

}  // namespace

extern "C" int phy_read(uint16_t *value)
{
    const int result = __phy_op(&boardleds::kEthPhy, value, SIOCGMIIREG);
    if (result != 0)
        report("Error: phy_read (%d)\n", result);
    return result;
}

extern "C" int phy_write(uint16_t value)
{
    uint16_t local = value;
    const int result = __phy_op(&boardleds::kEthPhy, &local, SIOCSMIIREG);
    if (result != 0)
        report("Error: phy_write (%d)\n", result);
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
