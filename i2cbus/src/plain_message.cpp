// Plain I2C messages: one read or one write per call.
#include "i2cbus.h"
#include "kernel_io.h"
#include "transfer.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>
#include <cstdint>

namespace {

int plain_message(const char *path, int address, bool force, uint16_t flags, uint8_t *buffer,
                  uint16_t length, const qn_i2c::Failure &failure)
{
    i2c_msg message{};
    message.addr = static_cast<uint16_t>(address);
    message.flags = flags;
    message.len = length;
    message.buf = buffer;
    i2c_rdwr_ioctl_data request{};
    request.msgs = &message;
    request.nmsgs = 1;
    return qn_i2c::run_transfer(path, address, force, failure, [&](int fd) {
        const int result =
            qn_i2c::kernel_ioctl(fd, I2C_RDWR, reinterpret_cast<unsigned long>(&request));
        const int error = errno;
        return qn_i2c::Outcome{result >= 0, error};
    });
}

}  // namespace

extern "C" {

int i2c_IOCTL_read_buffer(const char *path, int address, uint8_t *data, uint16_t length, bool force)
{
    if (data == nullptr)
        return qn_i2c::refuse_null_buffer();
    return plain_message(path, address, force, I2C_M_RD, data, length, qn_i2c::kReadFailedErrno);
}

int i2c_IOCTL_write_buffer(const char *path, int address, const uint8_t *data, uint16_t length,
                           bool force)
{
    if (data == nullptr)
        return qn_i2c::refuse_null_buffer();
    // The kernel only reads the buffer of a message without I2C_M_RD.
    return plain_message(path, address, force, 0, const_cast<uint8_t *>(data), length,
                         qn_i2c::kMessageWriteFailed);
}

}  // extern "C"
