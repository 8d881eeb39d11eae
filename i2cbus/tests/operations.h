// Helpers shared by the i2cbus tests.
#ifndef QN_I2CBUS_TESTS_OPERATIONS_H
#define QN_I2CBUS_TESTS_OPERATIONS_H

#include "descriptors.h"
#include "i2cbus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace i2cbus_test {

using qn::test::count_open_descriptors;

// One exported operation called with valid buffers on (path, 0x50).
struct Operation {
    std::string name;
    std::function<int(const char *path, bool force)> call;
};

inline std::vector<Operation> all_operations()
{
    static uint8_t byte;
    static uint16_t word;
    static uint8_t buffer[64];
    static int length;
    return {
        {"write_byte", [](const char *p, bool f) { return i2c_SBMUS_write_byte(p, 0x50, 1, 2, f); }},
        {"write_word", [](const char *p, bool f) { return i2c_SBMUS_write_word(p, 0x50, 1, 2, f); }},
        {"write_command",
         [](const char *p, bool f) { return i2c_SBMUS_write_command(p, 0x50, 1, f); }},
        {"write_buffer",
         [](const char *p, bool f) { return i2c_SBMUS_write_buffer(p, 0x50, 1, buffer, 4, f); }},
        {"read_byte",
         [](const char *p, bool f) { return i2c_SBMUS_read_byte(p, 0x50, 1, &byte, f); }},
        {"read_word",
         [](const char *p, bool f) { return i2c_SBMUS_read_word(p, 0x50, 1, &word, f); }},
        {"read_command",
         [](const char *p, bool f) { return i2c_SBMUS_read_command(p, 0x50, &byte, f); }},
        {"read_buffer",
         [](const char *p, bool f) {
             length = 4;
             return i2c_SBMUS_read_buffer(p, 0x50, 1, buffer, &length, f);
         }},
        {"ioctl_read",
         [](const char *p, bool f) { return i2c_IOCTL_read_buffer(p, 0x50, buffer, 4, f); }},
        {"ioctl_write",
         [](const char *p, bool f) { return i2c_IOCTL_write_buffer(p, 0x50, buffer, 4, f); }},
    };
}

inline bool mutex_is_free()
{
    if (pthread_mutex_trylock(&i2c_mutex) != 0)
        return false;
    pthread_mutex_unlock(&i2c_mutex);
    return true;
}

}  // namespace i2cbus_test

#endif
