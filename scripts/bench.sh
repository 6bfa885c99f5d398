#!/usr/bin/env bash
# Runs every benchmark program that the build produced and prints its table.
#
#   scripts/bench.sh [BUILD_DIR]      (make bench runs it after a Release build)
#
# Timings depend on what else the machine is doing, so the load average is printed first.
set -euo pipefail
build=${1:-build-bench}
found=0
failed=0
if [ -r /proc/loadavg ]; then
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
fi
for b in "$build"/bench/bench_*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    found=1
    echo
    echo "== $(basename "$b")"
    if ! "$b"; then
        echo "bench: $(basename "$b") failed" >&2
        failed=1
    fi
done
[ $found -eq 1 ] || echo "bench: no benchmarks built yet"
exit $failed
