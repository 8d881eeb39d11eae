# Host side of the power-cut groups (run-powercut.sh, run-rollback.sh): the
# trees of powercut_tree.py on an ext4 install root (/dev/vda), the staged
# tree (/dev/vdb) and a disk whose words tell guest/powercut.sh what to do
# (/dev/vdc); runs cut hard at a chosen moment, the boot that recovers, and
# the checks of the disk. Sourced after lib.sh's vm_prepare.
tree=$vm_dir/powercut_tree.py
. "$vm_dir/disk.sh"

# mode_disk NAME WORDS...: $work/NAME.mode, to boot the guest with.
mode_disk() {
    local name=$1
    shift
    printf '%s\n' "$*" >"$work/$name.mode"
    truncate -s 4096 "$work/$name.mode"
}

# cut_setup UPDATER: the old tree installed on $work/root.img, the new one
# staged on $work/build.img, the update and recover modes, the initramfs.
cut_setup() {
    /usr/bin/python3 "$tree" make "$work/old" "$work/new"
    # Inode tables and journal initialised now: the kernel's background
    # initialisation would otherwise write to the disk while writes are counted.
    mkfs.ext4 -q -F -L quarnel -E lazy_itable_init=0,lazy_journal_init=0 \
        -d "$work/old" "$work/root.img" 192M
    mkfs.ext4 -q -F -L build -d "$work/new" "$work/build.img" 128M
    mode_disk update update
    mode_disk recover recover
    mkdir "$work/payload"
    cp "$vm_dir/guest/powercut.sh" "$work/payload/main.sh"
    cp "$1" "$work/payload/updater"
    "$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" \
        -m ext4 -m crc32c_generic -m virtio_blk -m virtio_pci -b "$1"
}

calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
disks() {
    echo -drive file="$1",format=raw,if=virtio \
        -drive file="$work/build.img",format=raw,if=virtio,readonly=on \
        -drive file="$work/$2.mode",format=raw,if=virtio,readonly=on
}

# cut_run LOG START END CUT: for the guest just started, whose run marks
# START when it begins and END when it is over. Cuts the power CUT seconds
# after START, or CUT seconds after the run's journal reads as committed
# ("commit+CUT"), or never ("none": waits for END and sets $took to the
# seconds between). False when START never showed (the guest is stopped).
cut_run() {
    local log=$1 cut=$4 start
    if ! vm_wait_for "$log" "VMTEST MARK $2" 120; then
        vm_stop_within 0 || true
        echo "VMTEST FAIL $(basename "$log" .log): $2 never started" >>"$log"
        return 1
    fi
    start=$(date +%s.%N)
    if [ "$cut" = none ]; then
        vm_wait_for "$log" "VMTEST MARK $3" 120 || true
        took=$(calc "$(date +%s.%N) - $start")
        return 0
    fi
    case $cut in
    commit+*)
        vm_wait_for "$log" "VMTEST MARK committed" 120 ||
            echo "VMTEST FAIL $(basename "$log" .log): the run was never seen committed" >>"$log"
        cut=${cut#commit+}
        ;;
    esac
    sleep "$cut"
    if grep -q "VMTEST MARK $3" "$log" || ! kill -9 "$vm_pid" 2>/dev/null; then
        echo "VMTEST MARK $(basename "$log" .log): the run had ended before the cut" >>"$log"
    fi
    wait "$vm_pid" 2>/dev/null || true
    # Cut short on purpose, maybe in the middle of a line.
    printf '\nVMTEST END\n' >>"$log"
}

# update NAME CUT: one update on $work/NAME.img, cut as cut_run says; an
# uncut one must reboot the guest by itself.
update() {
    local name=$1 log=$work/$1.log
    # shellcheck disable=SC2046
    vm_start "$log" "$work/initrd.gz" $(disks "$work/$name.img" update)
    cut_run "$log" updating shutdown "$2" && [ "$2" = none ] || return 0
    vm_stop_within 120 || echo "VMTEST FAIL $name: no reboot within 120 s" >>"$log"
    grep -q "reboot: Restarting system" "$log" ||
        echo "VMTEST FAIL $name: guest did not reboot" >>"$log"
    grep -q "VMTEST MARK update signalled" "$log" ||
        echo "VMTEST FAIL $name: the update was never sent TERM and HUP" >>"$log"
}

# recover NAME [MODE]: the next boot of $work/NAME.img, which runs
# `updater --recover` (MODE names another mode disk).
recover() {
    # shellcheck disable=SC2046
    vm_boot "$work/$1-recover.log" 120 "$work/initrd.gz" $(disks "$work/$1.img" "${2:-recover}")
}

# inspect NAME CUT: file system and tree, checked on the host.
inspect() {
    {
        disk_extract "$work/$1.img" "$work/$1.after"
        /usr/bin/python3 "$tree" check "$work/$1.after" "$1" "$2"
    } >>"$work/$1.log" 2>&1
}

# cut_series RUN IMAGE WHOLE DONE [AFTER]: twelve runs of `RUN NAME CUT` on
# copies of IMAGE, eight cut at moments spread over the WHOLE seconds the
# run takes and four the AFTER seconds after its commit (default 0 0.02
# 0.05 0.15), each followed by the boot that recovers and the checks; adds
# their logs to $logs. A cut after the commit must find the tree in state
# DONE. A function after_cut NAME, when there is one, checks more before
# the disk is removed.
cut_series() {
    local run=$1 image=$2 whole=$3 done=$4 after=${5:-0 0.02 0.05 0.15} share name cut states
    # shellcheck disable=SC2086
    for share in 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 $(printf 'commit+%s ' $after); do
        name=cut$share
        case $share in
        commit+*) cut=$share ;;
        *) cut=$(calc "$whole * $share") ;;
        esac
        cp "$image" "$work/$name.img"
        "$run" "$name" "$cut"
        echo "VMTEST MARK $name: cut at $cut s (the run takes $whole s)" >>"$work/$name.log"
        recover "$name"
        inspect "$name" "$share"
        logs+=("$work/$name.log" "$work/$name-recover.log")
        if declare -F after_cut >/dev/null; then after_cut "$name"; fi
        rm -rf "$work/$name.img" "$work/$name.after.img" "$work/$name.after"
    done
    if grep -q "^VMTEST STATE $done" "$work"/cutcommit*.log; then
        echo "VMTEST PASS a cut after the commit was completed by the recovery" >>"$work/full.log"
    else
        echo "VMTEST FAIL no cut after the commit ended with the $done tree" >>"$work/full.log"
    fi
    states=$(cat "${logs[@]}" | tr -d '\r' | awk '/^VMTEST STATE/ { print $3 }' | sort | uniq -c | tr '\n' ' ')
    echo "VMTEST MARK recovered trees: $states" >>"$work/full.log"
}
