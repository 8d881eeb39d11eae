/*
 * i2cbus: one-call transfers to devices on the Linux I2C buses through the
 * i2c-dev device nodes (/dev/i2c-N).
 *
 * Every operation opens the node, binds the device address, performs one
 * SMBus transaction or one plain I2C message, closes the node and returns a
 * status: 0 on success or one of the I2C_E_* codes below. On failure one line
 * starting with "[qn_i2c] " goes to standard error. Results are stored only
 * on success.
 *
 * Any thread may call. All operations are serialized process-wide by
 * i2c_mutex, held from before the node is opened until after it is closed,
 * whatever the bus. A caller that takes i2c_mutex itself (for example to run
 * several openDevice-based transfers back to back) must not call the
 * operations while holding it.
 *
 * force: bind the address even if a kernel driver has claimed it. It is a
 * C99 bool (stdbool.h), one byte, the same type as C++ bool.
 *
 * Every descriptor the module opens is close-on-exec.
 */
#ifndef QN_I2CBUS_H
#define QN_I2CBUS_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes (0 is success). */
enum {
    I2C_E_OPEN = 60,        /* opening the device node failed */
    I2C_E_READ = 61,        /* read transaction failed */
    I2C_E_WRITE = 62,       /* write transaction failed */
    I2C_E_SET_ADDRESS = 63, /* binding the target address failed */
    I2C_E_NULL_BUFFER = 64  /* data buffer pointer is null */
};

/* Serializes every operation of the module; statically initialised. */
extern pthread_mutex_t i2c_mutex;

/* Opens path read-write and binds address (I2C_SLAVE_FORCE when force,
 * else I2C_SLAVE). The descriptor is stored through fd (negative when the
 * open fails). Returns 0 with the node open and bound, I2C_E_OPEN, or
 * I2C_E_SET_ADDRESS after closing the node again (*fd is then -1).
 * Takes no lock: the caller serializes. */
int openDevice(const char *path, int address, bool force, int *fd);

/* SMBus writes: byte data, word data, command byte only, block data.
 * A block longer than 32 bytes is cut to its first 32. */
int i2c_SBMUS_write_byte(const char *path, int address, uint8_t reg,
                         uint8_t value, bool force);
int i2c_SBMUS_write_word(const char *path, int address, uint8_t reg,
                         uint16_t value, bool force);
int i2c_SBMUS_write_command(const char *path, int address, uint8_t command,
                            bool force);
int i2c_SBMUS_write_buffer(const char *path, int address, uint8_t reg,
                           const uint8_t *data, uint8_t length, bool force);

/* SMBus reads: byte data, word data, a byte with no command. */
int i2c_SBMUS_read_byte(const char *path, int address, uint8_t reg,
                        uint8_t *result, bool force);
int i2c_SBMUS_read_word(const char *path, int address, uint8_t reg,
                        uint16_t *result, bool force);
int i2c_SBMUS_read_command(const char *path, int address, uint8_t *result,
                           bool force);

/* I2C block read starting at reg. *length is in: the number of bytes
 * wanted, of which only the low 8 bits count and at most 32 are asked for;
 * out: the number of bytes stored in data (never more than asked for). */
int i2c_SBMUS_read_buffer(const char *path, int address, uint8_t reg,
                          uint8_t *data, int *length, bool force);

/* One plain I2C message of length bytes, read into or written from data. */
int i2c_IOCTL_read_buffer(const char *path, int address, uint8_t *data,
                          uint16_t length, bool force);
int i2c_IOCTL_write_buffer(const char *path, int address, const uint8_t *data,
                           uint16_t length, bool force);

#ifdef __cplusplus
}
#endif

#endif /* QN_I2CBUS_H */
