#!/usr/bin/env bash
# Installs the packages with dpkg -i on a throwaway copy of this machine (an
# overlay on / in a private mount and PID namespace: nothing here changes),
# then, with no search path given, builds C consumers of the modules through
# pkg-config and a CMake consumer through find_package, and runs them, the
# installed spectrum-analyser, and man on the installed pages.
# usage: install_and_consume.sh SOURCE_DIR DEB...
# Environment: QN_MODULES and QN_PROGRAMS, space-separated. Exit 77: no
# namespace or overlay could be made here.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    unshare --mount --pid --fork true 2>/dev/null || { echo "no private namespaces here"; exit 77; }
    exec unshare --mount --pid --fork --propagation private "$0" --inside "$@"
fi
shift
src=$1
shift

work=$(mktemp -d /var/tmp/boardkit-root.XXXXXX)
# Never follow a mount that is still there when cleaning up.
trap 'umount -R "$work" 2>/dev/null; rm -rf --one-file-system "$work"' EXIT
mount -t tmpfs tmpfs "$work"
mkdir "$work/upper" "$work/work" "$work/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root" ||
    { echo "no overlay on / here"; exit 77; }
root=$work/root
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/tmp"
# A /dev of its own with only the harmless nodes the tools use.
mount -t tmpfs -o mode=755 tmpfs "$root/dev"
for node in null zero full random urandom; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done

mkdir "$root/tmp/debs" "$root/tmp/consumers"
cp "$@" "$root/tmp/debs/"
for m in $QN_MODULES; do
    cp "$src/$m/tests/consumer.c" "$root/tmp/consumers/$m.c"
done

chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LC_ALL=C.UTF-8 \
    QN_MODULES="$QN_MODULES" QN_PROGRAMS="$QN_PROGRAMS" /bin/bash -euo pipefail -c '
cd /tmp
dpkg -i debs/*.deb >/dev/null
for package in boardkit boardkit-dev; do
    dpkg-query -W -f="\${Status}\n" "$package" | grep -q "install ok installed"
done

echo "cmake_minimum_required(VERSION 3.25)" >consumers/CMakeLists.txt
echo "project(consumers C)" >>consumers/CMakeLists.txt
for m in $QN_MODULES; do
    # shellcheck disable=SC2046
    cc -std=c99 -Wall -Werror -o "pc-$m" "consumers/$m.c" $(pkg-config --static --cflags --libs "$m")
    "./pc-$m"
    echo "find_package($m REQUIRED)" >>consumers/CMakeLists.txt
    echo "add_executable($m $m.c)" >>consumers/CMakeLists.txt
    echo "target_link_libraries($m PRIVATE $m::$m)" >>consumers/CMakeLists.txt
done
cmake -S consumers -B cmake-build >/dev/null
cmake --build cmake-build >/dev/null
for m in $QN_MODULES; do
    "cmake-build/$m"
done

for page in updater; do
    man -w "$page" >/dev/null
done
case " $QN_PROGRAMS " in *" spectrum-analyser "*)
    spectrum-analyser | grep -qx "A: peak 10.00 dBm at 7.8125 MHz"
    man -w spectrum-analyser >/dev/null ;;
esac
'
echo "installed with dpkg -i; consumers of $QN_MODULES built with pkg-config and find_package and run"
