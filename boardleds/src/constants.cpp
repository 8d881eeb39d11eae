// The module's exported constants (eth has a file of its own).
#include "board.h"

static_assert(sizeof(bool) == 1, "LED states are 8-bit booleans");

constexpr int kLineBufferSize = MAX_LINE_LENGTH;
// The header's macro lets C callers size arrays; the symbol itself is
// defined here.
#undef MAX_LINE_LENGTH

extern "C" {
const char mmc_Led[39] = QN_MMC_LED_DIR;
const char heartbeat_Led[39] = QN_HEARTBEAT_LED_DIR;
const int MAX_LINE_LENGTH = kLineBufferSize;
}
