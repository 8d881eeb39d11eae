// A board application with a global of its own named eth: the module's
// Ethernet LED requests must still go to PHY 1 of eth0. A test program of
// its own: the global belongs to the whole program.
#include "boardleds.h"
#include "fake_kernel.h"
#include "kernel_io.h"

#include <gtest/gtest.h>

#include <linux/mii.h>
#include <net/if.h>

extern "C" const phy_desc eth = {"wlan0", 7, 3};

namespace {

struct PhyBlock {
    PhyBlock(int, unsigned long, unsigned long arg) : block(*reinterpret_cast<const ifreq *>(arg)) {}
    ifreq block;
};

}  // namespace

TEST(EthNamesake, LedRequestsStillGoToEth0)
{
    qn::test::FakeKernel<PhyBlock> kernel;
    boardleds::forget_phy_socket();
    bool on = false;
    EXPECT_EQ(led_SetEthState(1), 0);
    EXPECT_EQ(led_GetEthState(&on), 0);
    const auto requests = kernel.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto &r : requests) {
        const auto *mii = reinterpret_cast<const mii_ioctl_data *>(&r.block.ifr_ifru);
        EXPECT_STREQ(r.block.ifr_name, "eth0");
        EXPECT_EQ(mii->phy_id, 1);
        EXPECT_EQ(mii->reg_num, 27);
    }
    boardleds::forget_phy_socket();
}
