// A board application with a global of its own named eth: the module's
// Ethernet LED requests must still go to PHY 1 of eth0. A test program of
// its own: the global belongs to the whole program.
#include "boardleds.h"

#include "../src/phy_seam.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/mii.h>
#include <net/if.h>

extern "C" const phy_desc eth = {"wlan0", 7, 3};

namespace {

int requests = 0;

int expect_eth0(int, unsigned long, void *arg)
{
    const auto *block = static_cast<const ifreq *>(arg);
    const auto *mii = reinterpret_cast<const mii_ioctl_data *>(&block->ifr_ifru);
    EXPECT_STREQ(block->ifr_name, "eth0");
    EXPECT_EQ(mii->phy_id, 1);
    EXPECT_EQ(mii->reg_num, 27);
    ++requests;
    return 0;
}

} // namespace

TEST(EthNamesake, LedRequestsStillGoToEth0)
{
    namespace seam = boardleds::seam;
    seam::forget_socket();
    seam::create_socket = [](int, int, int) { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); };
    seam::issue_request = expect_eth0;
    bool on = false;
    EXPECT_EQ(led_SetEthState(1), 0);
    EXPECT_EQ(led_GetEthState(&on), 0);
    EXPECT_EQ(requests, 2);
    seam::forget_socket();
    seam::use_system_calls();
}
