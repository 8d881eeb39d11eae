// Layouts of the structures the kit hands to the kernel in ioctl calls, for
// the 32-bit ARM board and for the x86_64 build machine. A wrong size or
// offset here would make the kernel read a pointer or a length from the
// wrong bytes, so every target the kit is built for must be listed.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/mii.h>
#include <linux/sockios.h>

namespace {

struct Layout {
    std::size_t pointer;
    std::size_t i2c_msg;  // addr, flags, len, then the buffer pointer
    std::size_t i2c_msg_buf;
    std::size_t smbus_ioctl;  // read_write, command, size, then the data pointer
    std::size_t smbus_ioctl_size;
    std::size_t smbus_ioctl_data;
    std::size_t rdwr_ioctl;  // message pointer, then the message count
    std::size_t rdwr_ioctl_nmsgs;
    std::size_t ifreq;        // name, then the request union
    std::size_t ifreq_union;  // largest member: struct ifmap (two longs)
};

#if defined(__arm__) && !defined(__aarch64__)
#if __ARM_ARCH != 7 || !defined(__ARM_PCS_VFP)
#error "the board is ARMv7-A with the hard-float calling convention"
#endif
constexpr Layout kernel{4, 12, 8, 12, 4, 8, 8, 4, 32, 16};
#elif defined(__x86_64__)
constexpr Layout kernel{8, 16, 8, 16, 4, 8, 16, 8, 40, 24};
#else
#error "kernel structure layouts not listed for this target"
#endif

static_assert(sizeof(void *) == kernel.pointer);
static_assert(sizeof(long) == kernel.pointer, "ifmap and ioctl arguments use long");

// i2c-dev: plain messages (I2C_RDWR)
static_assert(offsetof(i2c_msg, addr) == 0);
static_assert(offsetof(i2c_msg, flags) == 2);
static_assert(offsetof(i2c_msg, len) == 4);
static_assert(offsetof(i2c_msg, buf) == kernel.i2c_msg_buf);
static_assert(sizeof(i2c_msg) == kernel.i2c_msg);
static_assert(offsetof(i2c_rdwr_ioctl_data, msgs) == 0);
static_assert(offsetof(i2c_rdwr_ioctl_data, nmsgs) == kernel.rdwr_ioctl_nmsgs);
static_assert(sizeof(i2c_rdwr_ioctl_data) == kernel.rdwr_ioctl);

// i2c-dev: SMBus transactions (I2C_SMBUS)
static_assert(sizeof(i2c_smbus_data) == I2C_SMBUS_BLOCK_MAX + 2);
static_assert(alignof(i2c_smbus_data) == 2);
static_assert(offsetof(i2c_smbus_ioctl_data, read_write) == 0);
static_assert(offsetof(i2c_smbus_ioctl_data, command) == 1);
static_assert(offsetof(i2c_smbus_ioctl_data, size) == kernel.smbus_ioctl_size);
static_assert(offsetof(i2c_smbus_ioctl_data, data) == kernel.smbus_ioctl_data);
static_assert(sizeof(i2c_smbus_ioctl_data) == kernel.smbus_ioctl);

// Interface request carrying the MII registers (SIOCGMIIREG, SIOCSMIIREG)
static_assert(IFNAMSIZ == 16);
static_assert(offsetof(ifreq, ifr_ifrn) == 0);
static_assert(offsetof(ifreq, ifr_ifru) == IFNAMSIZ);
static_assert(sizeof(ifreq::ifr_ifru) == kernel.ifreq_union);
static_assert(sizeof(ifreq) == kernel.ifreq);
static_assert(offsetof(mii_ioctl_data, phy_id) == 0);
static_assert(offsetof(mii_ioctl_data, reg_num) == 2);
static_assert(offsetof(mii_ioctl_data, val_in) == 4);
static_assert(offsetof(mii_ioctl_data, val_out) == 6);
static_assert(sizeof(mii_ioctl_data) <= sizeof(ifreq::ifr_ifru));

// Directory walks and file copies use the 64-bit file interfaces on every
// target; 32-bit ones fail with EOVERFLOW on large files and on file
// systems with 64-bit inode numbers or directory offsets.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8);

// Request numbers are the same on every Linux target.
static_assert(I2C_SLAVE == 0x0703 && I2C_SLAVE_FORCE == 0x0706);
static_assert(I2C_RDWR == 0x0707 && I2C_SMBUS == 0x0720);
static_assert(SIOCGMIIREG == 0x8948 && SIOCSMIIREG == 0x8949);

// The kernel (or the emulator translating for it) fills the request union
// at the offset the build assumed: the loopback interface's index comes
// back where the build reads it, and the index gives back its name.
TEST(KernelAbi, InterfaceRequestRoundTripsThroughTheKernel)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    ASSERT_EQ(ioctl(sock, SIOCGIFINDEX, &request), 0);
    EXPECT_EQ(static_cast<unsigned>(request.ifr_ifindex), if_nametoindex("lo"));

    ifreq by_index{};
    by_index.ifr_ifindex = request.ifr_ifindex;
    ASSERT_EQ(ioctl(sock, SIOCGIFNAME, &by_index), 0);
    EXPECT_STREQ(by_index.ifr_name, "lo");
    close(sock);
}

}  // namespace
