#!/usr/bin/env bash
# kzmnt-cli.exe under Wine against the panel simulator of the Linux build, through the Win32
# serial layer: kzpanel-sim serves its demo panel on a pseudo-terminal, which the Wine prefix
# maps to COM5 ($WINEPREFIX/dosdevices/com5 -> /dev/pts/N). Then backup, verify, restore and
# verify again with the Windows program; the image must equal, byte for byte, the one the
# Linux kzmnt-cli takes of the same panel. Last, a backup over an existing image is
# interrupted with Ctrl-C (SIGINT to the Wine process, which Wine hands to the console's
# control handler): the old image must be left as it was.
#
#   scripts/e2e-windows.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]   (build-win32, build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win=${1:-$root/build-win32}
linux=${2:-$root/build}
exe=$win/tools/kzmnt-cli/kzmnt-cli.exe
sim=$linux/tools/kzpanel-sim/kzpanel-sim
cli=$linux/tools/kzmnt-cli/kzmnt-cli
for f in "$exe" "$sim" "$cli"; do
    [ -f "$f" ] || { echo "e2e-windows: $f is missing; build it first." >&2; exit 1; }
done
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$win/wine-prefix
[ -f "$WINEPREFIX/system.reg" ] || { wineboot --init >/dev/null 2>&1; wineserver --wait; }

run=$win/e2e-run
rm -rf "$run"
mkdir -p "$run/images"
sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
trap 'stop_sim; rm -f "$WINEPREFIX/dosdevices/com5"' EXIT
start_sim() {
    "$sim" --loader-check "$root/demo/DEMO.LDR" >"$run/sim.out" 2>"$run/sim.err" &
    sim_pid=$!
    slave=
    for _ in $(seq 50); do
        slave=$(head -n 1 "$run/sim.out" 2>/dev/null || true)
        [ -n "$slave" ] && break
        sleep 0.1
    done
    [ -n "$slave" ] || { echo "e2e-windows: kzpanel-sim did not start" >&2; cat "$run/sim.err" >&2; exit 1; }
    ln -sfn "$slave" "$WINEPREFIX/dosdevices/com5"
}

sed "s#@SLAVE@#COM5#" "$root/demo/KZMNT.INI" >"$run/KZMNT.INI"
cp "$root/demo/DEMO.LDR" "$root/demo/DEMO.SLD" "$run/"
wcli() { wine "$exe" --yes --folder "$run" "$@"; }

start_sim
echo "== COM5 -> $slave"
time_start=$(date +%s)
for step in "backup images/win.mem --comment Windows" "verify images/win.mem" \
            "restore images/win.mem" "verify images/win.mem"; do
    echo "== kzmnt-cli.exe $step"
    (cd "$run" && wcli $step) | tail -n 2
done
time_win=$(( $(date +%s) - time_start ))
stop_sim

# The same panel (the simulator starts from its demo memory again) backed up on Linux.
start_sim
mkdir -p "$run/linux"
sed "s#@SLAVE@#$slave#" "$root/demo/KZMNT.INI" >"$run/linux/KZMNT.INI"
cp "$root/demo/DEMO.LDR" "$run/linux/"
"$cli" --yes --folder "$run/linux" backup "$run/linux/linux.mem" --comment Windows | tail -n 1
stop_sim
if cmp "$run/images/win.mem" "$run/linux/linux.mem"; then
    echo "== the Windows image equals the Linux one byte for byte"
else
    echo "e2e-windows: the images differ" >&2
    exit 1
fi

# Ctrl-C in the middle of a backup over the existing image.
start_sim
cp "$run/images/win.mem" "$run/images/keep.mem"
(cd "$run" && exec wine "$exe" --yes --folder "$run" backup images/win.mem >"$run/abort.out" 2>&1) &
wine_pid=$!
for _ in $(seq 100); do
    grep -q "Buckup" "$run/abort.out" 2>/dev/null && break
    sleep 0.1
done
# wine execs its loader in the same process: Ctrl-C is SIGINT to that process.
kill -INT "$wine_pid" 2>/dev/null || true
status=0
wait "$wine_pid" || status=$?
stop_sim
tail -n 3 "$run/abort.out"
if cmp -s "$run/images/win.mem" "$run/images/keep.mem"; then
    echo "== Ctrl-C (exit $status): the old image is kept"
else
    echo "e2e-windows: the old image changed after Ctrl-C" >&2
    exit 1
fi
echo "== kzmnt-cli.exe backup, verify, restore, verify: ${time_win} s"
