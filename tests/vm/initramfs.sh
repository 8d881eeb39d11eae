#!/usr/bin/env bash
# Builds a small initramfs for the virtual board: busybox (as init and every
# applet), the named kernel modules with their dependencies (loaded at boot
# in order), host programs with their shared libraries, and a payload
# directory whose main.sh runs once the system is up.
#
# usage: initramfs.sh OUT KERNEL_TREE PAYLOAD_DIR [-m MODULE]... [-b PROGRAM]...
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$1 kernel=$2 payload=$3
shift 3
modules=() programs=()
while [ $# -gt 0 ]; do
    case $1 in
        -m) modules+=("$2") ;;
        -b) programs+=("$2") ;;
        *) echo "initramfs.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

kver=$(cat "$kernel/kver")
moddir="$kernel/lib/modules/$kver"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc,proc,sys,dev,tmp,run,mnt,lib/modules}
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
ln -s bin/busybox "$root/init"
# busybox has no nohup; the board's does the same as this.
printf '#!/bin/sh\ntrap "" HUP\nexec "$@"\n' >"$root/bin/nohup"
chmod +x "$root/bin/nohup"

# Modules in load order: dependencies first, each once.
declare -A seen=()
add_module() {
    local line path dep
    line=$(grep -m1 -E "(^|/)$1\.ko:" "$moddir/modules.dep") ||
        { echo "initramfs.sh: no module $1 in $kver" >&2; exit 1; }
    path=${line%%:*}
    [ -n "${seen[$path]:-}" ] && return 0
    for dep in ${line#*:}; do
        dep=$(basename "$dep" .ko)
        add_module "$dep"
    done
    seen[$path]=1
    cp "$moddir/$path" "$root/lib/modules/"
    echo "$(basename "$path")" >>"$root/etc/modules"
}
touch "$root/etc/modules"
for m in "${modules[@]}"; do add_module "$m"; done

# Programs keep their host path; their libraries come along.
copy_with_libs() {
    local f lib
    for f in "$1" $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*' || true); do
        mkdir -p "$root$(dirname "$f")"
        cp -L "$f" "$root$f"
    done
}
for p in "${programs[@]}"; do copy_with_libs "$p"; done

cp -r "$payload" "$root/payload"
cp "$here/guest/inittab" "$root/etc/inittab"
cp "$here/guest/setup" "$here/guest/main" "$here/guest/check.sh" "$here/guest/at-shutdown" "$root/etc/"
chmod +x "$root/etc/setup" "$root/etc/main" "$root/etc/at-shutdown"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out"
