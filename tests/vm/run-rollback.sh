#!/usr/bin/env bash
# Taking a release back, on the power-cut group's trees and install root
# (commit=1, noauto_da_alloc): the old tree is release A, the staged one B.
# First a release that never confirms itself: with 2 boots to confirm, B is
# installed and the board boots three times running `updater --recover`,
# never `updater --confirm`; the tree must be B after the first two boots
# and exactly A after the third. Then `updater --rollback` from B with A
# kept: once uncut to measure it, then cut hard at a dozen moments and
# killed once as it removes what B added, each followed by a boot that runs
# `updater --recover`. Every recovered tree must be entirely A with the
# previous release gone, or entirely B with A still kept, which a further
# `--rollback` then reaches.
# usage: run-rollback.sh WORK_DIR CACHE_DIR UPDATER
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"
. "$vm_dir/cut.sh"
cut_setup "$3"
mode_disk confirm recover 2
mode_disk rollback rollback

# rollback NAME CUT: `updater --rollback` on $work/NAME.img, cut as cut_run says.
rollback() {
    local log=$work/$1.log
    # shellcheck disable=SC2046
    vm_start "$log" "$work/initrd.gz" $(disks "$work/$1.img" rollback)
    cut_run "$log" "rolling back" "journal closed" "$2" && [ "$2" = none ] || return 0
    vm_stop_within 60 || echo "VMTEST FAIL $1: guest still up 60 s after the rollback" >>"$log"
}

# kept NAME: after inspect NAME, a tree still at B keeps A as the previous
# release; one at A is exactly A, nothing of the previous release left.
kept() {
    local after=$work/$1.after state
    state=$(awk '/^VMTEST STATE/ { s = $3 } END { print s }' "$work/$1.log")
    {
        check "$1: no next kept release left" test ! -e "$after/.updater/previous-new"
        case $state in
        new) check "$1: release A kept" test -d "$after/.updater/previous" ;;
        old)
            check "$1: no previous release left" test ! -e "$after/.updater/previous"
            check "$1: exactly release A" diff -r -x .updater -x lost+found "$work/old" "$after"
            ;;
        esac
    } >>"$work/$1.log"
}

# A release that never confirms itself.
cp "$work/root.img" "$work/install.img"
update install none
inspect install none
kept install
rm -rf "$work"/install.after*
cp "$work/install.img" "$work/kept.img"
logs=("$work/install.log")
image=install
for boot in 1 2 3; do
    mv "$work/$image.img" "$work/boot$boot.img"
    image=boot$boot
    # shellcheck disable=SC2046
    vm_boot "$work/$image.log" 120 "$work/initrd.gz" $(disks "$work/$image.img" confirm)
    if [ "$boot" -le 2 ]; then
        inspect "$image" new
    else
        inspect "$image" old
        check "rolled back after 2 boots without confirmation" grep -q \
            "^rolled back: .*after 2 boots without confirmation" "$work/$image.after/.updater/result" \
            >>"$work/$image.log"
    fi
    kept "$image"
    logs+=("$work/$image.log")
    rm -rf "$work/$image.after"*
done

# `updater --rollback`, then cut.
cp "$work/kept.img" "$work/full.img"
rollback full none
whole=$took
echo "VMTEST MARK the rollback takes $whole s" >>"$work/full.log"
inspect full old
kept full
logs+=("$work/full.log")
further=0
after_cut() {
    kept "$1"
    # A tree still at B: two further rollbacks are enough to see A reached.
    grep -q '^VMTEST STATE new' "$work/$1.log" && [ "$further" -lt 2 ] || return 0
    further=$((further + 1))
    mv "$work/$1.img" "$work/$1-again.img"
    rollback "$1-again" none
    inspect "$1-again" old
    kept "$1-again"
    logs+=("$work/$1-again.log")
    rm -rf "$work/$1-again.img" "$work/$1-again.after"*
}
# Its renames, removals and release of the kept files take a tenth of a
# second or so after its commit.
cut_series rollback "$work/kept.img" "$whole" old "0 0.03 0.06 0.1"

# Killed once the first of the folders B added (new0, new1, new2) is gone:
# while the rollback removes what B added and releases the kept files.
mode_disk killed rollback new
cp "$work/kept.img" "$work/killed.img"
# shellcheck disable=SC2046
vm_boot "$work/killed.log" 120 "$work/initrd.gz" $(disks "$work/killed.img" killed)
! grep -q "VMTEST MARK journal closed" "$work/killed.log" ||
    echo "VMTEST MARK killed: the run had ended before the kill" >>"$work/killed.log"
recover killed
inspect killed any
after_cut killed
logs+=("$work/killed.log" "$work/killed-recover.log")
[ "$further" -gt 0 ] || echo "VMTEST MARK no cut left the tree at B" >>"$work/full.log"
echo "VMTEST MARK the whole test took $SECONDS s" >>"$work/full.log"
rm -rf "$work"/{old,new,*.img,*.after,payload,initrd.gz}
vm_results "${logs[@]}"
