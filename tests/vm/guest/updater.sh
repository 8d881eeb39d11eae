# updater end to end. /dev/vda holds the installed tree; /payload/build is
# the staged one. The guest must reboot by itself once the update ran; the
# host then reads the disk.
. /etc/check.sh

mkdir -p /opt/quarnel
mount -t ext4 -o ro /dev/vda /opt/quarnel
check "install root mounted read-only" sh -c "grep ' /opt/quarnel ext4 ro' /proc/mounts >/dev/null"

# The staged tree, with what a tar file cannot carry: a FIFO.
cp -a /payload/build /tmp/build
mkfifo /tmp/build/fifo
echo "guest secret" >/etc/guest-secret

# Fake services: each says when it is stopped; hostapd also leaves a mark
# on the install root, which is writable by then.
service() {
    cat >/usr/sbin/$1 <<SCRIPT
#!/bin/sh
trap 'echo "VMTEST MARK $1 stopped"; $2; exit 0' TERM
while :; do sleep 1 & wait \$!; done
SCRIPT
    chmod +x /usr/sbin/$1
    /usr/sbin/$1 &
}
mkdir -p /usr/sbin
service nginx :
service hostapd 'echo stopped >/opt/quarnel/hostapd.stopped'
# A program running from the install root, to be replaced under it.
/opt/quarnel/bin/busybox sleep 1000 &
sleep 1
check "services running" pidof nginx hostapd

/payload/updater
status=$?
expect_eq "updater returns at once with status 0" 0 "$status"
echo "VMTEST MARK updater started"
# The update reboots the board; nothing else may end it.
touch /tmp/keep-running
