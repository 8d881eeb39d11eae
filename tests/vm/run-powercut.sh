#!/usr/bin/env bash
# Power cuts during an update, on an install root mounted commit=1,
# noauto_da_alloc (no help from ext4's heuristics). A first, uncut run
# measures how long the update takes (start of the update to start of the
# reboot); then a dozen runs are cut hard at moments spread over the whole
# of it, commit included, each followed by a boot that runs
# `updater --recover`. Every recovered tree must be entirely old or
# entirely new, with no temporary file left and a clean file system. The
# update is sent SIGTERM and SIGHUP all along, which must not stop it. A
# re-run of the same update over the updated tree must write next to
# nothing to the disk (the guest's block-device write counter).
# usage: run-powercut.sh WORK_DIR CACHE_DIR UPDATER
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"
tree=$vm_dir/powercut_tree.py
. "$vm_dir/disk.sh"

/usr/bin/python3 "$tree" make "$work/old" "$work/new"
# Inode tables and journal initialised now: the kernel's background
# initialisation would otherwise write to the disk while writes are counted.
mkfs.ext4 -q -F -L quarnel -E lazy_itable_init=0,lazy_journal_init=0 \
    -d "$work/old" "$work/root.img" 192M
mkfs.ext4 -q -F -L build -d "$work/new" "$work/build.img" 128M
for mode in update recover; do
    printf '%s\n' "$mode" >"$work/$mode.mode"
    truncate -s 4096 "$work/$mode.mode"
done
mkdir "$work/payload"
cp "$vm_dir/guest/powercut.sh" "$work/payload/main.sh"
cp "$3" "$work/payload/updater"
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" \
    -m ext4 -m crc32c_generic -m virtio_blk -m virtio_pci -b "$3"

calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
disks() {
    echo -drive file="$1",format=raw,if=virtio \
        -drive file="$work/build.img",format=raw,if=virtio,readonly=on \
        -drive file="$work/$2.mode",format=raw,if=virtio,readonly=on
}

# update NAME CUT: one update on $work/NAME.img, cut CUT seconds into it,
# or CUT seconds after its journal was committed ("commit+CUT"), or never
# ("none": let it finish, and set $took to the seconds from the start of
# the update to the start of the reboot).
update() {
    local name=$1 cut=$2 log=$work/$1.log start
    # shellcheck disable=SC2046
    vm_start "$log" "$work/initrd.gz" $(disks "$work/$name.img" update)
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
        case $cut in
        commit+*)
            vm_wait_for "$log" "VMTEST MARK committed" 120 ||
                echo "VMTEST FAIL $name: the update was never seen committed" >>"$log"
            cut=${cut#commit+}
            ;;
        esac
        sleep "$cut"
        if grep -q "VMTEST MARK shutdown" "$log" || ! kill -9 "$vm_pid" 2>/dev/null; then
            echo "VMTEST MARK $name: the update had ended before the cut" >>"$log"
        fi
        wait "$vm_pid" 2>/dev/null || true
        echo "VMTEST END" >>"$log"  # cut short on purpose
    fi
}

# recover NAME: the next boot, which runs `updater --recover`.
recover() {
    # shellcheck disable=SC2046
    vm_boot "$work/$1-recover.log" 120 "$work/initrd.gz" $(disks "$work/$1.img" recover)
}

# inspect NAME CUT: file system and tree, checked on the host.
inspect() {
    {
        disk_extract "$work/$1.img" "$work/$1.after"
        /usr/bin/python3 "$tree" check "$work/$1.after" "$1" "$2"
    } >>"$work/$1.log" 2>&1
}

sectors_written() { tr -d '\r' <"$1" | awk -v what="$2" '$0 ~ "^VMTEST MARK vda " what { n = $NF } END { print n + 0 }'; }

cp "$work/root.img" "$work/full.img"
update full none
whole=$took
inspect full none

# The same update again over the updated tree.
mv "$work/full.img" "$work/rerun.img"
update rerun none
inspect rerun none
written=$(($(sectors_written "$work/rerun.log" written) - $(sectors_written "$work/rerun.log" before)))
if [ "$written" -le 512 ]; then
    echo "VMTEST PASS identical re-run wrote $((written / 2)) KiB in $took s" >>"$work/rerun.log"
else
    echo "VMTEST FAIL identical re-run wrote $((written / 2)) KiB in $took s" >>"$work/rerun.log"
fi
logs=("$work/full.log" "$work/rerun.log")
rm -rf "$work"/full.after* "$work"/rerun.*img "$work"/rerun.after

# Eight cuts spread over the update, four just after its commit.
for share in 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 commit+0 commit+0.02 commit+0.05 commit+0.15; do
    name=cut$share
    case $share in
    commit+*) cut=$share ;;
    *) cut=$(calc "$whole * $share") ;;
    esac
    cp "$work/root.img" "$work/$name.img"
    update "$name" "$cut"
    echo "VMTEST MARK $name: cut at $cut s (the update takes $whole s)" >>"$work/$name.log"
    recover "$name"
    inspect "$name" "$share"
    logs+=("$work/$name.log" "$work/$name-recover.log")
    rm -rf "$work/$name.img" "$work/$name.after.img" "$work/$name.after"
done

# A cut after the commit must find the update completed by the recovery.
if grep -q '^VMTEST STATE new' "$work"/cutcommit*.log; then
    echo "VMTEST PASS a cut after the commit was completed by the recovery" >>"$work/full.log"
else
    echo "VMTEST FAIL no cut after the commit ended with the new tree" >>"$work/full.log"
fi
states=$(cat "${logs[@]}" | tr -d '\r' | awk '/^VMTEST STATE/ { print $3 }' | sort | uniq -c | tr '\n' ' ')
echo "VMTEST MARK recovered trees: $states" >>"$work/full.log"
# The disks and trees take several hundred MiB; the logs tell the story.
rm -rf "$work"/{old,new,root.img,build.img,payload,initrd.gz}
vm_results "${logs[@]}"
