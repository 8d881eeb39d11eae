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
. "$vm_dir/cut.sh"
cut_setup "$3"

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
cut_series update "$work/root.img" "$whole" new
# The disks and trees take several hundred MiB; the logs tell the story.
rm -rf "$work"/{old,new,root.img,build.img,payload,initrd.gz}
vm_results "${logs[@]}"
