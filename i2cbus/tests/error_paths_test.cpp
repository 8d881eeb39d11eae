// Failure paths against real kernel objects; no I2C adapter is touched.
#include "operations.h"
#include "scratch.h"
#include "stderr_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace i2cbus_test;
using qn::test::StderrCapture;

// A null path is refused as the kernel refuses it, without passing it on.
TEST(ErrorPaths, MissingNodeOrNullPathGivesOpenErrorWithErrnoText)
{
    const struct {
        const char *path;
        int error;
        const char *line;
    } cases[] = {
        {"/nonexistent/i2c-0", ENOENT,
         "[qn_i2c] Unable to open device node ERROR: 2: No such file or directory\n"},
        {nullptr, EFAULT, "[qn_i2c] Unable to open device node ERROR: 14: Bad address\n"},
    };
    for (const auto &c : cases) {
        for (const auto &op : all_operations()) {
            const int fds = count_open_descriptors();
            StderrCapture capture;
            errno = 0;
            EXPECT_EQ(op.call(c.path, false), I2C_E_OPEN) << op.name;
            EXPECT_EQ(errno, c.error) << op.name;
            EXPECT_EQ(capture.finish(), c.line) << op.name;
            EXPECT_TRUE(mutex_is_free()) << op.name;
            EXPECT_EQ(count_open_descriptors(), fds) << op.name;
        }
    }
}

TEST(ErrorPaths, NodeThatIsNoAdapterFailsToBindAndIsClosed)
{
    const qn::test::ScratchDir dir("i2cbus-test");
    const std::string file = qn::test::write_file(dir.file("node"), "");
    ASSERT_NE(file, "");
    for (const char *path : {file.c_str(), "/dev/null"}) {
        // ENOTTY from the kernel, ENOSYS from a user-mode emulator.
        const int node = open(path, O_RDWR);
        ASSERT_LT(ioctl(node, I2C_SLAVE, 0x50), 0);
        const int bind_error = errno;
        close(node);
        for (bool force : {false, true}) {
            for (const auto &op : all_operations()) {
                const int fds = count_open_descriptors();
                StderrCapture capture;
                errno = 0;
                EXPECT_EQ(op.call(path, force), I2C_E_SET_ADDRESS) << op.name << " " << path;
                EXPECT_EQ(errno, bind_error) << op.name;
                EXPECT_EQ(capture.finish(), "[qn_i2c] Could not set I2C_SLAVE.\n") << op.name;
                EXPECT_TRUE(mutex_is_free()) << op.name;
                EXPECT_EQ(count_open_descriptors(), fds) << op.name << " " << path;
            }
        }
    }
}

TEST(ErrorPaths, OpenDeviceLeavesNoDescriptorBehindAfterBindFailure)
{
    int fd = 12345;
    StderrCapture quiet;
    EXPECT_EQ(openDevice("/dev/null", 0x50, false, &fd), I2C_E_SET_ADDRESS);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(openDevice("/nonexistent/i2c-0", 0x50, false, &fd), I2C_E_OPEN);
    EXPECT_LT(fd, 0);
}

// With the lock held elsewhere, a call that took it or went on to the node
// would hang (or fail to bind /dev/null) instead.
TEST(ErrorPaths, NullBufferReturnsAtOnceWithoutTheLock)
{
    struct Outcome {
        int status;
        int error;   // errno in the calling thread
        int length;  // the read length it was given, 4
    };
    const std::function<Outcome()> calls[] = {
        [] {
            errno = 0;
            const int status = i2c_SBMUS_write_buffer("/dev/null", 0x50, 0, nullptr, 4, false);
            return Outcome{status, errno, 4};
        },
        [] {
            int length = 4;
            errno = 0;
            const int status = i2c_SBMUS_read_buffer("/dev/null", 0x50, 0, nullptr, &length, false);
            return Outcome{status, errno, length};
        },
        [] {
            errno = 0;
            const int status = i2c_IOCTL_read_buffer("/dev/null", 0x50, nullptr, 4, false);
            return Outcome{status, errno, 4};
        },
        [] {
            errno = 0;
            const int status = i2c_IOCTL_write_buffer("/dev/null", 0x50, nullptr, 4, false);
            return Outcome{status, errno, 4};
        },
    };
    pthread_mutex_lock(&i2c_mutex);
    for (const auto &call : calls) {
        StderrCapture capture;
        auto result = std::async(std::launch::async, call);
        // A call that waited for the lock would hang here; free it and fail.
        const bool returned = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!returned)
            pthread_mutex_unlock(&i2c_mutex);
        ASSERT_TRUE(returned);
        const Outcome outcome = result.get();
        EXPECT_EQ(outcome.status, I2C_E_NULL_BUFFER);
        EXPECT_EQ(outcome.error, EFAULT);
        EXPECT_EQ(outcome.length, 4);
        EXPECT_EQ(capture.finish(), "");
    }
    pthread_mutex_unlock(&i2c_mutex);
}

TEST(ErrorPaths, CallWaitsWhileAnotherHoldsTheLock)
{
    std::atomic<bool> returned{false};
    pthread_mutex_lock(&i2c_mutex);
    StderrCapture capture;
    std::thread caller([&] {
        uint8_t byte = 0;
        EXPECT_EQ(i2c_SBMUS_read_byte("/nonexistent/i2c-0", 0x50, 0, &byte, false), I2C_E_OPEN);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    pthread_mutex_unlock(&i2c_mutex);
    caller.join();
    capture.finish();
    EXPECT_TRUE(returned);
}

// The thread that holds the lock may call the operations: they neither
// wait for it nor release it.
TEST(ErrorPaths, CallByTheThreadHoldingTheLockKeepsItHeld)
{
    ASSERT_EQ(pthread_mutex_lock(&i2c_mutex), 0);
    EXPECT_EQ(pthread_mutex_lock(&i2c_mutex), EDEADLK);
    StderrCapture capture;
    uint8_t byte = 0;
    alarm(10);  // a call that waited for the lock would never return
    EXPECT_EQ(i2c_SBMUS_read_byte("/nonexistent/i2c-0", 0x50, 0, &byte, false), I2C_E_OPEN);
    alarm(0);
    capture.finish();
    const int trylock_elsewhere =
        std::async(std::launch::async, [] { return pthread_mutex_trylock(&i2c_mutex); }).get();
    EXPECT_EQ(trylock_elsewhere, EBUSY) << "the call released the caller's lock";
    EXPECT_EQ(pthread_mutex_unlock(&i2c_mutex), 0);
}

}  // namespace
