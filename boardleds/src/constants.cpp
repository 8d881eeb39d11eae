// The module's exported constants.
#include "boardleds.h"

static_assert(sizeof(bool) == 1, "LED states are 8-bit booleans");

constexpr int kLineBufferSize = MAX_LINE_LENGTH;
// The header's macro lets C callers size arrays; the symbol itself is
// defined here.
#undef MAX_LINE_LENGTH

extern "C" {
const char mmc_Led[39] = "/sys/devices/soc0/led-system/leds/led8";
const char heartbeat_Led[39] = "/sys/devices/soc0/led-system/leds/led9";
const int MAX_LINE_LENGTH = kLineBufferSize;
const phy_desc eth = {"eth0", 1, 27};
}
