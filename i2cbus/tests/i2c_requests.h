// The module's test build over the kernel stand-in: every i2c-dev request
// recorded exactly as passed, and answered as the test says.
#ifndef QN_I2CBUS_TESTS_I2C_REQUESTS_H
#define QN_I2CBUS_TESTS_I2C_REQUESTS_H

#include "fake_kernel.h"
#include "operations.h"
#include "scratch.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include <string>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

namespace i2cbus_test {

// What an i2c-dev request carried, copied before the answer changes it.
struct I2cDetail {
    I2cDetail(int fd, unsigned long number, unsigned long arg)
    {
        close_on_exec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
        lock_held = !mutex_is_free();
        if (number == I2C_SMBUS) {
            smbus = *reinterpret_cast<i2c_smbus_ioctl_data *>(arg);
            if (smbus.data != nullptr)
                smbus_data = *smbus.data;
        } else if (number == I2C_RDWR) {
            rdwr = *reinterpret_cast<i2c_rdwr_ioctl_data *>(arg);
            message = rdwr.msgs[0];
        }
    }
    i2c_smbus_ioctl_data smbus{};  // I2C_SMBUS
    i2c_smbus_data smbus_data{};   // what smbus.data pointed to, if anything
    i2c_rdwr_ioctl_data rdwr{};    // I2C_RDWR
    i2c_msg message{};
    bool close_on_exec;
    bool lock_held;
};

using Kernel = qn::test::FakeKernel<I2cDetail>;
using Request = Kernel::Request;  // arg: the address of a bind

// Answer to the transfer request (binds always succeed unless bind_error).
struct Answer {
    int result = 0;
    int error = 0;
    std::function<void(i2c_smbus_data &)> fill_smbus;
    std::function<void(i2c_msg &)> fill_message;
};

class I2cRequests : public ::testing::Test {
protected:
    Kernel kernel;
    Answer answer;
    int bind_error = 0;
    qn::test::ScratchDir dir_{"i2cbus-node"};
    // A plain file: what the module writes into it shows up.
    std::string node_ = qn::test::write_file(dir_.file("node"), "");

    void SetUp() override
    {
        ASSERT_NE(node_, "");
        kernel.answer_with([this](const Request &r) { return answer_to(r); });
    }

    const char *node() const { return node_.c_str(); }
    std::vector<Request> requests() const { return kernel.requests(); }

    Request transfer() const
    {
        const auto all = requests();
        EXPECT_EQ(all.size(), 2u);
        return all.back();
    }

private:
    qn::test::KernelAnswer answer_to(const Request &r) const
    {
        if (r.number == I2C_SLAVE || r.number == I2C_SLAVE_FORCE)
            return {bind_error ? -1 : 0, bind_error, nullptr};
        qn::test::KernelAnswer a{answer.result, answer.error, nullptr};
        if (r.number == I2C_SMBUS && answer.fill_smbus && r.smbus.data != nullptr)
            a.fill = [fill = answer.fill_smbus, data = r.smbus.data](unsigned long) { fill(*data); };
        if (r.number == I2C_RDWR && answer.fill_message)
            a.fill = [fill = answer.fill_message, msg = r.rdwr.msgs](unsigned long) { fill(msg[0]); };
        return a;
    }
};

}  // namespace i2cbus_test

#endif
