# One boot of the power-cut groups; the words on /dev/vdc say which. /dev/vda
# holds the install root (mounted as a board may: commit=1,
# noauto_da_alloc), /dev/vdb the staged tree.
#   update:    run the update (the host may cut it off at any moment);
#   rollback:  run `updater --rollback` (likewise);
#   recover:   what the board does early at boot after a cut;
#   recover N: the same on a board whose releases have N boots to confirm.
. /etc/check.sh
# shellcheck disable=SC2046
set -- $(head -c 32 /dev/vdc | tr -cd 'a-z0-9 ')
mode=$1
if [ -n "${2:-}" ]; then
    mkdir -p /etc/updater
    echo "$2" >/etc/updater/confirm-boots
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

if [ "$mode" = rollback ]; then
    check "install root writable" mount -o remount,rw /opt/quarnel
else
    check "staged tree mounted" mount -t ext4 -o ro /dev/vdb /tmp/build
fi
# Dirty data goes to the disk within a tenth of a second, so a cut finds the
# disk as the run left it, not as the page cache held it.
echo 10 >/proc/sys/vm/dirty_expire_centisecs
echo 10 >/proc/sys/vm/dirty_writeback_centisecs
sync
echo "VMTEST MARK vda before $(awk '{print $7}' /sys/block/vda/stat)"
# Tells the host the moment the journal reads as committed, so that cuts
# can fall between the commit and the end of the renames (shell builtins
# only: the update keeps the single CPU).
(
    while :; do
        { read -r _ && read -r state; } </opt/quarnel/.updater/journal 2>/dev/null &&
            [ "$state" = commit ] && echo "VMTEST MARK committed" && break
        sleep 0.005
    done
) &
if [ "$mode" = rollback ]; then
    echo "VMTEST MARK rolling back"
    /payload/updater --rollback
    expect_eq "updater --rollback succeeded" 0 "$?"
    echo "VMTEST MARK rolled back"
    check "result line says rolled back" grep -q '^rolled back: ' /opt/quarnel/.updater/result
    echo "VMTEST MARK result: $(cat /opt/quarnel/.updater/result 2>/dev/null)"
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
