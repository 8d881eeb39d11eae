/* Links a C program against the installed boardleds module; touches no LED
 * and no network interface. */
#include <boardleds.h>

#include <stdio.h>

static char line[MAX_LINE_LENGTH];

int main(void)
{
    if (GetValueFromFile("/nonexistent/boardleds/trigger", line) != 0)
        return 1;
    if (MAX_LINE_LENGTH != 512 || LED_E_FAILED != 16)
        return 1;
    printf("boardleds: %s %s %s phy %u reg %u line %d\n", mmc_Led, heartbeat_Led, eth.name,
           (unsigned)eth.phy_id, (unsigned)eth.reg_num, MAX_LINE_LENGTH);
    return 0;
}
