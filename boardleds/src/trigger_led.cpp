// LED-class trigger getters and setters.
#include "boardleds.h"
#include "stdio_file.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct TriggerLed {
    const char *dir;
    const char *active;     // trigger selected when the LED is on
    const char *bracketed;  // how the kernel marks it as active
};

constexpr TriggerLed kMmc{mmc_Led, "mmc0", "[mmc0]"};
constexpr TriggerLed kHeartbeat{heartbeat_Led, "heartbeat", "[heartbeat]"};

constexpr std::size_t kPathSize = 255;

void trigger_path(const TriggerLed &led, char (&path)[kPathSize])
{
    std::snprintf(path, sizeof path, "%s/%s", led.dir, "trigger");
}

// Kernels list many triggers; the active one may sit far into the list, so
// the whole attribute is read. False when it cannot be read or is empty.
bool read_whole(const char *path, std::string &content)
{
    boardleds::StdioFile file(std::fopen(path, "re"));
    if (!file)
        return false;
    char chunk[MAX_LINE_LENGTH];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        content.append(chunk, got);
    return !std::ferror(file.get()) && !content.empty();
}

int get_state(const TriggerLed &led, bool *on)
{
    char path[kPathSize];
    trigger_path(led, path);
    try {
        std::string triggers;
        if (!read_whole(path, triggers))
            return LED_E_FAILED;
        *on = triggers.find(led.bracketed) != std::string::npos;
        return 0;
    } catch (...) {
        return LED_E_FAILED;
    }
}

int set_state(const TriggerLed &led, int on)
{
    char path[kPathSize];
    trigger_path(led, path);
    return SetValueToFile(path, on ? led.active : "none") == 1 ? 0 : LED_E_FAILED;
}

} // namespace

extern "C" int led_GetMMCState(bool *on) { return get_state(kMmc, on); }
extern "C" int led_SetMMCState(int on) { return set_state(kMmc, on); }
extern "C" int led_GetHeartBeatState(bool *on) { return get_state(kHeartbeat, on); }
extern "C" int led_SetHeartBeatState(int on) { return set_state(kHeartbeat, on); }
