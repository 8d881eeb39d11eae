#!/usr/bin/env bash
# Power cut during an update: the guest is stopped hard at several moments
# of copying a large staged tree; every installed file must then hold its
# old or its new content. The update is sent SIGTERM and SIGHUP all along,
# which must not stop it. A first, uncut run measures how long the copy
# takes (from the start of the update to the start of the reboot), so that
# the cuts fall inside it.
# usage: run-powercut.sh WORK_DIR CACHE_DIR UPDATER
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"
tree=$vm_dir/powercut_tree.py
. "$vm_dir/disk.sh"

/usr/bin/python3 "$tree" make "$work/old" "$work/new"
mkfs.ext4 -q -F -L quarnel -d "$work/old" "$work/root.img" 192M
mkfs.ext4 -q -F -L build -d "$work/new" "$work/build.img" 128M
mkdir "$work/payload"
cp "$vm_dir/guest/powercut.sh" "$work/payload/main.sh"
cp "$3" "$work/payload/updater"
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" \
    -m ext4 -m crc32c_generic -m virtio_blk -m virtio_pci -b "$3"

calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }

# run NAME CUT: one boot on a fresh copy of the installed disk, cut CUT
# seconds into the update ("none": let it finish, and set $took to the
# seconds from the start of the update to the start of the reboot).
run() {
    local name=$1 cut=$2 log=$work/$1.log start
    cp "$work/root.img" "$work/$name.img"
    vm_start "$log" "$work/initrd.gz" \
        -drive file="$work/$name.img",format=raw,if=virtio \
        -drive file="$work/build.img",format=raw,if=virtio,readonly=on
    if ! vm_wait_for "$log" "VMTEST MARK updating" 120; then
        vm_stop_within 0 || true
        echo "VMTEST FAIL $name: update never started" >>"$log"
        return
    fi
    start=$(date +%s.%N)
    if [ "$cut" = none ]; then
        vm_wait_for "$log" "VMTEST MARK shutdown" 120 || true
        took=$(calc "$(date +%s.%N) - $start")
        vm_stop_within 120 || echo "VMTEST FAIL $name: no reboot within 120 s" >>"$log"
        grep -q "reboot: Restarting system" "$log" ||
            echo "VMTEST FAIL $name: guest did not reboot" >>"$log"
        grep -q "VMTEST MARK update signalled" "$log" ||
            echo "VMTEST FAIL $name: the update was never sent TERM and HUP" >>"$log"
    else
        sleep "$cut"
        kill -9 "$vm_pid" 2>/dev/null || echo "VMTEST FAIL $name: update ended before the cut" >>"$log"
        wait "$vm_pid" 2>/dev/null || true
    fi
    {
        echo "VMTEST MARK $name: cut at ${cut} s, update took ${took} s"
        disk_extract "$work/$name.img" "$work/$name.after"
        /usr/bin/python3 "$tree" check "$work/$name.after" "$name" "$cut"
    } >>"$log" 2>&1
    rm -rf "$work/$name.img" "$work/$name.after.img" "$work/$name.after"
}

run full none
whole=$took
logs=("$work/full.log")
for share in 0.4 0.55 0.7 0.85; do
    run "cut$share" "$(calc "$whole * $share")"
    logs+=("$work/cut$share.log")
done

# At least one cut must have found the copy half done, or nothing was
# tested.
mixed=$(cat "${logs[@]:1}" | tr -d '\r' | awk '/^VMTEST COUNTS/ && $3 > 0 && $4 > 0' | wc -l)
if [ "$mixed" -gt 0 ]; then
    echo "VMTEST PASS $mixed cuts fell in the middle of the copy" >>"$work/full.log"
else
    echo "VMTEST FAIL no cut fell in the middle of the copy" >>"$work/full.log"
fi
# The disks and trees take several hundred MiB; the logs tell the story.
rm -rf "$work"/{old,new,root.img,build.img,payload,initrd.gz}
vm_results "${logs[@]}"
