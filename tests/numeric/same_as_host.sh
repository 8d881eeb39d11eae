#!/usr/bin/env bash
# Compares a cross build's spectrum results with the build machine's, byte
# for byte: every stage spectrum_dump prints (windows and their sums, FFT
# magnitudes, decimation, conversions, peaks, frequency axis).
# The host driver runs with glibc's generic libm code, which is the code the
# board's libm runs. x86_64 glibc otherwise picks variants of cos, sin, exp
# and pow compiled for FMA whose results may differ in the last bit; how
# many values that changes is reported, not checked.
# usage: same_as_host.sh HOST_DRIVER TARGET_DRIVER  (exit 77: no host build)
set -euo pipefail

host=$1 target=$2
if [ ! -x "$host" ]; then
    echo "no host spectrum_dump at $host: build the host preset first"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$target" >"$work/target"
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA "$host" >"$work/host-generic"
"$host" >"$work/host-default"

# values differing between two dumps, and all values
differing_values() {
    awk 'NR == FNR { line[FNR] = $0; next }
         { n = split(line[FNR], a, " "); split($0, b, " ")
           for (i = 1; i <= n; i++) if (a[i] != b[i]) d++
           total += n }
         END { print d + 0, "of", total }' "$1" "$2"
}

echo "with the host's default libm: $(differing_values "$work/host-default" "$work/target") values differ"
echo "with the host's generic libm: $(differing_values "$work/host-generic" "$work/target") values differ"
cmp "$work/host-generic" "$work/target"
echo "identical to the host's results"
