// The update run as a whole: detaching, the command sequence, the signal
// guard and the end of the run.

#include "sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const std::vector<std::string> kFullSequence = {"killall nginx",   "mount -o rw,remount /opt/quarnel",
                                                "killall hostapd", "nohup reboot",
                                                "reboot",          "nohup reboot"};

// Sends the updater (the stub's parent, or the shell's parent) the signals.
// Under a user-mode emulator (cross builds) they go one at a time: qemu-arm
// itself dies when a sent SIGSEGV arrives while it delivers another signal.
std::string signal_updater(const std::string &signals)
{
    const std::string pause = std::getenv("QN_TARGET_EMULATOR") ? "; sleep 0.05" : "";
    return "if [ \"$1\" = nginx ]; then\n"
           "  p=$PPID; read -r c < /proc/$p/comm\n"
           "  [ \"$c\" = updater ] || read -r _ _ _ p _ < /proc/$p/stat\n"
           "  read -r c < /proc/$p/comm; [ \"$c\" = updater ] || echo \"updater not found\"\n"
           "  for s in " +
           signals + "; do kill -$s $p || echo \"kill $s failed\"" + pause +
           "; done\n"
           "fi";
}

TEST(UpdateRun, ReturnsAtOnceWhileTheDetachedChildRunsTheCommandsInOrder)
{
    Sandbox sandbox;
    RunOptions slow_services;
    slow_services.killall_extra = "sleep 1";
    RUN_OR_SKIP(sandbox, result, slow_services);

    ASSERT_TRUE(WIFEXITED(result.parent_status));
    EXPECT_EQ(WEXITSTATUS(result.parent_status), 0);
    EXPECT_LT(result.parent_seconds, 0.9);
    EXPECT_EQ(result.log_at_parent_exit, "");
    EXPECT_TRUE(result.all_ended);
    EXPECT_EQ(result.commands, kFullSequence);
}

TEST(UpdateRun, IgnoresTerminationSignalsWhileGuarded)
{
    Sandbox sandbox;
    RunOptions options;
    // SEGV and ABRT sent by a process are not faults of the updater.
    options.killall_extra =
        signal_updater("TERM HUP USR1 USR2 SEGV ABRT CHLD") + " >> " + sandbox.root() + "/log";
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_TRUE(result.all_ended);
    EXPECT_EQ(result.commands, kFullSequence);
}

TEST(UpdateRun, MissingRootsStillEndInAReboot)
{
    Sandbox sandbox;
    std::filesystem::remove(sandbox.staging());
    std::filesystem::remove(sandbox.install());
    RUN_OR_SKIP(sandbox, result);

    EXPECT_TRUE(std::filesystem::is_directory(sandbox.install()));
    EXPECT_EQ(permissions_of(sandbox.install()), 0755u);
    EXPECT_EQ(result.commands, kFullSequence);
}

TEST(UpdateRun, EmptyStagingLeavesTheInstallRootAlone)
{
    Sandbox sandbox;
    write_file(sandbox.install() + "/only.txt", "installed", 0600);
    RUN_OR_SKIP(sandbox, result);

    EXPECT_EQ(read_file(sandbox.install() + "/only.txt"), "installed");
    EXPECT_EQ(permissions_of(sandbox.install() + "/only.txt"), 0600u);
    EXPECT_EQ(result.commands, kFullSequence);
}

// A fault with the services stopped must not leave the board spinning; the
// updater restarts it straight away.
TEST(UpdateRun, ProcessorFaultRebootsInsteadOfSpinning)
{
    Sandbox sandbox;
    RunOptions options;
    options.fault = "trap-listing";
    RUN_OR_SKIP(sandbox, result, options);

    EXPECT_TRUE(result.namespace_rebooted);
    const std::vector<std::string> before_walk(kFullSequence.begin(), kFullSequence.begin() + 3);
    EXPECT_EQ(result.commands, before_walk);
}

}  // namespace
