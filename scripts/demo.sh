#!/usr/bin/env bash
# The demo: a backup, verify and restore against the bundled panel simulator, first over
# the serial link, then over the network.
#
#   scripts/demo.sh [BUILD_DIR]      (make demo runs it after building)
#
# Starts kzpanel-sim with its built-in demo panel on a new pseudo-terminal, writes a program
# folder demo-run/ (KZMNT.INI with the demo model and COM1 mapped to the simulator's
# terminal, the demo loaders, the LAN library), then runs kzmnt-cli backup, info, verify and
# restore in it. Then it serves the panel with kzpanel-sim --lan on 127.0.0.1:8000 (or a
# free port when 8000 is taken), lists that endpoint in Kevrosa.conf, sets COMMTYPE=1 and
# runs backup, verify (through the node search when the port is 8000) and restore again.
# Nothing leaves 127.0.0.1. With a display (DISPLAY or WAYLAND_DISPLAY set) it then opens
# the desktop application kzmnt in the same folder against a fresh serial simulator, for
# the user to try; closing its window ends the demo. The simulators are stopped at the end,
# also when a step fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in
    /*) ;;
    *) build=$PWD/$build ;;
esac
cli=$build/tools/kzmnt-cli/kzmnt-cli
sim=$build/tools/kzpanel-sim/kzpanel-sim
kevrosa=$build/tools/kzpanel-sim/libKevrosa.so
for program in "$cli" "$sim" "$kevrosa"; do
    if [ ! -f "$program" ]; then
        echo "demo: $program is missing; build first (make build)." >&2
        exit 1
    fi
done

run=$root/demo-run
rm -rf "$run"
mkdir -p "$run/images"

sim_pid=
sim_out=
stop_sim() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        echo
        echo "== The simulator served:"
        cat "$sim_out" 2>/dev/null | tail -n +2 || true
    fi
    sim_pid=
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

# start_sim NAME ARGS...: runs kzpanel-sim ARGS with its output in NAME.out and sets $first
# to the first line it prints (its terminal or its endpoint); fails when it does not start.
start_sim() {
    local name=$1
    shift
    sim_out=$run/$name.out
    "$sim" "$@" >"$sim_out" 2>"$run/$name.err" &
    sim_pid=$!
    first=
    for _ in $(seq 50); do
        first=$(head -n 1 "$sim_out" 2>/dev/null || true)
        [ -n "$first" ] && return 0
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            sim_pid=
            return 1
        fi
        sleep 0.1
    done
    return 1
}

# The simulator checks that what it receives is the demo loader before it starts it.
if ! start_sim sim --loader-check "$root/demo/DEMO.LDR"; then
    echo "demo: kzpanel-sim did not start:" >&2
    cat "$run/sim.err" >&2
    exit 1
fi
slave=$first

# KZMNT.INI lines end in CR LF; the template has them already.
sed "s#@SLAVE@#$slave#" "$root/demo/KZMNT.INI" >"$run/KZMNT.INI"
cp "$root/demo/DEMO.LDR" "$root/demo/DEMO.SLD" "$root/demo/RN_4000.EX3" "$kevrosa" "$run/"
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
stop_sim

# The same panel on the network. The LAN simulator checks the system loader (SLOADER).
if ! start_sim lan-sim --lan 8000 --loader-check "$root/demo/DEMO.SLD"; then
    echo "demo: port 8000 is taken; the LAN simulator takes a free port instead"
    start_sim lan-sim --lan 0 --loader-check "$root/demo/DEMO.SLD" || {
        echo "demo: kzpanel-sim --lan did not start:" >&2
        cat "$run/lan-sim.err" >&2
        exit 1
    }
fi
endpoint=$first
echo "$endpoint" >"$run/Kevrosa.conf"
sed -i -e '/^COMMTYPE=/d' -e 's/^\[CONFIG\]\r$/[CONFIG]\r\nCOMMTYPE=1\r/' "$run/KZMNT.INI"
lan_image=$run/images/demo-lan.mem

echo
echo "== LAN panel simulator on $endpoint (COMMTYPE=1 and Kevrosa.conf in $run)"
step --node "$endpoint" backup "$lan_image" --comment "Demo backup over the LAN"
if [ "$endpoint" = 127.0.0.1:8000 ]; then
    step verify "$lan_image"  # the node search finds the panel
    step --node 127.0.0.1 restore "$lan_image"
else
    step --node "$endpoint" verify "$lan_image"
    step --node "$endpoint" restore "$lan_image"
fi
echo
echo "== Done. Images: $image ($(stat -c %s "$image") bytes), $lan_image" \
    "($(stat -c %s "$lan_image") bytes); last status list: $run/KZMNT.log"
stop_sim

gui=$build/src/ui/kzmnt
if [ -x "$gui" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    if start_sim gui-sim --loader-check "$root/demo/DEMO.LDR"; then
        sed "s#@SLAVE@#$first#" "$root/demo/KZMNT.INI" >"$run/KZMNT.INI"
        echo
        echo "== kzmnt --folder $run (the panel simulator on $first as COM1; close the window to end)"
        "$gui" --folder "$run" || true
    fi
fi
