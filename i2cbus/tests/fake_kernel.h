// Stands in for the i2c-dev driver at the module's ioctl boundary: records
// every request exactly as passed and answers as the test says.
#ifndef QN_I2CBUS_TESTS_FAKE_KERNEL_H
#define QN_I2CBUS_TESTS_FAKE_KERNEL_H

#include "kernel_io.h"
#include "operations.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace i2cbus_test {

struct Request {
    unsigned long number;
    unsigned long address;         // I2C_SLAVE, I2C_SLAVE_FORCE
    i2c_smbus_ioctl_data smbus;    // I2C_SMBUS
    i2c_smbus_data smbus_data;     // what smbus.data pointed to, if anything
    i2c_rdwr_ioctl_data rdwr;      // I2C_RDWR
    i2c_msg message;
    bool close_on_exec;
    bool lock_held;
    std::thread::id thread;
};

// Answer to the transfer request (binds always succeed unless bind_error).
struct Answer {
    int result = 0;
    int error = 0;
    std::function<void(i2c_smbus_data &)> fill_smbus;
    std::function<void(i2c_msg &)> fill_message;
};

class FakeKernel : public ::testing::Test {
protected:
    static inline std::mutex requests_mutex;  // the fake must not rely on the module's lock
    static inline std::vector<Request> requests;
    static inline Answer answer;
    static inline int bind_error = 0;
    char node_[32] = "/tmp/i2cbus-node-XXXXXX";

    void SetUp() override
    {
        requests.clear();
        answer = Answer{};
        bind_error = 0;
        const int fd = mkstemp(node_);
        ASSERT_GE(fd, 0);
        close(fd);
        qn_i2c_kernel_ioctl = fake_ioctl;
    }

    void TearDown() override
    {
        qn_i2c_kernel_ioctl = qn_i2c_system_ioctl;
        unlink(node_);
    }

    const char *node() const { return node_; }

    const Request &transfer() const
    {
        EXPECT_EQ(requests.size(), 2u);
        return requests.back();
    }

private:
    static void record(const Request &r)
    {
        const std::lock_guard<std::mutex> guard(requests_mutex);
        requests.push_back(r);
        // Gives another caller the chance to slip in between two requests.
        std::this_thread::yield();
    }

    static int fake_ioctl(int fd, unsigned long number, unsigned long arg)
    {
        Request r{};
        r.number = number;
        r.thread = std::this_thread::get_id();
        r.close_on_exec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
        r.lock_held = pthread_mutex_trylock(&i2c_mutex) != 0;
        if (!r.lock_held)
            pthread_mutex_unlock(&i2c_mutex);
        if (number == I2C_SLAVE || number == I2C_SLAVE_FORCE) {
            r.address = arg;
            record(r);
            errno = bind_error;
            return bind_error ? -1 : 0;
        }
        if (number == I2C_SMBUS) {
            r.smbus = *reinterpret_cast<i2c_smbus_ioctl_data *>(arg);
            if (r.smbus.data != nullptr) {
                r.smbus_data = *r.smbus.data;
                if (answer.fill_smbus)
                    answer.fill_smbus(*r.smbus.data);
            }
        } else if (number == I2C_RDWR) {
            r.rdwr = *reinterpret_cast<i2c_rdwr_ioctl_data *>(arg);
            r.message = r.rdwr.msgs[0];
            if (answer.fill_message)
                answer.fill_message(r.rdwr.msgs[0]);
        }
        record(r);
        errno = answer.error;
        return answer.result;
    }
};

}  // namespace i2cbus_test

#endif
