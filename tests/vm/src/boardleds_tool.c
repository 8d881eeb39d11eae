/*
 * One boardleds call per run, for shell scripts on the virtual board:
 *   boardleds_tool get mmc|heartbeat|eth     prints "status=N on=B"
 *   boardleds_tool set mmc|heartbeat|eth F   prints "status=N"
 */
#include <boardleds.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int (*getter)(bool *);
typedef int (*setter)(int);

int main(int argc, char **argv)
{
    static const struct {
        const char *name;
        getter get;
        setter set;
    } leds[] = {
        {"mmc", led_GetMMCState, led_SetMMCState},
        {"heartbeat", led_GetHeartBeatState, led_SetHeartBeatState},
        {"eth", led_GetEthState, led_SetEthState},
    };
    if (argc < 3)
        return 2;
    for (size_t i = 0; i < sizeof leds / sizeof leds[0]; ++i) {
        if (strcmp(argv[2], leds[i].name))
            continue;
        if (!strcmp(argv[1], "get")) {
            bool on = false;
            int status = leds[i].get(&on);
            printf("status=%d on=%d\n", status, on);
        } else if (argc > 3) {
            printf("status=%d\n", leds[i].set(atoi(argv[3])));
        } else {
            return 2;
        }
        return 0;
    }
    return 2;
}
