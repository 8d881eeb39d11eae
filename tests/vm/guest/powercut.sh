# One boot of the power-cut groups; the words on /dev/vdc say which. /dev/vda
# holds the install root (mounted as a board may: commit=1,
# noauto_da_alloc), /dev/vdb the staged tree.
#   update:          run the update (the host may cut it off at any moment);
#   rollback:        run `updater --rollback` (likewise);
#   rollback FOLDER: the same, killed as soon as FOLDER of the install root
#                    is gone;
#   recover:         what the board does early at boot after a cut;
#   recover N:       the same on a board whose releases have N boots to
#                    confirm.
. /etc/check.sh
# shellcheck disable=SC2046
set -- $(head -c 32 /dev/vdc | tr -cd 'a-z0-9 ')
mode=$1 word=${2:-}
if [ "$mode" = recover ] && [ -n "$word" ]; then
    mkdir -p /etc/updater
    echo "$word" >/etc/updater/confirm-boots
fi
mkdir -p /opt/quarnel /tmp/build
check "install root mounted" mount -t ext4 -o ro,commit=1,noauto_da_alloc /dev/vda /opt/quarnel

if [ "$mode" = recover ]; then
    /payload/updater --recover
    expect_eq "updater --recover succeeded" 0 "$?"
    check "no journal left" test ! -e /opt/quarnel/.updater/journal
    echo "VMTEST MARK result: $(cat /opt/quarnel/.updater/result 2>/dev/null)"
    check "install root unmounted" umount /opt/quarnel
    exit 0
fi

# The rollback remounts the read-only install root writable by itself.
[ "$mode" = rollback ] || check "staged tree mounted" mount -t ext4 -o ro /dev/vdb /tmp/build
# Dirty data goes to the disk within a tenth of a second, so a cut finds the
# disk as the run left it, not as the page cache held it.
echo 10 >/proc/sys/vm/dirty_expire_centisecs
echo 10 >/proc/sys/vm/dirty_writeback_centisecs
sync
echo "VMTEST MARK vda before $(awk '{print $7}' /sys/block/vda/stat)"
# Tells the host the moment the journal reads as committed, so that cuts
# can fall between the commit and the end of the renames, and the moment it
# is gone (shell builtins only: the run keeps the single CPU).
(
    while :; do
        { read -r _ && read -r state; } 2>/dev/null </opt/quarnel/.updater/journal &&
            [ "$state" = commit ] && echo "VMTEST MARK committed" && break
        sleep 0.005
    done
    while [ -e /opt/quarnel/.updater/journal ]; do sleep 0.005; done
    echo "VMTEST MARK journal closed"
) &
if [ "$mode" = rollback ]; then
    echo "VMTEST MARK rolling back"
    if [ -z "$word" ]; then
        /payload/updater --rollback
        expect_eq "updater --rollback succeeded" 0 "$?"
        check "result line says rolled back" grep -q '^rolled back: ' /opt/quarnel/.updater/result
        echo "VMTEST MARK result: $(cat /opt/quarnel/.updater/result 2>/dev/null)"
        exit 0
    fi
    # SIGKILL (the OOM killer's) as soon as the first of the install root's
    # folders named WORD... is gone: a moment too short for the host to aim
    # a cut at. The watcher's priority is raised above the rollback's so
    # that it runs the moment it wakes.
    (
        count() { set -- /opt/quarnel/"$word"*; found=$#; }
        count
        all=$found
        while count && [ "$found" = "$all" ]; do sleep 0.002; done
        kill -KILL "$(pidof updater)"
    ) &
    renice -n -20 -p $! >/dev/null
    /payload/updater --rollback
    expect_eq "updater --rollback killed" 137 "$?"
    exit 0
fi
echo "VMTEST MARK updating"
/payload/updater
expect_eq "updater started" 0 "$?"
# The update ignores the usual termination signals while it works.
(
    said=
    while pid=$(pidof updater); do
        kill -TERM $pid && kill -HUP $pid && [ -z "$said" ] && said=1 &&
            echo "VMTEST MARK update signalled"
        sleep 0.2
    done
) 2>/dev/null &
touch /tmp/keep-running
