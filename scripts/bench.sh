#!/usr/bin/env bash
# Runs every benchmark program that the build produced.
set -euo pipefail
build=${1:-build-bench}
found=0
for b in "$build"/bench/bench_*; do
    [ -x "$b" ] || continue
    found=1
    echo "== $(basename "$b")"
    "$b"
done
[ $found -eq 1 ] || echo "bench: no benchmarks built yet"
