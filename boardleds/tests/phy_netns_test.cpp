// PHY requests through the real kernel, inside a private network namespace.
#include "boardleds.h"
#include "child.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qn::test;

namespace {

// A user-mode emulator (qemu-arm for cross builds) may not pass the MII
// requests on to the kernel; it answers ENOSYS for the loopback device,
// which the kernel itself refuses with EOPNOTSUPP.
bool mii_requests_reach_kernel()
{
    const int sd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const bool reached = ::ioctl(sd, SIOCGMIIREG, &request) == 0 || errno != ENOSYS;
    ::close(sd);
    return reached;
}

// body in a child with a private network namespace, prepared by prepare
// (if given). The module's PHY socket is made inside it: this test program
// makes no PHY request of its own that a child could inherit.
ChildResult in_private_net(const std::function<std::string()> &prepare,
                           const std::function<Failures()> &body)
{
    ChildOptions options;
    options.namespaces = CLONE_NEWNET;
    return run_in_child(
        options,
        [prepare] {
            if (!mii_requests_reach_kernel())
                return std::string("MII requests do not reach the kernel (user-mode emulator)");
            return prepare ? prepare() : std::string();
        },
        body);
}

// Both LED functions fail with the kernel's error for eth0 and say so.
Failures expect_eth_error(int error)
{
    Failures f;
    bool on = true;
    int status = 0;
    const std::string read_line = capture_stderr([&] { status = led_GetEthState(&on); });
    check(f, read_line == "Error: phy_read (" + std::to_string(-error) + ")\n",
          "read line: " + read_line);
    check(f, status == LED_E_FAILED && on, "get: 16, state untouched");
    const std::string write_line = capture_stderr([&] { status = led_SetEthState(1); });
    check(f, write_line == "Error: phy_write (" + std::to_string(-error) + ")\n",
          "write line: " + write_line);
    check(f, status == LED_E_FAILED, "set: 16");
    return f;
}

// Renames an interface of the private namespace.
std::string rename_interface(const char *from, const char *to)
{
    const int sd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, from, IFNAMSIZ - 1);
    std::strncpy(request.ifr_newname, to, IFNAMSIZ - 1);
    const int result = ::ioctl(sd, SIOCSIFNAME, &request);
    const std::string error = result == 0 ? "" : std::string("rename: ") + std::strerror(errno);
    ::close(sd);
    return error;
}

}  // namespace

TEST(PhyKernel, NoEth0GivesNoSuchDevice)
{
    EXPECT_CHILD_PASSED(in_private_net(nullptr, [] { return expect_eth_error(ENODEV); }));
}

// An eth0 without MII support refuses the request; the kernel's own error
// comes back.
TEST(PhyKernel, LoopbackRenamedEth0RefusesMiiRequests)
{
    auto prepare = [] { return rename_interface("lo", "eth0"); };
    EXPECT_CHILD_PASSED(in_private_net(prepare, [] { return expect_eth_error(EOPNOTSUPP); }));
}

TEST(PhyKernel, DummyEth0RefusesMiiRequests)
{
    auto prepare = [] {
        const int status = std::system("ip link add eth0 type dummy >/dev/null 2>&1");
        return WIFEXITED(status) && WEXITSTATUS(status) == 0
                   ? std::string()
                   : std::string("no dummy network driver (ip link add eth0 type dummy failed)");
    };
    EXPECT_CHILD_PASSED(in_private_net(prepare, [] { return expect_eth_error(EOPNOTSUPP); }));
}
