// SMBus transactions, one per call.
#include "i2cbus.h"
#include "kernel_io.h"
#include "transfer.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

using qn_i2c::Failure;
using qn_i2c::Outcome;

constexpr uint8_t kBlockMax = I2C_SMBUS_BLOCK_MAX;

// Module-internal: must not collide with the C symbol of the same name that
// SMBus helper libraries export.
int i2c_smbus_access(int fd, uint8_t read_write, uint8_t command, uint32_t size, i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = command;
    args.size = size;
    args.data = data;
    return qn_i2c::kernel_ioctl(fd, I2C_SMBUS, reinterpret_cast<unsigned long>(&args));
}

// Reads fail on any non-zero answer, writes only on a negative one.
int smbus_transfer(const char *path, int address, bool force, uint8_t read_write, uint8_t command,
                   uint32_t size, i2c_smbus_data *data, const Failure &failure)
{
    return qn_i2c::run_transfer(path, address, force, failure, [&](int fd) {
        const int result = i2c_smbus_access(fd, read_write, command, size, data);
        const int error = errno;
        const bool ok = read_write == I2C_SMBUS_READ ? result == 0 : result >= 0;
        return Outcome{ok, error};
    });
}

int smbus_write(const char *path, int address, bool force, uint8_t command, uint32_t size,
                i2c_smbus_data *data, const Failure &failure)
{
    return smbus_transfer(path, address, force, I2C_SMBUS_WRITE, command, size, data, failure);
}

int smbus_read(const char *path, int address, bool force, uint8_t command, uint32_t size,
               i2c_smbus_data *data, const Failure &failure)
{
    return smbus_transfer(path, address, force, I2C_SMBUS_READ, command, size, data, failure);
}

// A byte or word read: the result is stored only on success.
template <class Value>
int smbus_read_value(const char *path, int address, bool force, uint8_t command, uint32_t size,
                     Value i2c_smbus_data::*field, Value *result)
{
    i2c_smbus_data data{};
    const int status = smbus_read(path, address, force, command, size, &data, qn_i2c::kReadFailed);
    if (status == 0)
        *result = data.*field;
    return status;
}

}  // namespace

extern "C" {

int i2c_SBMUS_write_byte(const char *path, int address, uint8_t reg, uint8_t value, bool force)
{
    i2c_smbus_data data{};
    data.byte = value;
    return smbus_write(path, address, force, reg, I2C_SMBUS_BYTE_DATA, &data, qn_i2c::kWriteFailed);
}

int i2c_SBMUS_write_word(const char *path, int address, uint8_t reg, uint16_t value, bool force)
{
    i2c_smbus_data data{};
    data.word = value;
    return smbus_write(path, address, force, reg, I2C_SMBUS_WORD_DATA, &data, qn_i2c::kWriteFailed);
}

int i2c_SBMUS_write_command(const char *path, int address, uint8_t command, bool force)
{
    // The command byte is the whole transaction: no data block.
    return smbus_write(path, address, force, command, I2C_SMBUS_BYTE, nullptr,
                       qn_i2c::kWriteFailedErrno);
}

int i2c_SBMUS_write_buffer(const char *path, int address, uint8_t reg, const uint8_t *data,
                           uint8_t length, bool force)
{
    if (data == nullptr)
        return qn_i2c::refuse_null_buffer();
    i2c_smbus_data block{};
    const uint8_t count = std::min(length, kBlockMax);
    block.block[0] = count;
    std::memcpy(&block.block[1], data, count);
    return smbus_write(path, address, force, reg, I2C_SMBUS_BLOCK_DATA, &block,
                       qn_i2c::kWriteFailedErrno);
}

int i2c_SBMUS_read_byte(const char *path, int address, uint8_t reg, uint8_t *result, bool force)
{
    return smbus_read_value(path, address, force, reg, I2C_SMBUS_BYTE_DATA, &i2c_smbus_data::byte,
                            result);
}

int i2c_SBMUS_read_word(const char *path, int address, uint8_t reg, uint16_t *result, bool force)
{
    return smbus_read_value(path, address, force, reg, I2C_SMBUS_WORD_DATA, &i2c_smbus_data::word,
                            result);
}

int i2c_SBMUS_read_command(const char *path, int address, uint8_t *result, bool force)
{
    return smbus_read_value(path, address, force, 0, I2C_SMBUS_BYTE, &i2c_smbus_data::byte, result);
}

int i2c_SBMUS_read_buffer(const char *path, int address, uint8_t reg, uint8_t *data, int *length,
                          bool force)
{
    if (data == nullptr)
        return qn_i2c::refuse_null_buffer();
    // Only the low byte of the request counts. 32 and more go through the
    // kernel's fixed 32-byte form.
    const auto wanted = static_cast<uint8_t>(*length);
    i2c_smbus_data block{};
    const uint8_t asked = std::min(wanted, kBlockMax);
    const uint32_t size = wanted >= kBlockMax ? I2C_SMBUS_I2C_BLOCK_BROKEN : I2C_SMBUS_I2C_BLOCK_DATA;
    block.block[0] = asked;
    const int status = smbus_read(path, address, force, reg, size, &block, qn_i2c::kReadFailedErrno);
    if (status != 0)
        return status;
    // A driver answering with a larger count must not overrun the block or
    // the caller's buffer, which holds only what was asked for.
    const uint8_t received = std::min(block.block[0], asked);
    std::memcpy(data, &block.block[1], received);
    *length = received;
    return 0;
}

}  // extern "C"
