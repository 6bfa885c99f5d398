#!/usr/bin/env bash
# The demo: a backup, verify and restore against the bundled panel simulator.
#
#   scripts/demo.sh [BUILD_DIR]      (make demo runs it after building)
#
# Starts kzpanel-sim with its built-in demo panel on a new pseudo-terminal, writes a program
# folder demo-run/ (KZMNT.INI with the demo model and COM1 mapped to the simulator's
# terminal, the demo loader), then runs kzmnt-cli backup, info, verify and restore in it.
# The simulator is stopped at the end, also when a step fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in
    /*) ;;
    *) build=$PWD/$build ;;
esac
cli=$build/tools/kzmnt-cli/kzmnt-cli
sim=$build/tools/kzpanel-sim/kzpanel-sim
for program in "$cli" "$sim"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build first (make build)." >&2
        exit 1
    fi
done

run=$root/demo-run
rm -rf "$run"
mkdir -p "$run/images"

sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        echo
        echo "== The simulator served:"
        cat "$run/sim.out" 2>/dev/null | tail -n +2 || true
    fi
    sim_pid=
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

# The simulator checks that what it receives is the demo loader before it starts it.
"$sim" --loader-check "$root/demo/DEMO.LDR" >"$run/sim.out" 2>"$run/sim.err" &
sim_pid=$!
slave=
for _ in $(seq 50); do
    slave=$(head -n 1 "$run/sim.out" 2>/dev/null || true)
    [ -n "$slave" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "demo: kzpanel-sim did not start:" >&2
        cat "$run/sim.err" >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$slave" ]; then
    echo "demo: kzpanel-sim did not name its terminal" >&2
    exit 1
fi

# KZMNT.INI lines end in CR LF; the template has them already.
sed "s#@SLAVE@#$slave#" "$root/demo/KZMNT.INI" >"$run/KZMNT.INI"
cp "$root/demo/DEMO.LDR" "$run/DEMO.LDR"
image=$run/images/demo.mem

echo "== Panel simulator on $slave (COM1 in $run/KZMNT.INI)"
step() {
    echo
    echo "== kzmnt-cli $*"
    "$cli" --yes --folder "$run" "$@"
}
step backup "$image" --comment "Demo backup"
step info "$image"
step verify "$image"
step restore "$image"
echo
echo "== Done. Image: $image ($(stat -c %s "$image") bytes); last status list: $run/KZMNT.log"
