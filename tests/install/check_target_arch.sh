#!/usr/bin/env bash
# Installs a cross build into a scratch prefix and checks that everything in
# it is built for the board: 32-bit ARM, hard-float calling convention, IEEE
# floating point (no fast-math object slipped in) and the expected FPU.
# (check_no_fused.sh checks for fused multiply-add, on every target.)
# usage: check_target_arch.sh BUILD_DIR READELF FP_ARCH
# QN_INSTALL_LIBDIR: the libraries' folder below the prefix (default lib).
set -euo pipefail

build=$1 readelf=$2 fp_arch=$3

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "$1: $2"; exit 1; }

# Every object file (one per archive member) must carry the attribute.
each_object_has() {
    local file=$1 attribute=$2 objects matching
    objects=$("$readelf" -h "$file" | grep -c '^ *Machine:')
    matching=$("$readelf" -A "$file" | grep -c -- "$attribute" || true)
    [ "$objects" -gt 0 ] && [ "$objects" = "$matching" ] ||
        fail "$file" "$matching of $objects objects have '$attribute'"
}

check_elf() {
    local file=$1
    "$readelf" -h "$file" | grep '^ *Class:' | grep -qv ELF32 && fail "$file" "not 32-bit"
    "$readelf" -h "$file" | grep '^ *Machine:' | grep -qv ARM && fail "$file" "not ARM"
    each_object_has "$file" "Tag_ABI_VFP_args: VFP registers"
    each_object_has "$file" "Tag_ABI_FP_number_model: IEEE 754"
    each_object_has "$file" "Tag_FP_arch: $fp_arch"
}

shopt -s nullglob
libs=("$prefix/${QN_INSTALL_LIBDIR:-lib}"/*.a)
[ ${#libs[@]} -gt 0 ] || fail "$prefix/${QN_INSTALL_LIBDIR:-lib}" "no library installed"
files=("${libs[@]}" "$prefix"/bin/*)
for f in "${files[@]}"; do
    check_elf "$f"
done
if [ -e "$prefix/bin/updater" ]; then
    file -b "$prefix/bin/updater" | grep -q '^ELF 32-bit LSB .*ARM, EABI5' ||
        fail bin/updater "$(file -b "$prefix/bin/updater")"
fi
echo "board build: ${files[*]##"$prefix"/}"
