/*
 * i2cbus: one-call transfers to devices on the Linux I2C buses through the
 * i2c-dev device nodes (/dev/i2c-N).
 *
 * Every operation opens the node, binds the device address, performs one
 * SMBus transaction or one plain I2C message, closes the node and returns a
 * status: 0 on success or one of the I2C_E_* codes below. On failure one line
 * starting with "[qn_i2c] " goes to standard error, and errno holds the error
 * of the failed request (ENXIO or EREMOTEIO for a device that does not
 * answer, ETIMEDOUT for a bus timeout, EOPNOTSUPP for a transfer the adapter
 * cannot do); errno is unspecified after success. Results are stored only
 * on success.
 *
 * Threads: any thread may call. All operations are serialized process-wide
 * by i2c_mutex, held from before the node is opened until after it is
 * closed, whatever the bus. A caller may take i2c_mutex itself (for
 * example to run several openDevice-based transfers back to back); the
 * operations it calls while holding it run under that hold and leave it
 * held.
 *
 * Fork: fork() waits until no other thread holds i2c_mutex, so the child
 * starts with it free; a thread that forks while holding i2c_mutex itself
 * holds it in the child too and releases it there as usual. The node is
 * close-on-exec, as is every descriptor the module opens, and never takes
 * descriptors 0 to 2, even when the application has closed them.
 *
 * force: bind the address even if a kernel driver has claimed it. It is a
 * C99 bool (stdbool.h), one byte, the same type as C++ bool.
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

/* Failure lines, as printed to standard error (%d is the errno value):
 *   I2C_E_OPEN         "[qn_i2c] Unable to open device node ERROR: %d: %s\n"
 *                      (with strerror; a null path reads as EFAULT)
 *   I2C_E_SET_ADDRESS  "[qn_i2c] Could not set I2C_SLAVE.\n"
 *   I2C_E_READ         "[qn_i2c] I2C Read operation failed.\n" or,
 *                      where noted, "[qn_i2c] I2C Read operation failed - %d.\n"
 *   I2C_E_WRITE        "[qn_i2c] I2C Write Operation failed.\n" or,
 *                      where noted, "[qn_i2c] I2C Write Operation failed - %d.\n"
 *   I2C_E_NULL_BUFFER  no line; errno is EFAULT
 * Every operation below returns 0, I2C_E_OPEN or I2C_E_SET_ADDRESS, and the
 * failure status it names. */

extern pthread_mutex_t i2c_mutex;
/* Serializes every operation of the module. An error-checking mutex
 * (PTHREAD_MUTEX_ERRORCHECK), set up before the application's own
 * constructors run: locking it again from the thread that holds it
 * returns EDEADLK, unlocking it from another thread EPERM. */

int openDevice(const char *path, int address, bool force, int *fd);
/* Opens path read-write and binds address (I2C_SLAVE_FORCE when force,
 * else I2C_SLAVE); takes no lock: the caller serializes. Returns 0 with the
 * node open and bound and its descriptor in *fd; I2C_E_OPEN with *fd
 * negative; or I2C_E_SET_ADDRESS after closing the node again, *fd -1.
 * Prints the line of the failure status. */

int i2c_SBMUS_write_byte(const char *path, int address, uint8_t reg, uint8_t value, bool force);
/* SMBus write byte data: value to register reg. Fails with I2C_E_WRITE
 * ("... Write Operation failed."). */

int i2c_SBMUS_write_word(const char *path, int address, uint8_t reg, uint16_t value, bool force);
/* SMBus write word data: value to register reg. Fails with I2C_E_WRITE
 * ("... Write Operation failed."). */

int i2c_SBMUS_write_command(const char *path, int address, uint8_t command, bool force);
/* SMBus send byte: the command byte alone. Fails with I2C_E_WRITE
 * ("... Write Operation failed - %d."). */

int i2c_SBMUS_write_buffer(const char *path, int address, uint8_t reg, const uint8_t *data,
                           uint8_t length, bool force);
/* SMBus block write of data[0..length-1] to register reg; a block longer
 * than 32 bytes is cut to its first 32, and only those are read from data.
 * I2C_E_NULL_BUFFER when data is
 * null, else fails with I2C_E_WRITE ("... Write Operation failed - %d."). */

int i2c_SBMUS_read_byte(const char *path, int address, uint8_t reg, uint8_t *result, bool force);
/* SMBus read byte data from register reg into *result. Fails with
 * I2C_E_READ ("... Read operation failed."), *result untouched. */

int i2c_SBMUS_read_word(const char *path, int address, uint8_t reg, uint16_t *result, bool force);
/* SMBus read word data from register reg into *result. Fails with
 * I2C_E_READ ("... Read operation failed."), *result untouched. */

int i2c_SBMUS_read_command(const char *path, int address, uint8_t *result, bool force);
/* SMBus receive byte (no command) into *result. Fails with I2C_E_READ
 * ("... Read operation failed."), *result untouched. */

int i2c_SBMUS_read_buffer(const char *path, int address, uint8_t reg, uint8_t *data, int *length,
                          bool force);
/* I2C block read starting at reg. *length is in: the number of bytes
 * wanted, of which only the low 8 bits count and at most 32 are asked for;
 * out: the number of bytes stored in data (never more than asked for).
 * data holds min(*length & 0xFF, 32) bytes. I2C_E_NULL_BUFFER when data is
 * null, else fails with I2C_E_READ ("... Read operation failed - %d."),
 * data and *length untouched. */

int i2c_IOCTL_read_buffer(const char *path, int address, uint8_t *data, uint16_t length, bool force);
/* One plain I2C read message of length bytes into data, which holds length
 * bytes. I2C_E_NULL_BUFFER when data is null, else fails with I2C_E_READ
 * ("... Read operation failed - %d."). */

int i2c_IOCTL_write_buffer(const char *path, int address, const uint8_t *data, uint16_t length,
                           bool force);
/* One plain I2C write message of data[0..length-1]. I2C_E_NULL_BUFFER when
 * data is null, else fails with I2C_E_WRITE
 * ("[qn_i2c] I2C Write operation failed - %d.\n", lower-case "operation"). */

#ifdef __cplusplus
}
#endif

#endif /* QN_I2CBUS_H */
