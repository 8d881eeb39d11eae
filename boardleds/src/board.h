// Module-internal: the board's fixed LED directories and PHY register. The
// module's own calls use these, never the exported globals, so that an
// application global of the same name cannot redirect them.
#ifndef QN_BOARDLEDS_BOARD_H
#define QN_BOARDLEDS_BOARD_H

#include "boardleds.h"

#define QN_MMC_LED_DIR "/sys/devices/soc0/led-system/leds/led8"
#define QN_HEARTBEAT_LED_DIR "/sys/devices/soc0/led-system/leds/led9"

namespace boardleds {

constexpr phy_desc kEthPhy = {"eth0", 1, 27};

}  // namespace boardleds

#endif
