// One-shot installer: detaches, stops the services that use the installed
// tree, mirrors the staged tree into the install root and reboots the board.
// `updater --recover` (run early at boot) only finishes or undoes an update
// a power cut interrupted. `updater --manifest TREE VERSION` prints a
// release's manifest; `updater --verify` checks the installed tree against
// the installed release's. `updater --rollback` takes the last update back;
// `updater --confirm` tells that the installed release is good.

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "src/daemon.h"
#include "src/manifest.h"
#include "src/update.h"
#include "src/verify.h"

int main(int argc, char **argv)
{
    // Modes are the program's own, whatever the starting process had.
    umask(022);
    if (argc == 2 && strcmp(argv[1], "--recover") == 0)
        return recover_at_boot();
    if (argc == 2 && strcmp(argv[1], "--verify") == 0)
        return verify_installed_tree();
    if (argc == 2 && strcmp(argv[1], "--rollback") == 0)
        return rollback_release();
    if (argc == 2 && strcmp(argv[1], "--confirm") == 0)
        return confirm_release();
    if (argc >= 2 && strcmp(argv[1], "--manifest") == 0) {
        if (argc == 4)
            return print_manifest(argv[2], argv[3]);
        fprintf(stderr, "usage: updater --manifest TREE VERSION\n");
        return 2;
    }
    StartDaemon();
    guard_signals();
    run("killall nginx");
    run("mount -o rw,remount /opt/quarnel");
    run("killall hostapd");
    createDir(DST_ROOT);
    // Whatever goes wrong in the copy, the board must come back up.
    try {
        listdir(SRC_ROOT, "");
    } catch (...) {
    }
    // The board must come back with everything written so far on storage.
    sync();
    run("nohup reboot & disown");
    run("reboot");
    unguard_signals();
    run("nohup reboot & disown");
    return 0;
}
