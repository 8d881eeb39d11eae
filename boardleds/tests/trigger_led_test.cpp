// LED-class triggers against files in a private tmpfs over /sys.
#include "boardleds.h"
#include "child.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace qn::test;

namespace {

const std::string kMmcTrigger = std::string(mmc_Led) + "/trigger";
const std::string kHeartbeatTrigger = std::string(heartbeat_Led) + "/trigger";

// body in a child with a private mount namespace and an empty tmpfs over
// /sys, prepared by prepare (if given).
ChildResult in_private_sys(const std::function<std::string()> &prepare,
                           const std::function<Failures()> &body)
{
    ChildOptions options;
    options.namespaces = CLONE_NEWNS;
    return run_in_child(
        options,
        [prepare] {
            if (::mount("none", "/sys", "tmpfs", 0, "size=1m") != 0)
                return std::string("tmpfs over /sys: ") + std::strerror(errno);
            return prepare ? prepare() : std::string();
        },
        body);
}

bool make_dirs(const std::string &dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return !error;
}

// Private /sys holding both LED directories with the given trigger files.
std::function<std::string()> leds_with(const std::string &mmc, const std::string &heartbeat)
{
    return [=] {
        if (!make_dirs(mmc_Led) || !make_dirs(heartbeat_Led))
            return std::string("cannot create the LED directories");
        if (write_file(kMmcTrigger, mmc).empty() || write_file(kHeartbeatTrigger, heartbeat).empty())
            return std::string("cannot create the trigger files");
        return std::string();
    };
}

struct States {
    int mmc_status, heartbeat_status;
    bool mmc, heartbeat;
};

States read_states()
{
    States s{-1, -1, false, false};
    s.mmc_status = led_GetMMCState(&s.mmc);
    s.heartbeat_status = led_GetHeartBeatState(&s.heartbeat);
    return s;
}

}  // namespace

TEST(TriggerLed, BracketedTriggerIsTheActiveOne)
{
    EXPECT_CHILD_PASSED(in_private_sys(leds_with("none rc-feedback [mmc0] timer heartbeat\n",
                                                 "none rc-feedback mmc0 timer [heartbeat]\n"),
                                       [] {
                                           Failures f;
                                           const States s = read_states();
                                           check(f, s.mmc_status == 0 && s.mmc, "[mmc0] reads as on");
                                           check(f, s.heartbeat_status == 0 && s.heartbeat,
                                                 "[heartbeat] reads as on");
                                           return f;
                                       }));
}

TEST(TriggerLed, BracketedNoneIsOffForBoth)
{
    const std::string none = "[none] rc-feedback mmc0 timer heartbeat\n";
    EXPECT_CHILD_PASSED(in_private_sys(leds_with(none, none), [] {
        Failures f;
        const States s = read_states();
        check(f, s.mmc_status == 0 && !s.mmc, "mmc off");
        check(f, s.heartbeat_status == 0 && !s.heartbeat, "heartbeat off");
        return f;
    }));
}

// Real kernels list dozens of triggers; the active one may follow the
// 511th character.
TEST(TriggerLed, LongListIsJudgedWhole)
{
    std::string list;
    for (int i = 0; list.size() < 4000; ++i)
        list += "phy0tx-" + std::to_string(i) + " ";
    const std::string mmc = list + "[mmc0] heartbeat\n";
    const std::string heartbeat = list + "mmc0 [heartbeat]\n";
    EXPECT_CHILD_PASSED(in_private_sys(leds_with(mmc, heartbeat), [list] {
        Failures f;
        const States s = read_states();
        check(f, s.mmc_status == 0 && s.mmc, "late [mmc0] reads as on");
        check(f, s.heartbeat_status == 0 && s.heartbeat, "late [heartbeat] reads as on");
        char line[MAX_LINE_LENGTH];
        check(f, GetValueFromFile(kMmcTrigger.c_str(), line) == 1, "line read");
        check(f, std::strlen(line) == MAX_LINE_LENGTH - 1u, "line capped at 511 characters");
        check(f, list.compare(0, std::strlen(line), line) == 0, "line is the list's start");
        return f;
    }));
}

TEST(TriggerLed, SettersWriteExactlyTheTriggerName)
{
    EXPECT_CHILD_PASSED(in_private_sys(leds_with("x\n", "x\n"), [] {
        Failures f;
        check(f, led_SetHeartBeatState(1) == 0, "heartbeat on accepted");
        check(f, read_file(kHeartbeatTrigger) == "heartbeat", "heartbeat bytes");
        check(f, led_SetMMCState(7) == 0, "mmc on accepted");
        check(f, read_file(kMmcTrigger) == "mmc0", "mmc0 bytes");
        check(f, led_SetHeartBeatState(0) == 0, "heartbeat off accepted");
        check(f, read_file(kHeartbeatTrigger) == "none", "none bytes");
        return f;
    }));
}

TEST(TriggerLed, MissingDirectoryFailsAndLeavesStateAlone)
{
    EXPECT_CHILD_PASSED(in_private_sys(nullptr, [] {
        Failures f;
        bool on = true;
        check(f, led_GetMMCState(&on) == LED_E_FAILED && on, "getter 16, state untouched");
        check(f, errno == ENOENT, "getter errno ENOENT");
        check(f, led_SetMMCState(1) == LED_E_FAILED, "setter 16");
        check(f, errno == ENOENT, "setter errno ENOENT");
        char line[MAX_LINE_LENGTH];
        check(f, GetValueFromFile(kMmcTrigger.c_str(), line) == 0, "no line");
        check(f, SetValueToFile(kMmcTrigger.c_str(), "mmc0") == 0, "no write");
        return f;
    }));
}

TEST(TriggerLed, EmptyAttributeFailsTheGetter)
{
    EXPECT_CHILD_PASSED(in_private_sys(leds_with("", ""), [] {
        Failures f;
        bool on = true;
        check(f, led_GetHeartBeatState(&on) == LED_E_FAILED && on, "getter 16, state untouched");
        check(f, errno == ENODATA, "errno ENODATA");
        return f;
    }));
}

TEST(TriggerLed, UnwritableTriggerFailsTheSetter)
{
    EXPECT_CHILD_PASSED(in_private_sys(leds_with("[none]\n", "[none]\n"), [] {
        Failures f;
        // A directory in place of the file: neither readable as a line nor
        // writable.
        ::remove(kMmcTrigger.c_str());
        ::mkdir(kMmcTrigger.c_str(), 0755);
        bool on = true;
        check(f, led_GetMMCState(&on) == LED_E_FAILED && on, "directory: getter 16");
        check(f, led_SetMMCState(1) == LED_E_FAILED, "directory: setter 16");
        // Root ignores permissions, not a read-only mount.
        check(f, ::mount(nullptr, "/sys", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
              "remount read-only");
        check(f, led_SetHeartBeatState(1) == LED_E_FAILED, "read-only: setter 16");
        check(f, errno == EROFS, "read-only: errno EROFS");
        check(f, read_file(kHeartbeatTrigger) == "[none]\n", "read-only: file unchanged");
        return f;
    }));
}

// The LED class rejects a value when the buffered bytes reach it; a device
// that refuses every write stands in for it.
TEST(TriggerLed, ValueRejectedAtCloseFailsTheSetter)
{
    EXPECT_CHILD_PASSED(in_private_sys(leds_with("[none]\n", "[none]\n"), [] {
        Failures f;
        const bool bound =
            ::mount("/dev/full", kHeartbeatTrigger.c_str(), nullptr, MS_BIND, nullptr) == 0;
        check(f, bound, "bind /dev/full over the trigger file");
        check(f, SetValueToFile(kHeartbeatTrigger.c_str(), "heartbeat") == 0, "helper 0");
        check(f, led_SetHeartBeatState(1) == LED_E_FAILED, "setter 16");
        check(f, errno == ENOSPC, "errno of the refused write");
        return f;
    }));
}
