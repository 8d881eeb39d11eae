/*
 * One i2cbus call per run, for shell scripts on the virtual board:
 *   i2cbus_tool OP NODE ADDRESS [ARGUMENTS] FORCE
 * prints "status=N" and, on success, what was read ("value=0x.." or
 * "length=M data=xx xx .."). "threads" runs several callers at once.
 */
#include <i2cbus.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <stdlib.h>
#include <string.h>

static long num(const char *text) { return strtol(text, NULL, 0); }

static void print_bytes(const uint8_t *data, int length)
{
    printf("length=%d data=", length);
    for (int i = 0; i < length; ++i)
        printf(i ? " %02x" : "%02x", data[i]);
    printf("\n");
}

/* Bytes from argv[first..last), each given like "0x12". */
static int parse_bytes(char **argv, int first, int last, uint8_t *out)
{
    int n = 0;
    for (int i = first; i < last; ++i)
        out[n++] = (uint8_t)num(argv[i]);
    return n;
}

/* Byte-data read straight through i2c-dev, bypassing the module. */
static int i2c_smbus_read(int fd, uint8_t reg)
{
    union i2c_smbus_data data;
    struct i2c_smbus_ioctl_data request = {I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &data};
    return ioctl(fd, I2C_SMBUS, &request) < 0 ? -1 : data.byte;
}

struct worker {
    const char *node;
    int address;
    uint8_t reg;
    int rounds;
    int errors;
};

/* Each worker owns one register: whatever it reads back must be what it
 * wrote last, or another caller's transfer got in between. */
static void *hammer(void *arg)
{
    struct worker *w = arg;
    for (int i = 0; i < w->rounds; ++i) {
        uint16_t sent = (uint16_t)(w->reg << 8 | (i & 0xff)), got = 0;
        if (i2c_SBMUS_write_word(w->node, w->address, w->reg, sent, false) != 0 ||
            i2c_SBMUS_read_word(w->node, w->address, w->reg, &got, false) != 0 || got != sent)
            ++w->errors;
    }
    return NULL;
}

static int open_descriptors(void)
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++count;
    if (dir)
        closedir(dir);
    return count;
}

static int run_threads(const char *node, int address, int count, int rounds)
{
    pthread_t threads[16];
    struct worker workers[16];
    int errors = 0, fds = open_descriptors();
    if (count > 16)
        count = 16;
    for (int i = 0; i < count; ++i) {
        workers[i] = (struct worker){node, address, (uint8_t)(0x80 + i), rounds, 0};
        pthread_create(&threads[i], NULL, hammer, &workers[i]);
    }
    for (int i = 0; i < count; ++i) {
        pthread_join(threads[i], NULL);
        errors += workers[i].errors;
    }
    printf("status=%d errors=%d leaked=%d\n", errors ? 1 : 0, errors, open_descriptors() - fds);
    return 0;
}

struct held_write {
    const char *node;
    int address;
    uint8_t reg, value;
};

static void *write_once(void *arg)
{
    struct held_write *w = arg;
    i2c_SBMUS_write_byte(w->node, w->address, w->reg, w->value, false);
    return NULL;
}

/* A call made while someone else holds i2c_mutex must wait for it. Prints
 * the register as seen (without the module) while the mutex was held and
 * after it was released. */
static int run_held(const char *node, int address, uint8_t reg, uint8_t value)
{
    struct held_write w = {node, address, reg, value};
    pthread_t thread;
    uint8_t during = 0, after = 0;
    pthread_mutex_lock(&i2c_mutex);
    pthread_create(&thread, NULL, write_once, &w);
    usleep(300000);
    int fd = open(node, O_RDWR);
    ioctl(fd, I2C_SLAVE, address);
    during = (uint8_t)i2c_smbus_read(fd, reg);
    pthread_mutex_unlock(&i2c_mutex);
    pthread_join(thread, NULL);
    after = (uint8_t)i2c_smbus_read(fd, reg);
    close(fd);
    printf("status=0 during=0x%02x after=0x%02x\n", during, after);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: i2cbus_tool OP NODE ADDRESS ... FORCE\n");
        return 2;
    }
    const char *op = argv[1], *node = argv[2];
    int address = (int)num(argv[3]);
    bool force = num(argv[argc - 1]) != 0;
    uint8_t data[300] = {0}, byte = 0;
    uint16_t word = 0;
    int status, length;

    if (!strcmp(op, "held"))
        return run_held(node, address, (uint8_t)num(argv[4]), (uint8_t)num(argv[5]));
    if (!strcmp(op, "threads"))
        return run_threads(node, address, (int)num(argv[4]), (int)num(argv[5]));
    if (!strcmp(op, "write_byte")) {
        status =
            i2c_SBMUS_write_byte(node, address, (uint8_t)num(argv[4]), (uint8_t)num(argv[5]), force);
    } else if (!strcmp(op, "write_word")) {
        status =
            i2c_SBMUS_write_word(node, address, (uint8_t)num(argv[4]), (uint16_t)num(argv[5]), force);
    } else if (!strcmp(op, "write_command")) {
        status = i2c_SBMUS_write_command(node, address, (uint8_t)num(argv[4]), force);
    } else if (!strcmp(op, "write_buffer")) {
        length = parse_bytes(argv, 5, argc - 1, data);
        status = i2c_SBMUS_write_buffer(node, address, (uint8_t)num(argv[4]), data, (uint8_t)length,
                                        force);
    } else if (!strcmp(op, "ioctl_write")) {
        length = parse_bytes(argv, 4, argc - 1, data);
        status = i2c_IOCTL_write_buffer(node, address, data, (uint16_t)length, force);
    } else if (!strcmp(op, "read_byte") || !strcmp(op, "read_command")) {
        status = !strcmp(op, "read_byte")
                     ? i2c_SBMUS_read_byte(node, address, (uint8_t)num(argv[4]), &byte, force)
                     : i2c_SBMUS_read_command(node, address, &byte, force);
        printf("status=%d\n", status);
        if (status == 0)
            printf("value=0x%02x\n", byte);
        return 0;
    } else if (!strcmp(op, "read_word")) {
        status = i2c_SBMUS_read_word(node, address, (uint8_t)num(argv[4]), &word, force);
        printf("status=%d\n", status);
        if (status == 0)
            printf("value=0x%04x\n", word);
        return 0;
    } else if (!strcmp(op, "read_buffer")) {
        length = (int)num(argv[5]);
        status = i2c_SBMUS_read_buffer(node, address, (uint8_t)num(argv[4]), data, &length, force);
        printf("status=%d\n", status);
        if (status == 0)
            print_bytes(data, length);
        return 0;
    } else if (!strcmp(op, "ioctl_read")) {
        length = (int)num(argv[4]);
        status = i2c_IOCTL_read_buffer(node, address, data, (uint16_t)length, force);
        printf("status=%d\n", status);
        if (status == 0)
            print_bytes(data, length);
        return 0;
    } else if (!strcmp(op, "null_buffer")) {
        status = i2c_SBMUS_write_buffer(node, address, 0, NULL, 4, force);
    } else {
        fprintf(stderr, "unknown operation %s\n", op);
        return 2;
    }
    printf("status=%d\n", status);
    return 0;
}
