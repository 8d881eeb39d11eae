// Module-internal: the process-wide socket for PHY requests.
#pragma once

namespace boardleds __attribute__((visibility("hidden"))) {

// The cached socket, created on first use: a descriptor, or the negative
// result of a failed creation (a later call tries again).
int phy_socket();

} // namespace boardleds
