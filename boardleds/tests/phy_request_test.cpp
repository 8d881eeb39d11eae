// PHY requests observed at the system-call boundary, with no network.
#include "boardleds.h"
#include "fake_kernel.h"
#include "kernel_io.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using qn::test::capture_stderr;

namespace {

// The request block as the module passed it.
struct PhyBlock {
    PhyBlock(int, unsigned long, unsigned long arg) : block(*reinterpret_cast<const ifreq *>(arg)) {}
    ifreq block;
};

using Kernel = qn::test::FakeKernel<PhyBlock>;
using Recorded = Kernel::Request;

const mii_ioctl_data &mii_of(const Recorded &r)
{
    return *reinterpret_cast<const mii_ioctl_data *>(&r.block.ifr_ifru);
}

class PhyRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        boardleds::forget_phy_socket();
        answer_register(0);
    }
    void TearDown() override { boardleds::forget_phy_socket(); }

    // Every request succeeds and reads value from the register.
    void answer_register(uint16_t value)
    {
        kernel.answer({0, 0, [value](unsigned long arg) {
                           auto *block = reinterpret_cast<ifreq *>(arg);
                           reinterpret_cast<mii_ioctl_data *>(&block->ifr_ifru)->val_out = value;
                       }});
    }
    void fail_requests(int error) { kernel.answer({-1, error, nullptr}); }

    // Descriptors of the sockets the module was given.
    std::vector<int> created_sockets() const
    {
        std::vector<int> fds;
        for (const auto &call : kernel.sockets())
            if (call.fd >= 0)
                fds.push_back(call.fd);
        return fds;
    }

    Kernel kernel;
};

void expect_block(const Recorded &r, unsigned long request, uint16_t val_in)
{
    EXPECT_EQ(r.number, request);
    const char expected_name[IFNAMSIZ] = "eth0";
    EXPECT_EQ(std::memcmp(r.block.ifr_name, expected_name, IFNAMSIZ), 0) << "zero-padded name";
    EXPECT_EQ(mii_of(r).phy_id, 1);
    EXPECT_EQ(mii_of(r).reg_num, 27);
    EXPECT_EQ(mii_of(r).val_in, val_in);
    EXPECT_EQ(mii_of(r).val_out, 0);
}

}  // namespace

TEST_F(PhyRequest, SetWritesEnableOrDisableValue)
{
    EXPECT_EQ(led_SetEthState(1), 0);
    EXPECT_EQ(led_SetEthState(0), 0);
    const auto requests = kernel.requests();
    ASSERT_EQ(requests.size(), 2u);
    expect_block(requests[0], SIOCSMIIREG, 0x0F00);
    expect_block(requests[1], SIOCSMIIREG, 0x0000);
}

TEST_F(PhyRequest, GetReadsRegisterAndAnyBitMeansOn)
{
    answer_register(0x0001);
    bool on = false;
    EXPECT_EQ(led_GetEthState(&on), 0);
    EXPECT_TRUE(on);
    answer_register(0);
    EXPECT_EQ(led_GetEthState(&on), 0);
    EXPECT_FALSE(on);
    ASSERT_EQ(kernel.requests().size(), 2u);
    expect_block(kernel.requests()[0], SIOCGMIIREG, 0);

    uint16_t value = 0xFFFF;
    answer_register(0x1234);
    EXPECT_EQ(__phy_op(&eth, &value, SIOCGMIIREG), 0);
    EXPECT_EQ(value, 0x1234);
}

TEST_F(PhyRequest, OneCloseOnExecSocketForAllRequests)
{
    bool on;
    led_GetEthState(&on);
    led_SetEthState(1);
    phy_write(0);
    const auto sockets = kernel.sockets();
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ((std::vector<int>{sockets[0].domain, sockets[0].type, sockets[0].protocol}),
              (std::vector<int>{AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0}));
    const auto requests = kernel.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].fd, requests[2].fd);
}

TEST_F(PhyRequest, FailedRequestPrintsMinusErrnoAndFails)
{
    fail_requests(ENODEV);
    bool on = true;
    int status = 0;
    int error = 0;
    EXPECT_EQ(capture_stderr([&] {
                  status = led_GetEthState(&on);
                  error = errno;
              }),
              "Error: phy_read (-19)\n");
    EXPECT_EQ(status, LED_E_FAILED);
    EXPECT_EQ(error, ENODEV);
    EXPECT_TRUE(on) << "state untouched";

    fail_requests(EPERM);
    EXPECT_EQ(capture_stderr([&] { status = led_SetEthState(1); }), "Error: phy_write (-1)\n");
    EXPECT_EQ(status, LED_E_FAILED);

    // errno stays the request's also when the line cannot be written.
    const int saved = ::dup(STDERR_FILENO);
    ::close(STDERR_FILENO);
    status = led_SetEthState(1);
    error = errno;
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_EQ(status, LED_E_FAILED);
    EXPECT_EQ(error, EPERM);
}

TEST_F(PhyRequest, FailedSocketIsReturnedAndRetriedLater)
{
    kernel.answer_sockets({-1, EMFILE, nullptr});
    int result = 0;
    uint16_t value = 0;
    int error = 0;
    EXPECT_EQ(capture_stderr([&] {
                  result = phy_read(&value);
                  error = errno;
              }),
              "Error: phy_read (-1)\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EMFILE);
    EXPECT_TRUE(kernel.requests().empty()) << "no request without a socket";

    kernel.answer_sockets({});
    EXPECT_EQ(phy_read(&value), 0);
    EXPECT_EQ(created_sockets().size(), 1u);
}

// Two threads making their first request together keep one socket between
// them and leak none.
TEST_F(PhyRequest, RacingFirstCallsShareOneSocket)
{
    // Each creation waits (a little) until the other thread has created one.
    kernel.answer_sockets(
        {0, 0, [this](unsigned long) {
             const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
             while (created_sockets().size() < 2 && std::chrono::steady_clock::now() < deadline)
                 std::this_thread::yield();
         }});
    auto first_call = [] {
        uint16_t value = 0;
        __phy_op(&eth, &value, SIOCGMIIREG);
    };
    std::thread a(first_call), b(first_call);
    a.join();
    b.join();
    const auto created = created_sockets();
    ASSERT_EQ(created.size(), 2u) << "both threads raced into creation";
    const auto requests = kernel.requests();
    ASSERT_EQ(requests.size(), 2u);
    const int kept = requests[0].fd;
    EXPECT_EQ(requests[1].fd, kept) << "both requests on one socket";
    const int lost = created[0] == kept ? created[1] : created[0];
    EXPECT_NE(lost, kept);
    EXPECT_EQ(::fcntl(lost, F_GETFD), -1) << "the losing socket is closed";
    EXPECT_NE(::fcntl(kept, F_GETFD), -1) << "the kept socket stays open";
}
