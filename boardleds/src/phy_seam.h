// Module-internal: the system calls behind the PHY requests, replaceable so
// that tests can observe them without a network. Hidden, so that a shared
// object built from the module exports only the C API.
#ifndef QN_BOARDLEDS_PHY_SEAM_H
#define QN_BOARDLEDS_PHY_SEAM_H

namespace [[gnu::visibility("hidden")]] boardleds {
namespace seam {

using SocketFn = int (*)(int domain, int type, int protocol);
using IoctlFn = int (*)(int fd, unsigned long request, void *arg);

extern SocketFn create_socket;
extern IoctlFn issue_request;

// Closes the cached socket; the next request creates a new one.
void forget_socket();

// The real socket(2) and ioctl(2).
void use_system_calls();

} // namespace seam
} // namespace boardleds

#endif
