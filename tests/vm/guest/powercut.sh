# One boot of the power-cut test; /dev/vdc says which. /dev/vda holds the
# install root (mounted as a board may: commit=1, noauto_da_alloc), /dev/vdb
# the staged tree.
#   update:  run the update (the host may cut it off at any moment);
#   recover: what the board does early at boot after a cut.
. /etc/check.sh
mode=$(head -c 16 /dev/vdc | tr -cd 'a-z')
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

check "staged tree mounted" mount -t ext4 -o ro /dev/vdb /tmp/build
# Dirty data goes to the disk within a tenth of a second, so a cut finds the
# disk as the update left it, not as the page cache held it.
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
