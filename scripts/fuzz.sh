#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for FUZZ_SECONDS (default 60) each, one after the
# other, on a scratch copy of its corpus (libFuzzer adds what it finds to the copy, never to
# the committed corpus), and prints one line per target: executions, coverage (cov and ft)
# at the start and at the end, and crashes. A crashing input is kept in
# BUILD_DIR/fuzz-runs/TARGET/ (crash-*, leak-*, timeout-*, oom-*); copy it to
# fuzz/corpus/TARGET/ once the fault is fixed. FUZZ_TARGETS picks targets (default: all).
# FUZZ_NICE (default 19) is the niceness the runs get.
set -uo pipefail
build=$(cd "${1:-build-fuzz}" && pwd) || exit 1
seconds=${FUZZ_SECONDS:-60}
nice_level=${FUZZ_NICE:-19}
root=$(cd "$(dirname "$0")/.." && pwd)
targets=${FUZZ_TARGETS:-$(cd "$root/fuzz/corpus" && ls)}
runs="$build/fuzz-runs"
mkdir -p "$runs"
rows=()
total_crashes=0
for t in $targets; do
    exe="$build/fuzz/fuzz_$t"
    if [ ! -x "$exe" ]; then
        echo "fuzz: $exe is missing" >&2
        rows+=("$(printf '%-14s %12s %16s %16s %8s' "$t" "-" "-" "-" "missing")")
        continue
    fi
    work="$runs/$t"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp "$root/fuzz/corpus/$t/"* "$work/corpus/" 2>/dev/null
    log="$work/log.txt"
    echo "fuzz: $t for ${seconds}s" >&2
    (cd "$work" && nice -n "$nice_level" "$exe" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$PWD/" \
        corpus >"$log" 2>&1)
    start=$(grep -m1 -E '#[0-9]+\s+INITED' "$log" | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/\1\/\2/')
    end=$(grep -E '#[0-9]+\s+(NEW|REDUCE|pulse|DONE|INITED)' "$log" | tail -1 |
          sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/\1\/\2/')
    execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    crashes=$(find "$work" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
              -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
    total_crashes=$((total_crashes + crashes))
    rows+=("$(printf '%-14s %12s %16s %16s %8s' "$t" "${execs:-?}" "${start:-?}" "${end:-?}" "$crashes")")
done
printf '\n%-14s %12s %16s %16s %8s\n' target executions "cov/ft start" "cov/ft end" crashes
for r in "${rows[@]}"; do echo "$r"; done
[ "$total_crashes" -eq 0 ]
