// LED-class trigger getters and setters.
#include "board.h"
#include "stdio_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct TriggerLed {
    const char *dir;
    const char *active;     // trigger selected when the LED is on
    const char *bracketed;  // how the kernel marks it as active
};

constexpr TriggerLed kMmc{QN_MMC_LED_DIR, "mmc0", "[mmc0]"};
constexpr TriggerLed kHeartbeat{QN_HEARTBEAT_LED_DIR, "heartbeat", "[heartbeat]"};

constexpr std::size_t kPathSize = 255;
constexpr std::size_t kMarkMax = 16;  // room for the longest bracketed name

void trigger_path(const TriggerLed &led, char (&path)[kPathSize])
{
    std::snprintf(path, sizeof path, "%s/%s", led.dir, "trigger");
}

// Kernels list many triggers; the active one may sit far into the list, so
// the whole attribute is searched, chunk by chunk, keeping the tail of each
// chunk in case the mark straddles two. -1 with errno set when it cannot be
// read or is empty (ENODATA), else whether the mark is in it.
int contains_mark(const char *path, const char *mark)
{
    boardleds::StdioFile file(std::fopen(path, "re"));
    if (!file)
        return -1;
    const std::size_t mark_length = std::strlen(mark);
    char window[kMarkMax + MAX_LINE_LENGTH];
    std::size_t held = 0;
    bool empty = true;
    std::size_t got;
    while ((got = std::fread(window + held, 1, MAX_LINE_LENGTH, file.get())) > 0) {
        empty = false;
        held += got;
        if (memmem(window, held, mark, mark_length) != nullptr)
            return 1;
        const std::size_t tail = held < mark_length ? held : mark_length - 1;
        std::memmove(window, window + held - tail, tail);
        held = tail;
    }
    if (std::ferror(file.get()))
        return -1;
    if (empty) {
        errno = ENODATA;
        return -1;
    }
    return 0;
}

int get_state(const TriggerLed &led, bool *on)
{
    char path[kPathSize];
    trigger_path(led, path);
    const int found = contains_mark(path, led.bracketed);
    if (found < 0)
        return LED_E_FAILED;
    *on = found == 1;
    return 0;
}

int set_state(const TriggerLed &led, int on)
{
    char path[kPathSize];
    trigger_path(led, path);
    return SetValueToFile(path, on ? led.active : "none") == 1 ? 0 : LED_E_FAILED;
}

}  // namespace

extern "C" int led_GetMMCState(bool *on) { return get_state(kMmc, on); }
extern "C" int led_SetMMCState(int on) { return set_state(kMmc, on); }
extern "C" int led_GetHeartBeatState(bool *on) { return get_state(kHeartbeat, on); }
extern "C" int led_SetHeartBeatState(int on) { return set_state(kHeartbeat, on); }
