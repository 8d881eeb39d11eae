#!/usr/bin/env bash
# Builds the spectrum module again for a CPU with fused multiply-add
# (-march=x86-64-v3, as board SDKs and distribution rebuilds may) and checks
# that it holds no fused instruction and stores exactly what this build
# stores: every stage spectrum_dump prints, FFT magnitudes included, byte for
# byte. Both run here, with the same libm.
# usage: fma_build.sh SOURCE_DIR WORK_DIR PLAIN_DUMP OBJDUMP  (exit 77: no FMA here)
set -euo pipefail

source=$1 work=$2 plain=$3 objdump=$4
march=x86-64-v3

[ "$(uname -m)" = x86_64 ] || { echo "skipped: the build machine is not x86-64"; exit 77; }
grep -qw fma /proc/cpuinfo || { echo "skipped: this CPU has no FMA, so an FMA build cannot run here"; exit 77; }

cmake -S "$source" -B "$work" -DCMAKE_BUILD_TYPE=Release -DQN_BUILD_BENCHMARKS=OFF \
    -DCMAKE_C_FLAGS=-march=$march -DCMAKE_CXX_FLAGS=-march=$march >/dev/null
cmake --build "$work" -j2 --target spectrum spectrum_dump >/dev/null

status=0
"$(dirname "$0")/../install/check_no_fused.sh" "$objdump" "$work/spectrum/libspectrum.a" || status=1

dumps=$(mktemp -d)
trap 'rm -rf "$dumps"' EXIT
"$plain" >"$dumps/plain" 2>/dev/null
"$work/spectrum/tests/oracle/spectrum_dump" >"$dumps/fma" 2>/dev/null
# values differing per kind of line (the first word names it)
awk 'NR == FNR { line[FNR] = $0; next }
     { n = split(line[FNR], a, " "); split($0, b, " "); d = 0
       for (i = 2; i <= n; i++) d += (a[i] != b[i])
       if (d) { diff[a[1]] += d; total[a[1]] += n - 1 } }
     END { for (k in diff) printf "-march=%s: %s: %d of %d values differ\n", m, k, diff[k], total[k] }' \
    m="$march" "$dumps/plain" "$dumps/fma"
if cmp -s "$dumps/plain" "$dumps/fma"; then
    echo "-march=$march stores the same values as the plain build"
else
    status=1
fi
exit "$status"
