# An update the host cuts off at some moment. /dev/vda holds the installed
# tree, /dev/vdb the staged one. Dirty data goes to the disk within a tenth
# of a second, so a cut finds the disk as the copy left it.
. /etc/check.sh
mkdir -p /opt/quarnel /tmp/build
check "install root mounted" mount -t ext4 -o ro,commit=1 /dev/vda /opt/quarnel
check "staged tree mounted" mount -t ext4 -o ro /dev/vdb /tmp/build
echo 10 >/proc/sys/vm/dirty_expire_centisecs
echo 10 >/proc/sys/vm/dirty_writeback_centisecs
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
