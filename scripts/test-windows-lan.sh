#!/usr/bin/env bash
# The LAN round trip of the 32-bit Windows build under Wine: kzmnt-cli.exe loads Kevrosa.dll
# from its program folder and works a panel served by the Linux kzpanel-sim --lan on
# 127.0.0.1 (a free port).
#
#   scripts/test-windows-lan.sh [WIN32_BUILD_DIR]       (default build-win32)
#
# Checks, in order:
#   1. Kevrosa.dll exports exactly the decorated names that the binding looks up with
#      GetProcAddress (src/lan/LanLibrary.cpp), and nothing else.
#   2. Panel A (the simulator's demo panel): backup over the LAN, then verify.
#   3. Panel B (the same model, other bytes in FROM and SRAM): verify finds the difference
#      (exit 1), restore of A's image, verify passes, and a second backup equals A's image
#      byte for byte.
#   4. The node search: verify without --node finds panel B through Kevrosa.conf beside the
#      library.
# The Linux simulator comes from NATIVE_BUILD_DIR (default build; built when missing). Every
# wait is bounded; the simulator is stopped at the end, also when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-win32}
native=${NATIVE_BUILD_DIR:-$root/build}
jobs=${JOBS:-2}
step_wait=${KZ_LAN_STEP_TIMEOUT:-180}

unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$dir/wine-prefix}

fail() {
    echo "test-windows-lan: $*" >&2
    exit 1
}

timeout 1800 cmake --build "$dir" -j "$jobs" --target kzmnt-cli Kevrosa >/dev/null
sim=$native/tools/kzpanel-sim/kzpanel-sim
if [ ! -x "$sim" ]; then
    [ -f "$native/CMakeCache.txt" ] ||
        timeout 600 cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKZ_GUI=OFF \
            >/dev/null
    timeout 1800 cmake --build "$native" -j "$jobs" --target kzpanel-sim >/dev/null
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot --init >/dev/null 2>&1
    timeout 120 wineserver --wait
fi

start=$(date +%s)
cli_dir=$dir/tools/kzmnt-cli
run=$dir/lan-run
rm -rf "$run"
mkdir -p "$run"

# 1. The exports against the names the binding asks for.
sed -n 's/^ *{"\(?[^"]*\)", *"[A-Za-z_]*"},\{0,1\}$/\1/p; s/^ *{"\(?[^"]*\)",$/\1/p' \
    "$root/src/lan/LanLibrary.cpp" | sort >"$run/wanted.txt"
i686-w64-mingw32-objdump -p "$cli_dir/Kevrosa.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort >"$run/exported.txt"
[ "$(wc -l <"$run/wanted.txt")" -gt 0 ] || fail "no decorated names found in LanLibrary.cpp"
diff -u "$run/wanted.txt" "$run/exported.txt" ||
    fail "Kevrosa.dll does not export exactly the names the binding looks up"
echo "test-windows-lan: Kevrosa.dll exports the $(wc -l <"$run/wanted.txt") decorated names"

# The program folder: the program, the library, the node list, KZMNT.INI with COMMTYPE=1 and
# the demo model's loaders.
cp "$cli_dir/kzmnt-cli.exe" "$cli_dir/Kevrosa.dll" "$root/demo/DEMO.LDR" "$root/demo/DEMO.SLD" \
    "$run/"
sed -e '/^COM1=/d' -e 's/^\[CONFIG\]\r$/[CONFIG]\r\nCOMMTYPE=1\r/' "$root/demo/KZMNT.INI" \
    >"$run/KZMNT.INI"
grep -q '^COMMTYPE=1' "$run/KZMNT.INI" || fail "KZMNT.INI has no [CONFIG] section to extend"

# Panel B: the demo panel's model with other bytes in both areas.
source "$root/scripts/windows-test-panel.sh"
write_panel "$run/panel-b.txt" 5 6 "KZ OTHER PANEL"

sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        timeout 10 tail --pid="$sim_pid" -f /dev/null || kill -KILL "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=
}
finish() {
    stop_sim
    timeout 30 wineserver --kill >/dev/null 2>&1 || true
}
trap finish EXIT
trap 'exit 130' INT TERM

# serve NAME ARGS...: kzpanel-sim --lan 0 ARGS; sets $endpoint to the endpoint it serves.
serve() {
    local name=$1
    shift
    stop_sim
    "$sim" --lan 0 --loader-check "$root/demo/DEMO.SLD" "$@" >"$run/$name.out" 2>"$run/$name.err" &
    sim_pid=$!
    endpoint=
    for _ in $(seq 100); do
        endpoint=$(head -n 1 "$run/$name.out" 2>/dev/null || true)
        [ -n "$endpoint" ] && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    case $endpoint in
        127.0.0.1:*) ;;
        *) cat "$run/$name.err" >&2; fail "kzpanel-sim --lan did not start" ;;
    esac
    echo "$endpoint" >"$run/Kevrosa.conf"
}

# cli EXPECTED ARGS...: kzmnt-cli.exe ARGS in the program folder; fails unless it exits
# with EXPECTED.
winrun='Z:'${run//\//\\}
cli() {
    local expected=$1
    shift
    local rc=0
    echo "== kzmnt-cli.exe $*"
    (cd "$run" && timeout "$step_wait" wine "$run/kzmnt-cli.exe" --folder "$winrun" "$@") \
        >"$run/step.out" 2>"$run/step.err" </dev/null || rc=$?
    tail -n 1 "$run/step.out"
    if [ "$rc" -ne "$expected" ]; then
        cat "$run/step.out" "$run/step.err" >&2
        fail "kzmnt-cli.exe $* ended with $rc, not $expected"
    fi
}

# 2. Panel A.
serve panel-a
cli 0 --yes --node "$endpoint" backup 'a.mem' --comment "LAN round trip"
cli 0 --node "$endpoint" verify 'a.mem'

# 3. Panel B: the difference shows, the restore removes it, a backup gives A's image again.
serve panel-b --panel "$run/panel-b.txt"
cli 1 --node "$endpoint" verify 'a.mem'
cli 0 --yes --node "$endpoint" restore 'a.mem'
cli 0 --node "$endpoint" verify 'a.mem'
cli 0 --yes --node "$endpoint" backup 'b.mem' --comment "LAN round trip"
cmp "$run/a.mem" "$run/b.mem" || fail "panel B after the restore does not give A's image"
[ "$(stat -c %s "$run/a.mem")" -gt $((0x120000)) ] || fail "a.mem is shorter than both areas"

# 4. The node search through Kevrosa.conf.
cli 0 --yes verify 'a.mem'
stop_sim

echo "test-windows-lan: LAN round trip through Kevrosa.dll passed in $(($(date +%s) - start)) s"
