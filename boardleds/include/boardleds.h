/*
 * boardleds: the board's SD-card-activity, heartbeat and Ethernet LEDs.
 *
 * The SD-card and heartbeat LEDs are LED-class devices switched through their
 * "trigger" attribute: on means the kernel drives them from the mmc0 or
 * heartbeat trigger, off means the trigger "none". The Ethernet LEDs are
 * driven by PHY 1 of eth0; register 27 enables them (0x0F00) or not (0).
 *
 * LED functions return 0 on success and LED_E_FAILED (16) on failure.
 * GetValueFromFile/SetValueToFile return 1 on success and 0 on failure.
 * phy_read/phy_write/__phy_op return 0 or a negative number (minus the
 * error number, or the failed socket result). After any failure errno holds
 * the error of the failed request (ENODATA: the attribute was empty); it is
 * unspecified after success. Only phy_read and phy_write print, and only
 * they, directly or through the Ethernet LED functions.
 *
 * State out-parameters are 8-bit booleans: C99 bool (_Bool), one byte on
 * every supported target, 1 for on and 0 for off, left untouched on failure.
 *
 * Threads: any thread may call; each call is one file access or one socket
 * request, and nothing is locked. Concurrent first PHY requests share one
 * socket. Fork: the PHY socket, created on first use, is inherited by a
 * forked child, which may go on using it; every descriptor the module opens
 * is close-on-exec. The module's own calls use eth0 and the LED directories
 * below whatever globals of the same names an application defines.
 */
#ifndef QN_BOARDLEDS_H
#define QN_BOARDLEDS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status of the LED functions. */
#define LED_E_FAILED 16

extern const char mmc_Led[39];
extern const char heartbeat_Led[39];
/* LED-class directories of the SD-card-activity and heartbeat LEDs:
 * "/sys/devices/soc0/led-system/leds/led8" and ".../led9". */

extern const int MAX_LINE_LENGTH;
#define MAX_LINE_LENGTH 512
/* Size of the line buffer GetValueFromFile fills. Exported as an int, and
 * also defined as a macro so that C callers can size arrays with it. */

int GetValueFromFile(const char *path, char *buf);
/* Reads the first line of path (at most MAX_LINE_LENGTH - 1 characters,
 * line end kept) into buf, which holds MAX_LINE_LENGTH bytes. 1 when a line
 * was read; 0 when path cannot be opened or read, or is empty. */

int SetValueToFile(const char *path, const char *value);
/* Writes the string value to path (no line end added). 1 when the file
 * accepted it, including at flush and close; 0 when path cannot be opened
 * or the write, flush or close fails (errno: the first failure). */

int led_GetMMCState(bool *on);
/* *on = whether "[mmc0]" is the active trigger of mmc_Led, searched in the
 * whole attribute. 0, or LED_E_FAILED when it cannot be read or is empty. */

int led_GetHeartBeatState(bool *on);
/* *on = whether "[heartbeat]" is the active trigger of heartbeat_Led. 0, or
 * LED_E_FAILED when it cannot be read or is empty. */

int led_SetMMCState(int on);
/* Writes "mmc0" (on non-zero) or "none" to the trigger of mmc_Led. 0, or
 * LED_E_FAILED when the file cannot be written or the kernel refuses the
 * value. */

int led_SetHeartBeatState(int on);
/* Writes "heartbeat" (on non-zero) or "none" to the trigger of
 * heartbeat_Led. 0, or LED_E_FAILED as led_SetMMCState. */

typedef struct phy_desc {
    char name[16];
    uint16_t phy_id;
    uint16_t reg_num;
} phy_desc;
/* An Ethernet PHY register: interface name (zero padded), PHY address and
 * register number. */

extern const phy_desc eth;
/* { "eth0", 1, 27 } */

int __phy_op(const phy_desc *desc, uint16_t *value, int request);
/* One MII register request, SIOCGMIIREG (reads the register into *value)
 * or SIOCSMIIREG (writes *value), on desc. 0; minus the error number when
 * the request fails; the negative socket() result when the socket cannot be
 * created (a later call tries again). Prints nothing. The socket is created
 * on first use and kept for the life of the process. */

int phy_read(uint16_t *value);
/* Reads PHY 1 register 27 of eth0 into *value. 0, or the negative
 * __phy_op result after printing "Error: phy_read (%d)\n" with it. */

int phy_write(uint16_t value);
/* Writes value to PHY 1 register 27 of eth0. 0, or the negative __phy_op
 * result after printing "Error: phy_write (%d)\n" with it. */

int led_GetEthState(bool *on);
/* *on = whether the eth0 LED register is non-zero. 0, or LED_E_FAILED
 * when phy_read fails (its line is printed). */

int led_SetEthState(int on);
/* Writes 0x0F00 (on non-zero) or 0 to the eth0 LED register. 0, or
 * LED_E_FAILED when phy_write fails (its line is printed). */

#ifdef __cplusplus
}
#endif

#endif
