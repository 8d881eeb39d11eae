# boardleds against the kernel's LED class. The keyboard's LEDs stand in
# for the board's: a tmpfs over /sys holds the two fixed LED paths, each a
# bind mount of a real LED directory; the real sysfs stays visible at
# /realsys. There is no eth0 until the e1000 driver is loaded for the
# emulated network card (which has no network behind it).
. /etc/check.sh
tool=/payload/boardleds_tool
leds=/sys/devices/soc0/led-system/leds
mmc=/realsys/class/leds/input0::capslock
heartbeat=/realsys/class/leds/input0::numlock

call() {
    out=$($tool "$@" 2>/tmp/err)
    err=$(cat /tmp/err)
}
active() { sed -n 's/.*\[\([^]]*\)\].*/\1/p' "$1/trigger"; }

mkdir -p /realsys
mount -t sysfs sysfs /realsys
mount -t tmpfs tmpfs /sys
mkdir -p $leds/led8 $leds/led9
mount --bind "$(readlink -f $mmc)" $leds/led8
mount --bind "$(readlink -f $heartbeat)" $leds/led9
check "led8 is a real LED" test -w $leds/led8/trigger
check "kernel has no mmc0 trigger" sh -c "! grep -qw mmc0 $mmc/trigger"

# Heartbeat on and off, as the kernel lists it.
call set heartbeat 1
expect_eq "heartbeat on" "status=0" "$out"
expect_eq "kernel shows heartbeat" heartbeat "$(active $heartbeat)"
call get heartbeat
expect_eq "heartbeat reads on" "status=0 on=1" "$out"
call set heartbeat 0
expect_eq "heartbeat off" "status=0" "$out"
expect_eq "kernel shows none" none "$(active $heartbeat)"
call get heartbeat
expect_eq "heartbeat reads off" "status=0 on=0" "$out"

# Card activity: the kernel rejects the unknown trigger; the setter must
# say so and the LED keeps its trigger.
before=$(active $mmc)
call set mmc 1
expect_eq "mmc on rejected by the kernel" "status=16" "$out"
expect_eq "mmc trigger unchanged" "$before" "$(active $mmc)"
call get mmc
expect_eq "mmc reads off" "status=0 on=0" "$out"
call set mmc 0
expect_eq "mmc off" "status=0" "$out"
expect_eq "kernel shows mmc none" none "$(active $mmc)"

# A missing LED directory.
umount $leds/led9
rmdir $leds/led9
call set heartbeat 1
expect_eq "missing LED set" "status=16" "$out"
call get heartbeat
expect_eq "missing LED get" "status=16 on=0" "$out"

# Ethernet LEDs with no eth0: the kernel answers ENODEV.
call get eth
expect_eq "eth get without eth0" "status=16 on=0" "$out"
expect_eq "eth get message" "Error: phy_read (-19)" "$err"
call set eth 1
expect_eq "eth set without eth0" "status=16" "$out"
expect_eq "eth set message" "Error: phy_write (-19)" "$err"

# With eth0: QEMU's e1000 PHY has no register 27, so the driver's read of
# it fails (EIO). A request for another register or interface would not.
insmod /payload/e1000.ko
check "eth0 present" test -e /realsys/class/net/eth0
call get eth
expect_eq "eth get reaches the PHY" "status=16 on=0" "$out"
expect_eq "eth get PHY error" "Error: phy_read (-5)" "$err"
call set eth 1
check "eth set reaches the PHY" test "$err" != "Error: phy_write (-19)"
