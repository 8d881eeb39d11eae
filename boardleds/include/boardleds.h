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
 * error number, or the failed socket result).
 *
 * State out-parameters are 8-bit booleans: C99 bool (_Bool), one byte on
 * every supported target, 1 for on and 0 for off.
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

/* LED-class directories of the SD-card-activity and heartbeat LEDs. */
extern const char mmc_Led[39];
extern const char heartbeat_Led[39];

/*
 * Size of the line buffer GetValueFromFile fills. Exported as an int, and
 * also defined as a macro so that C callers can size arrays with it.
 */
extern const int MAX_LINE_LENGTH;
#define MAX_LINE_LENGTH 512

/* Reads the first line of path (at most MAX_LINE_LENGTH - 1 characters, line
 * end kept) into buf, which holds MAX_LINE_LENGTH bytes. 1 when a line was
 * read, 0 otherwise. */
int GetValueFromFile(const char *path, char *buf);

/* Writes value to path (no line end added). 1 when the file accepted it,
 * including at flush and close, 0 otherwise. */
int SetValueToFile(const char *path, const char *value);

/* Whether the LED runs its activity trigger; *on is untouched on failure. */
int led_GetMMCState(bool *on);
int led_GetHeartBeatState(bool *on);

/* Selects the activity trigger (on non-zero) or "none". */
int led_SetMMCState(int on);
int led_SetHeartBeatState(int on);

/* An Ethernet PHY register: interface name (zero padded), PHY address and
 * register number. */
typedef struct phy_desc {
    char name[16];
    uint16_t phy_id;
    uint16_t reg_num;
} phy_desc;

/* { "eth0", 1, 27 } */
extern const phy_desc eth;

/* One MII register request (SIOCGMIIREG or SIOCSMIIREG) on desc. *value is
 * written for SIOCSMIIREG and receives the register for SIOCGMIIREG. The
 * socket is created on first use and kept for the life of the process. */
int __phy_op(const phy_desc *desc, uint16_t *value, int request);

/* Read/write the eth register; on failure print "Error: phy_read (N)" or
 * "Error: phy_write (N)" to standard error and return N. */
int phy_read(uint16_t *value);
int phy_write(uint16_t value);

/* Ethernet LEDs: on when the register is non-zero. */
int led_GetEthState(bool *on);
int led_SetEthState(int on);

#ifdef __cplusplus
}
#endif

#endif
