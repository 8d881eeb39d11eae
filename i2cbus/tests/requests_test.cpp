// The exact requests the module hands to the i2c-dev driver, and how it
// treats the driver's answers.
#include "child.h"
#include "i2c_requests.h"
#include "stderr_capture.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace i2cbus_test;
using qn::test::StderrCapture;

TEST_F(I2cRequests, EveryCallBindsUnderTheLockOnACloseOnExecNode)
{
    for (const auto &op : all_operations()) {
        for (bool force : {false, true}) {
            kernel.forget_requests();
            const int fds = count_open_descriptors();
            ASSERT_EQ(op.call(node(), force), 0) << op.name;
            const auto requests = this->requests();
            ASSERT_EQ(requests.size(), 2u) << op.name;
            EXPECT_EQ(requests[0].number, force ? 0x0706u : 0x0703u) << op.name;
            EXPECT_EQ(requests[0].arg, 0x50u) << op.name;
            for (const auto &r : requests)
                EXPECT_TRUE(r.lock_held && r.close_on_exec) << op.name;
            EXPECT_TRUE(mutex_is_free()) << op.name;
            EXPECT_EQ(count_open_descriptors(), fds) << op.name;
        }
    }
}

TEST_F(I2cRequests, ConcurrentCallsNeverInterleave)
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([this] {
            uint8_t byte;
            for (int i = 0; i < kCalls; ++i)
                ASSERT_EQ(i2c_SBMUS_read_byte(node(), 0x50, 0, &byte, false), 0);
        });
    }
    for (auto &caller : callers)
        caller.join();
    const auto requests = this->requests();
    ASSERT_EQ(requests.size(), 2u * kThreads * kCalls);
    for (size_t i = 0; i < requests.size(); i += 2) {
        ASSERT_EQ(requests[i].number, 0x0703u) << i;
        ASSERT_EQ(requests[i + 1].number, 0x0720u) << i;
        ASSERT_EQ(requests[i].thread, requests[i + 1].thread) << i;
    }
}

TEST_F(I2cRequests, SmbusRequestBlocks)
{
    uint8_t byte = 0;
    uint16_t word = 0;
    struct Case {
        std::function<int()> call;
        uint8_t read_write, command;
        uint32_t size;
    };
    const Case cases[] = {
        {[&] { return i2c_SBMUS_write_byte(node(), 0x50, 0x10, 0xAB, false); }, 0, 0x10, 2},
        {[&] { return i2c_SBMUS_write_word(node(), 0x50, 0x11, 0xBEEF, false); }, 0, 0x11, 3},
        {[&] { return i2c_SBMUS_write_command(node(), 0x50, 0x12, false); }, 0, 0x12, 1},
        {[&] { return i2c_SBMUS_read_byte(node(), 0x50, 0x13, &byte, false); }, 1, 0x13, 2},
        {[&] { return i2c_SBMUS_read_word(node(), 0x50, 0x14, &word, false); }, 1, 0x14, 3},
        {[&] { return i2c_SBMUS_read_command(node(), 0x50, &byte, false); }, 1, 0, 1},
    };
    for (const auto &c : cases) {
        kernel.forget_requests();
        ASSERT_EQ(c.call(), 0);
        const Request &r = transfer();
        EXPECT_EQ(r.number, 0x0720u);
        EXPECT_EQ(r.smbus.read_write, c.read_write);
        EXPECT_EQ(r.smbus.command, c.command);
        EXPECT_EQ(r.smbus.size, c.size);
    }
    kernel.forget_requests();
    i2c_SBMUS_write_byte(node(), 0x50, 0x10, 0xAB, false);
    EXPECT_EQ(transfer().smbus_data.byte, 0xAB);
    kernel.forget_requests();
    i2c_SBMUS_write_word(node(), 0x50, 0x10, 0xBEEF, false);
    EXPECT_EQ(transfer().smbus_data.word, 0xBEEF);
    kernel.forget_requests();
    i2c_SBMUS_write_command(node(), 0x50, 0x12, false);
    EXPECT_EQ(transfer().smbus.data, nullptr);
}

TEST_F(I2cRequests, ReadsStoreTheAnswerOnlyOnSuccess)
{
    answer.fill_smbus = [](i2c_smbus_data &d) { d.word = 0xBEEF; };
    uint8_t byte = 0;
    uint16_t word = 0;
    ASSERT_EQ(i2c_SBMUS_read_byte(node(), 0x50, 0, &byte, false), 0);
    ASSERT_EQ(i2c_SBMUS_read_word(node(), 0x50, 0, &word, false), 0);
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(byte, reinterpret_cast<const uint8_t *>(&word)[0]);
    uint8_t command_byte = 0;
    ASSERT_EQ(i2c_SBMUS_read_command(node(), 0x50, &command_byte, false), 0);
    EXPECT_EQ(command_byte, byte);

    answer.fill_smbus = [](i2c_smbus_data &d) { d.word = 0x1111; };
    for (int result : {-1, 1}) {
        answer.result = result;
        StderrCapture capture;
        EXPECT_EQ(i2c_SBMUS_read_byte(node(), 0x50, 0, &byte, false), I2C_E_READ);
        EXPECT_EQ(i2c_SBMUS_read_word(node(), 0x50, 0, &word, false), I2C_E_READ);
        EXPECT_EQ(i2c_SBMUS_read_command(node(), 0x50, &byte, false), I2C_E_READ);
        capture.finish();
        EXPECT_EQ(word, 0xBEEF);
        EXPECT_EQ(byte, command_byte);
    }
}

TEST_F(I2cRequests, FailureStatusAndLine)
{
    const std::string read = "[qn_i2c] I2C Read operation failed.\n";
    const std::string read_errno = "[qn_i2c] I2C Read operation failed - 121.\n";
    const std::string write = "[qn_i2c] I2C Write Operation failed.\n";
    const std::string write_errno = "[qn_i2c] I2C Write Operation failed - 121.\n";
    const std::map<std::string, std::pair<int, std::string>> expected = {
        {"write_byte", {62, write}},
        {"write_word", {62, write}},
        {"write_command", {62, write_errno}},
        {"write_buffer", {62, write_errno}},
        {"read_byte", {61, read}},
        {"read_word", {61, read}},
        {"read_command", {61, read}},
        {"read_buffer", {61, read_errno}},
        {"ioctl_read", {61, read_errno}},
        {"ioctl_write", {62, "[qn_i2c] I2C Write operation failed - 121.\n"}},
    };
    answer.result = -1;
    answer.error = 121;
    for (const auto &op : all_operations()) {
        const int fds = count_open_descriptors();
        StderrCapture capture;
        EXPECT_EQ(op.call(node(), false), expected.at(op.name).first) << op.name;
        EXPECT_EQ(errno, 121) << op.name << ": errno is the request's, after the line";
        EXPECT_EQ(capture.finish(), expected.at(op.name).second) << op.name;
        EXPECT_TRUE(mutex_is_free()) << op.name;
        EXPECT_EQ(count_open_descriptors(), fds) << op.name;
    }
}

TEST_F(I2cRequests, OnlySmbusReadsRejectAPositiveAnswer)
{
    answer.result = 1;  // I2C_RDWR answers with the number of messages
    for (const auto &op : all_operations()) {
        const bool smbus_read = op.name.starts_with("read_");
        StderrCapture capture;
        EXPECT_EQ(op.call(node(), false), smbus_read ? I2C_E_READ : 0) << op.name;
        capture.finish();
    }
}

TEST_F(I2cRequests, BlockWriteSendsAtMost32Bytes)
{
    std::array<uint8_t, 40> data;
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    for (uint8_t length : {40, 32, 5, 0}) {
        kernel.forget_requests();
        ASSERT_EQ(i2c_SBMUS_write_buffer(node(), 0x50, 0x20, data.data(), length, false), 0);
        const Request &r = transfer();
        const uint8_t count = std::min<uint8_t>(length, 32);
        EXPECT_EQ(r.smbus.read_write, 0);
        EXPECT_EQ(r.smbus.command, 0x20);
        EXPECT_EQ(r.smbus.size, 5u);
        EXPECT_EQ(r.smbus_data.block[0], count) << int(length);
        EXPECT_EQ(std::memcmp(&r.smbus_data.block[1], data.data(), count), 0);
    }
}

TEST_F(I2cRequests, BlockReadRequestForm)
{
    struct Case {
        int requested;
        uint32_t size;
        uint8_t count;
    };
    // Only the low byte of the request counts: 300 is 44, 260 is 4.
    const Case cases[] = {{16, 8, 16},  {31, 8, 31}, {32, 6, 32}, {40, 6, 32},
                          {300, 6, 32}, {260, 8, 4}, {-1, 6, 32}};
    answer.fill_smbus = [](i2c_smbus_data &d) {
        for (int i = 1; i <= 32; ++i)
            d.block[i] = static_cast<uint8_t>(0xA0 + i);
    };
    for (const auto &c : cases) {
        kernel.forget_requests();
        std::array<uint8_t, 300> buffer{};
        int length = c.requested;
        ASSERT_EQ(i2c_SBMUS_read_buffer(node(), 0x50, 0x30, buffer.data(), &length, false), 0);
        const Request &r = transfer();
        EXPECT_EQ(r.smbus.read_write, 1);
        EXPECT_EQ(r.smbus.command, 0x30);
        EXPECT_EQ(r.smbus.size, c.size) << c.requested;
        EXPECT_EQ(r.smbus_data.block[0], c.count) << c.requested;
        EXPECT_EQ(length, c.count) << c.requested;
        for (int i = 0; i < c.count; ++i)
            ASSERT_EQ(buffer[i], 0xA1 + i) << c.requested;
        EXPECT_EQ(buffer[c.count], 0) << c.requested;
    }
}

TEST_F(I2cRequests, BlockReadStoresAtMostWhatWasAskedFor)
{
    struct Case {
        int requested;
        uint8_t answered_count;
        int stored;
    };
    const Case cases[] = {{16, 3, 3}, {40, 200, 32}, {32, 33, 32}, {4, 32, 4}};
    for (const auto &c : cases) {
        answer.fill_smbus = [&](i2c_smbus_data &d) {
            d.block[0] = c.answered_count;
            std::memset(&d.block[1], 0x5A, 33);
        };
        std::array<uint8_t, 64> buffer{};
        int length = c.requested;
        ASSERT_EQ(i2c_SBMUS_read_buffer(node(), 0x50, 0, buffer.data(), &length, false), 0);
        EXPECT_EQ(length, c.stored) << c.requested;
        EXPECT_EQ(buffer[c.stored - 1], 0x5A) << c.requested;
        EXPECT_EQ(buffer[c.stored], 0) << c.requested;
    }

    answer.result = -1;
    std::array<uint8_t, 64> buffer{};
    int length = 16;
    StderrCapture capture;
    EXPECT_EQ(i2c_SBMUS_read_buffer(node(), 0x50, 0, buffer.data(), &length, false), I2C_E_READ);
    capture.finish();
    EXPECT_EQ(length, 16);
    EXPECT_EQ(buffer, (std::array<uint8_t, 64>{}));
}

TEST_F(I2cRequests, PlainMessages)
{
    std::array<uint8_t, 300> buffer{};
    answer.fill_message = [](i2c_msg &m) { std::memset(m.buf, 0x77, m.len); };
    ASSERT_EQ(i2c_IOCTL_read_buffer(node(), 0x3FF, buffer.data(), 300, false), 0);
    const Request read = transfer();
    EXPECT_EQ(read.number, 0x0707u);
    EXPECT_EQ(read.rdwr.nmsgs, 1u);
    EXPECT_EQ(read.message.addr, 0x3FF);
    EXPECT_EQ(read.message.flags, 0x0001);
    EXPECT_EQ(read.message.len, 300);
    EXPECT_EQ(read.message.buf, buffer.data());
    EXPECT_EQ(buffer[299], 0x77);

    kernel.forget_requests();
    answer.fill_message = nullptr;
    ASSERT_EQ(i2c_IOCTL_write_buffer(node(), 0x50, buffer.data(), 7, false), 0);
    const Request write = transfer();
    EXPECT_EQ(write.message.addr, 0x50);
    EXPECT_EQ(write.message.flags, 0);
    EXPECT_EQ(write.message.len, 7);
    EXPECT_EQ(write.message.buf, buffer.data());
}

// Runs child() in a forked process that is killed if it hangs.
qn::test::ChildResult in_child(const std::function<bool()> &child)
{
    qn::test::ChildOptions options;
    options.timeout_seconds = 10;
    return qn::test::run_in_child(options, nullptr, [&] {
        return child() ? std::string() : std::string("the child's checks failed");
    });
}

// An application started with 2>&- (or a daemon that closed stderr): the
// node must not take descriptor 2, where every failure line would go into
// it, which on an i2c-dev node is an I2C write to the device.
TEST_F(I2cRequests, NodeNeverTakesAClosedStderr)
{
    EXPECT_CHILD_PASSED(in_child([this] {
        close(STDERR_FILENO);
        bool right = true;
        answer.result = -1;
        answer.error = EIO;
        // errno stays the request's although the line cannot be written.
        for (const auto &op : all_operations())
            right = right && op.call(node(), false) != 0 && errno == EIO;
        bind_error = ENOTTY;
        for (const auto &op : all_operations())
            right = right && op.call(node(), false) == I2C_E_SET_ADDRESS && errno == ENOTTY;
        return right;
    }));
    struct stat node_stat {};
    ASSERT_EQ(stat(node(), &node_stat), 0);
    EXPECT_EQ(node_stat.st_size, 0) << "failure lines were written into the node";
}

// A child forked while another thread is inside a transfer finds the lock
// free. A thread that forks while holding the lock itself (to run several
// openDevice transfers) neither deadlocks nor loses it.
TEST_F(I2cRequests, ForkLeavesTheChildAUsableLock)
{
    std::atomic<bool> inside{false};
    answer.fill_smbus = [&](i2c_smbus_data &) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    std::thread caller([this] {
        uint8_t byte;
        i2c_SBMUS_read_byte(node(), 0x50, 0, &byte, false);
    });
    while (!inside)
        std::this_thread::yield();
    auto first_call_returns = [] {
        freopen("/dev/null", "w", stderr);
        uint8_t byte;
        return i2c_SBMUS_read_byte("/nonexistent/i2c-0", 0x50, 0, &byte, false) == I2C_E_OPEN;
    };
    EXPECT_CHILD_PASSED(in_child(first_call_returns)) << "child forked during a transfer";
    caller.join();

    EXPECT_CHILD_PASSED(in_child([&] {
        pthread_mutex_lock(&i2c_mutex);
        const bool child_ok = in_child([] {
                                  if (pthread_mutex_trylock(&i2c_mutex) == 0)
                                      return false;  // the forking thread's lock was lost
                                  pthread_mutex_unlock(&i2c_mutex);
                                  return true;
                              }).passed();
        pthread_mutex_unlock(&i2c_mutex);
        return child_ok && in_child(first_call_returns).passed();
    })) << "fork by the thread holding the lock";
}

}  // namespace
