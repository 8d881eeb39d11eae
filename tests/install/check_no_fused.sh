#!/usr/bin/env bash
# Checks that objects contain no fused multiply-add instruction (ARM
# vfma/vfms/vfnma/vfnms, x86-64 vfmadd/vfmsub/vfnmadd/vfnmsub and their
# addsub forms). Every product must be rounded before it is added, or the
# results differ from those of other builds; compilers may fuse anyway when
# they vectorise for a CPU that has the instruction (-march=x86-64-v3, say),
# whatever -ffp-contract says.
# usage: check_no_fused.sh OBJDUMP --installed BUILD_DIR   (every installed file)
#        check_no_fused.sh OBJDUMP FILE...
# QN_INSTALL_LIBDIR: the libraries' folder below the prefix (default lib).
set -euo pipefail

objdump=$1
shift
if [ "$1" = --installed ]; then
    prefix=$(mktemp -d)
    trap 'rm -rf "$prefix"' EXIT
    cmake --install "$2" --prefix "$prefix" >/dev/null
    shopt -s nullglob
    libs=("$prefix/${QN_INSTALL_LIBDIR:-lib}"/*.a)
    [ ${#libs[@]} -gt 0 ] || { echo "$prefix/${QN_INSTALL_LIBDIR:-lib}: no library installed"; exit 1; }
    files=("${libs[@]}" "$prefix"/bin/*)
else
    prefix=
    files=("$@")
fi

status=0
for f in "${files[@]}"; do
    fused=$("$objdump" -d "$f" | grep -E '\svfn?m(add|sub|[as]\.)' || true)
    if [ -n "$fused" ]; then
        name=$f
        [ -z "$prefix" ] || name=${f#"$prefix"/}
        echo "$name: $(echo "$fused" | wc -l) fused multiply-add instructions, as"
        echo "$fused" | head -n 3
        status=1
    fi
done
[ "$status" = 0 ] && echo "no fused multiply-add in: ${files[*]##"$prefix"/}"
exit "$status"
