// One-shot installer: detaches, stops the services that use the installed
// tree, mirrors the staged tree into the install root and reboots the board.
// `updater --recover` (run early at boot) only finishes or undoes an update
// a power cut interrupted.

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "src/daemon.h"
#include "src/update.h"

int main(int argc, char **argv)
{
    // Modes are the program's own, whatever the starting process had.
    umask(022);
    if (argc == 2 && strcmp(argv[1], "--recover") == 0)
        return recover_at_boot();
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
