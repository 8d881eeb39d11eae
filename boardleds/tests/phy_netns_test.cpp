// PHY requests through the real kernel, inside a private network namespace.
#include "boardleds.h"
#include "isolated_child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace boardleds::testing;

namespace {

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

} // namespace

TEST(PhyKernel, NoEth0GivesNoSuchDevice)
{
    EXPECT_CHILD_PASSED(run_in_child(enter_private_net, [] { return expect_eth_error(ENODEV); }));
}

// An eth0 without MII support refuses the request; the kernel's own error
// comes back.
TEST(PhyKernel, LoopbackRenamedEth0RefusesMiiRequests)
{
    auto prepare = [] {
        const std::string skip = enter_private_net();
        return skip.empty() ? rename_interface("lo", "eth0") : skip;
    };
    EXPECT_CHILD_PASSED(run_in_child(prepare, [] { return expect_eth_error(EOPNOTSUPP); }));
}

TEST(PhyKernel, DummyEth0RefusesMiiRequests)
{
    auto prepare = [] {
        const std::string skip = enter_private_net();
        if (!skip.empty())
            return skip;
        const int status = std::system("ip link add eth0 type dummy >/dev/null 2>&1");
        return WIFEXITED(status) && WEXITSTATUS(status) == 0
                   ? std::string()
                   : std::string("no dummy network driver (ip link add eth0 type dummy failed)");
    };
    EXPECT_CHILD_PASSED(run_in_child(prepare, [] { return expect_eth_error(EOPNOTSUPP); }));
}
