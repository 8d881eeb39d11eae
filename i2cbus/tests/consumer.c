/* Links a C program against the installed i2cbus module. Touches no bus:
 * only calls that fail before reaching a device. */
#include <i2cbus.h>

#include <stdio.h>

int main(void)
{
    uint8_t byte = 0;
    int length = 4;
    if (i2c_SBMUS_read_buffer("/dev/i2c-0", 0x50, 0, NULL, &length, false) != I2C_E_NULL_BUFFER)
        return 1;
    if (i2c_IOCTL_write_buffer("/dev/i2c-0", 0x50, NULL, 1, true) != I2C_E_NULL_BUFFER)
        return 1;
    if (i2c_SBMUS_read_byte("/nonexistent/i2c-0", 0x50, 0, &byte, false) != I2C_E_OPEN)
        return 1;
    if (pthread_mutex_trylock(&i2c_mutex) != 0)
        return 1;
    pthread_mutex_unlock(&i2c_mutex);
    printf("i2cbus: status codes %d..%d\n", I2C_E_OPEN, I2C_E_NULL_BUFFER);
    return 0;
}
