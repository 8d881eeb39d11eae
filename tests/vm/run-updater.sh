#!/usr/bin/env bash
# updater end to end on a real kernel: ext4 install root, busybox killall,
# mount and reboot. The disk is checked from the host after the guest
# rebooted by itself.
# usage: run-updater.sh WORK_DIR CACHE_DIR UPDATER
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"
updater=$3

# Installed tree.
old=$work/old
mkdir -p "$old"/{bin,www,isdir}
echo "old a" >"$old/a.txt"
echo "only in the install root" >"$old/keep.txt"
echo "installed secret" >"$old/secret.txt"
echo "old index" >"$old/www/index.html"
echo "old script" >"$old/mode.sh" && chmod 750 "$old/mode.sh"
echo "old dirlink" >"$old/dirlink"
echo "old outside" >"$old/outside"
cp /bin/busybox "$old/bin/busybox"
mkfs.ext4 -q -F -L quarnel -d "$old" "$work/root.img" 32M

# Staged tree (the guest adds a FIFO).
build=$work/payload/build
mkdir -p "$build"/www/apps/deep "$build/bin" "$build/empty"
echo "new a" >"$build/a.txt"
echo "brand new" >"$build/new.txt"
echo "new index" >"$build/www/index.html"
echo "nested" >"$build/www/apps/deep/nested.txt"
echo "new script" >"$build/mode.sh"
echo "staged secret" >"$build/secret.txt"
echo "a file where a directory is installed" >"$build/isdir"
{ cat /bin/busybox; echo "new build"; } >"$build/bin/busybox" && chmod 755 "$build/bin/busybox"
ln -s a.txt "$build/inlink"
ln -s www "$build/dirlink"
ln -s /etc/guest-secret "$build/outside"
ln -s missing "$build/dangling"

# What the install root must hold afterwards.
expected=$work/expected
cp -a "$old" "$expected"
mkdir -p "$expected/lost+found" "$expected/www/apps/deep" "$expected/empty"
cp "$build"/{a.txt,new.txt,secret.txt} "$expected/"
cp "$build/www/index.html" "$expected/www/"
cp "$build/www/apps/deep/nested.txt" "$expected/www/apps/deep/"
cp "$build/bin/busybox" "$expected/bin/"
echo "new script" >"$expected/mode.sh"
echo "new a" >"$expected/inlink"
echo stopped >"$expected/hostapd.stopped"
mkdir "$expected/.updater"
echo "installed: 8 files, 3 new folders" >"$expected/.updater/result"

cp "$vm_dir/guest/updater.sh" "$work/payload/main.sh"
cp "$updater" "$work/payload/updater"
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" \
    -m ext4 -m crc32c_generic -m virtio_blk -m virtio_pci -b "$updater"
started=$(date +%s)
vm_boot "$work/boot.log" 180 "$work/initrd.gz" \
    -drive file="$work/root.img",format=raw,if=virtio
echo "boot and update: $(($(date +%s) - started)) s"

. "$vm_dir/disk.sh"
{
    log=$(tr -d '\r' <"$work/boot.log")
    in_log() { grep -q "$1" <<<"$log"; }
    check "guest rebooted by itself" in_log "reboot: Restarting system"
    check "nginx stopped" in_log "VMTEST MARK nginx stopped"
    check "hostapd stopped" in_log "VMTEST MARK hostapd stopped"
    expect_eq "parent returned before the reboot" "VMTEST MARK updater started" \
        "$(grep -m1 -o 'VMTEST MARK updater started\|VMTEST MARK shutdown' <<<"$log")"
    disk_extract "$work/root.img" "$work/after"
    # The release it replaced is kept for a rollback: hard links, checked elsewhere.
    differences=$(diff -r --no-dereference -x previous "$expected" "$work/after" 2>&1 | head -n 5 | tr '\n' ';' || true)
    expect_eq "installed tree as expected" "" "$differences"
    check "previous release kept" test -d "$work/after/.updater/previous"
    expect_eq "existing file keeps its mode" 750 "$(stat -c %a "$work/after/mode.sh")"
    expect_eq "new file gets the default mode" 644 "$(stat -c %a "$work/after/new.txt")"
    expect_eq "new link target installed as a file" "regular file" "$(stat -c %F "$work/after/inlink")"
} >>"$work/boot.log"
vm_results "$work/boot.log"
