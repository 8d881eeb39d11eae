// PHY requests observed at the system-call boundary, with no network.
#include "boardleds.h"
#include "isolated_child.h"

#include "../src/phy_seam.h"

#include <gtest/gtest.h>

#include <atomic>
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

using boardleds::testing::capture_stderr;
namespace seam = boardleds::seam;

namespace {

struct Recorded {
    int fd;
    unsigned long request;
    ifreq block;
};

struct FakeKernel {
    std::atomic<int> sockets_created{0};
    std::vector<int> socket_args;
    int socket_result_errno = 0;  // non-zero: creation fails
    std::vector<Recorded> requests;
    uint16_t register_value = 0;
    int request_errno = 0;         // non-zero: the request fails
    std::atomic<int> racers{0};    // socket calls wait until this many arrived
    std::atomic<int> created_fds[2] = {-1, -1};
};

FakeKernel *fake;

int fake_socket(int domain, int type, int protocol)
{
    fake->socket_args = {domain, type, protocol};
    if (fake->socket_result_errno != 0) {
        errno = fake->socket_result_errno;
        return -1;
    }
    const int index = fake->sockets_created++;
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (index < 2)
        fake->created_fds[index] = fd;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (fake->sockets_created < fake->racers && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return fd;
}

int fake_ioctl(int fd, unsigned long request, void *arg)
{
    auto *block = static_cast<ifreq *>(arg);
    fake->requests.push_back({fd, request, *block});
    if (fake->request_errno != 0) {
        errno = fake->request_errno;
        return -1;
    }
    reinterpret_cast<mii_ioctl_data *>(&block->ifr_ifru)->val_out = fake->register_value;
    return 0;
}

const mii_ioctl_data &mii_of(const Recorded &r)
{
    return *reinterpret_cast<const mii_ioctl_data *>(&r.block.ifr_ifru);
}

class PhyRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &kernel;
        seam::forget_socket();
        seam::create_socket = fake_socket;
        seam::issue_request = fake_ioctl;
    }
    void TearDown() override
    {
        seam::forget_socket();
        seam::use_system_calls();
        fake = nullptr;
    }
    FakeKernel kernel;
};

void expect_block(const Recorded &r, unsigned long request, uint16_t val_in)
{
    EXPECT_EQ(r.request, request);
    const char expected_name[IFNAMSIZ] = "eth0";
    EXPECT_EQ(std::memcmp(r.block.ifr_name, expected_name, IFNAMSIZ), 0) << "zero-padded name";
    EXPECT_EQ(mii_of(r).phy_id, 1);
    EXPECT_EQ(mii_of(r).reg_num, 27);
    EXPECT_EQ(mii_of(r).val_in, val_in);
    EXPECT_EQ(mii_of(r).val_out, 0);
}

} // namespace

TEST_F(PhyRequest, SetWritesEnableOrDisableValue)
{
    EXPECT_EQ(led_SetEthState(1), 0);
    EXPECT_EQ(led_SetEthState(0), 0);
    ASSERT_EQ(kernel.requests.size(), 2u);
    expect_block(kernel.requests[0], SIOCSMIIREG, 0x0F00);
    expect_block(kernel.requests[1], SIOCSMIIREG, 0x0000);
}

TEST_F(PhyRequest, GetReadsRegisterAndAnyBitMeansOn)
{
    kernel.register_value = 0x0001;
    bool on = false;
    EXPECT_EQ(led_GetEthState(&on), 0);
    EXPECT_TRUE(on);
    kernel.register_value = 0;
    EXPECT_EQ(led_GetEthState(&on), 0);
    EXPECT_FALSE(on);
    ASSERT_EQ(kernel.requests.size(), 2u);
    expect_block(kernel.requests[0], SIOCGMIIREG, 0);

    uint16_t value = 0xFFFF;
    kernel.register_value = 0x1234;
    EXPECT_EQ(__phy_op(&eth, &value, SIOCGMIIREG), 0);
    EXPECT_EQ(value, 0x1234);
}

TEST_F(PhyRequest, OneCloseOnExecSocketForAllRequests)
{
    bool on;
    led_GetEthState(&on);
    led_SetEthState(1);
    phy_write(0);
    EXPECT_EQ(kernel.sockets_created, 1);
    EXPECT_EQ(kernel.socket_args, (std::vector<int>{AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0}));
    ASSERT_EQ(kernel.requests.size(), 3u);
    EXPECT_EQ(kernel.requests[0].fd, kernel.requests[2].fd);
}

TEST_F(PhyRequest, FailedRequestPrintsMinusErrnoAndFails)
{
    kernel.request_errno = ENODEV;
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

    kernel.request_errno = EPERM;
    EXPECT_EQ(capture_stderr([&] { status = led_SetEthState(1); }),
              "Error: phy_write (-1)\n");
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
    kernel.socket_result_errno = EMFILE;
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
    EXPECT_TRUE(kernel.requests.empty()) << "no request without a socket";

    kernel.socket_result_errno = 0;
    EXPECT_EQ(phy_read(&value), 0);
    EXPECT_EQ(kernel.sockets_created, 1);
}

std::atomic<int> raced_request_fds[2];
std::atomic<int> raced_requests;

// Two threads making their first request together keep one socket between
// them and leak none.
TEST_F(PhyRequest, RacingFirstCallsShareOneSocket)
{
    kernel.racers = 2;
    raced_requests = 0;
    seam::issue_request = [](int fd, unsigned long, void *) {
        raced_request_fds[raced_requests++ % 2] = fd;
        return 0;
    };
    auto first_call = [] {
        uint16_t value = 0;
        __phy_op(&eth, &value, SIOCGMIIREG);
    };
    std::thread a(first_call), b(first_call);
    a.join();
    b.join();
    ASSERT_EQ(kernel.sockets_created, 2) << "both threads raced into creation";
    ASSERT_EQ(raced_requests, 2);
    const int kept = raced_request_fds[0];
    EXPECT_EQ(raced_request_fds[1], kept) << "both requests on one socket";
    const int lost = kernel.created_fds[0] == kept ? kernel.created_fds[1] : kernel.created_fds[0];
    EXPECT_NE(lost, kept);
    EXPECT_EQ(::fcntl(lost, F_GETFD), -1) << "the losing socket is closed";
    EXPECT_NE(::fcntl(kept, F_GETFD), -1) << "the kept socket stays open";
}
