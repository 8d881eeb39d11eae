#!/usr/bin/env bash
# Fetches Debian's current amd64 kernel package into a cache directory and
# unpacks it there (never installing it), with a module index for the
# initramfs builder. Prints the unpacked tree. Safe to run again and from
# several tests at once.
# Exit status 77: no kernel can be had (the caller skips).
set -euo pipefail

cache=${1:?usage: kernel.sh CACHE_DIR}
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

current_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}

# Offline or without the archive, any kernel unpacked earlier still serves.
use_cached_or_skip() {
    if [ -f "$cache/current/ready" ]; then
        readlink -f "$cache/current"
        exit 0
    fi
    echo "$1" >&2
    exit 77
}

pkg=$(current_package)
if [ -z "$pkg" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    pkg=$(current_package)
fi
[ -n "$pkg" ] || use_cached_or_skip "no linux-image-*-amd64 package known to apt"

tree="$cache/$pkg"
if [ ! -f "$tree/ready" ]; then
    work=$(mktemp -d "$cache/fetch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    if ! (cd "$work" && apt-get download -qq "$pkg" >/dev/null 2>"$work/log"); then
        cat "$work/log" >&2
        use_cached_or_skip "apt-get download $pkg failed"
    fi
    dpkg-deb -x "$work"/"$pkg"_*.deb "$work/root"
    kver=$(ls "$work/root/lib/modules")
    depmod -b "$work/root" "$kver"
    ln -sf "boot/vmlinuz-$kver" "$work/root/vmlinuz"
    echo "$kver" >"$work/root/kver"
    rm -rf "$tree"
    mv "$work/root" "$tree"
    touch "$tree/ready"
    # Kernels the archive has moved past only take space.
    find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'linux-image-*' ! -name "$pkg" \
        -exec rm -rf {} +
fi
ln -sfn "$pkg" "$cache/current"
echo "$tree"
