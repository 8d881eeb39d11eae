#!/bin/sh
# Runs a libFuzzer target for SECONDS from its committed corpus and
# dictionary, with a fixed seed (QN_FUZZ_SEED, default 1). New inputs go to
# WORK/new, a fault's input to WORK/crash-* and so on; the committed corpus
# is only read. --keep: WORK/new is kept from earlier runs (a campaign).
#   run_engine.sh ENGINE CORPUS DICT SECONDS WORK [--keep]
set -u
engine=$1 corpus=$2 dict=$3 seconds=$4 work=$5
if [ ! -x "$engine" ]; then
    echo "run_engine: no libFuzzer build at $engine" >&2
    exit 2
fi
[ "${6-}" = --keep ] || rm -rf "$work/new"
mkdir -p "$work/new"
"$engine" -seed="${QN_FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -dict="$dict" \
    -artifact_prefix="$work/" -print_final_stats=1 "$work/new" "$corpus"
status=$?
if [ "$status" != 0 ]; then
    echo "run_engine: fault found; the input is in $work/ (crash-*, leak-*, timeout-*)."
    echo "  replay it: $engine FILE"
    echo "  once fixed, keep it as a regression input: cp FILE $corpus/"
fi
exit "$status"
