#!/usr/bin/env bash
# kzmnt-cli.exe end to end under Wine, through the Win32 serial layer: the Linux panel
# simulator serves a pseudo-terminal, the Wine prefix maps COM5 to it, and the Windows
# program runs backup, verify and restore on COM5 as on a real port.
#
#   scripts/test-windows-e2e.sh WIN_BUILD_DIR NATIVE_BUILD_DIR
#
# WIN_BUILD_DIR holds tools/kzmnt-cli/kzmnt-cli.exe and the Wine prefix (wine-prefix, or
# $WINEPREFIX when set); NATIVE_BUILD_DIR holds the Linux kzpanel-sim and kzmnt-cli. The
# run's folder is WIN_BUILD_DIR/e2e-run (kept for reading after a failure).
#
# What it checks:
#   1. backup from panel A, byte-exact against a backup of the same panel by the Linux
#      kzmnt-cli over the termios layer; verify of it against panel A completes
#   2. on panel B (the same model, other memory contents) verify finds the difference;
#      restore of A's image, then a second backup: the memory now equals A's image byte
#      for byte
#   3. Ctrl-C (SIGINT, which Wine turns into CTRL_C_EVENT) during a backup onto an
#      existing image: exit status 1, the abort's status line, the old image unchanged
#      (the data read so far goes to a .partial file beside it, as the program says)
# Every program run and every wait has a time limit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
cli=$win/tools/kzmnt-cli/kzmnt-cli.exe
sim=$native/tools/kzpanel-sim/kzpanel-sim
native_cli=$native/tools/kzmnt-cli/kzmnt-cli
for program in "$cli" "$sim" "$native_cli"; do
    if [ ! -f "$program" ]; then
        echo "windows e2e: $program is missing" >&2
        exit 2
    fi
done
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$win/wine-prefix}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot --init >/dev/null 2>&1
    timeout 120 wineserver --wait
fi

run=$win/e2e-run
rm -rf "$run"
mkdir -p "$run"
com=com5
run_limit=300 # seconds for one program run

fail() {
    echo "windows e2e: FAILED: $*" >&2
    exit 1
}

sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        timeout 10 tail --pid="$sim_pid" -f /dev/null || kill -KILL "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=
}
trap 'stop_sim; rm -f "$WINEPREFIX/dosdevices/$com"' EXIT
trap 'exit 130' INT TERM

# write_panel FILE FROM_SEED SRAM_SEED: a panel of the demo model.
source "$root/scripts/windows-test-panel.sh"

# start_sim NAME DESCRIPTION: serves the panel on a new pseudo-terminal and maps COM5 to it.
start_sim() {
    stop_sim
    "$sim" --panel "$2" --loader-check "$root/demo/DEMO.LDR" >"$run/$1.out" 2>"$run/$1.err" &
    sim_pid=$!
    local slave=
    for _ in $(seq 100); do
        slave=$(head -n 1 "$run/$1.out" 2>/dev/null || true)
        [ -n "$slave" ] && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$slave" ] || fail "kzpanel-sim did not start: $(cat "$run/$1.err")"
    ln -sfn "$slave" "$WINEPREFIX/dosdevices/$com"
    current_slave=$slave
}

# The program folder: the demo model and loaders, COM5 as the port.
sed -e 's/^COM=1\r$/COM=5\r/' -e 's#^COM1=@SLAVE@\r$#COM5=COM5\r#' \
    "$root/demo/KZMNT.INI" >"$run/KZMNT.INI"
grep -q '^COM5=COM5' "$run/KZMNT.INI" || fail "the demo KZMNT.INI changed its layout"
cp "$root/demo/DEMO.LDR" "$root/demo/DEMO.SLD" "$run/"

# What a Windows program calls a file of the run's folder (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# cli NAME ARGS...: kzmnt-cli.exe --yes --folder RUN ARGS, output in NAME.out/.err, status
# in $status.
cli() {
    local name=$1
    shift
    status=0
    timeout -k 10 "$run_limit" wine "$cli" --yes --folder "$(winpath "$run")" "$@" \
        >"$run/$name.out" 2>"$run/$name.err" </dev/null || status=$?
}

last_line() { tr -d '\r' <"$1" | grep -v '^$' | tail -n 1; }
completed="Processing was completed."
aborted="Processing was aborted by operation."
expect_completed() {
    [ "$status" -eq 0 ] || fail "$1 ended with status $status: $(tail -n 5 "$run/$1.out" "$run/$1.err")"
    [ "$(last_line "$run/$1.out")" = "$completed" ] || fail "$1: $(tail -n 3 "$run/$1.out")"
}
# The memory of an image: everything after its 1024-byte header.
same_data() { cmp -s <(tail -c +1025 "$1") <(tail -c +1025 "$2"); }

image_size=$((1024 + 0x100000 + 0x20000))
write_panel "$run/panel-a.txt" 1 2
write_panel "$run/panel-b.txt" 3 4
start=$(date +%s)

# 1. Backup and verify on panel A; the Linux program's backup of the same panel is the
#    reference.
start_sim sim-a "$run/panel-a.txt"
cli backup-a backup "$(winpath "$run/a.mem")" --comment "windows e2e"
expect_completed backup-a
[ "$(stat -c %s "$run/a.mem")" -eq "$image_size" ] || fail "a.mem has $(stat -c %s "$run/a.mem") bytes"
timeout -k 10 "$run_limit" "$native_cli" --yes --folder "$run" --port "$current_slave" \
    backup "$run/linux-a.mem" >"$run/linux-a.out" 2>&1 || fail "the Linux backup: $(tail -n 3 "$run/linux-a.out")"
same_data "$run/a.mem" "$run/linux-a.mem" || fail "the backup differs from the Linux program's backup"
cli verify-a verify "$(winpath "$run/a.mem")"
expect_completed verify-a

# 2. Panel B holds other memory: verify finds it, restore writes A's image, and a second
#    backup reads A's memory back.
start_sim sim-b "$run/panel-b.txt"
cli verify-b verify "$(winpath "$run/a.mem")"
[ "$status" -ne 0 ] || fail "verify of a.mem against panel B found no difference"
tr -d '\r' <"$run/verify-b.out" | grep -qx "Data which is not in agreement by verification." ||
    fail "verify-b: $(tail -n 3 "$run/verify-b.out")"
cli restore-b restore "$(winpath "$run/a.mem")"
expect_completed restore-b
cli backup-b backup "$(winpath "$run/b.mem")"
expect_completed backup-b
same_data "$run/a.mem" "$run/b.mem" || fail "the memory after the restore differs from a.mem"

# 3. Ctrl-C in the middle of a backup onto an existing image.
cp "$run/b.mem" "$run/old.mem"
cp "$run/b.mem" "$run/old.copy"
: >"$run/abort.out"
: >"$run/abort.err"
: >"$run/files-before"
ls "$run" >"$run/files-before"
timeout -k 10 "$run_limit" wine "$cli" --yes --folder "$(winpath "$run")" \
    backup "$(winpath "$run/old.mem")" >"$run/abort.out" 2>"$run/abort.err" </dev/null &
abort_pid=$!
seen=
for _ in $(seq 1200); do # 120 s
    if grep -q "Buckup(1/" "$run/abort.out" 2>/dev/null; then
        seen=1
        break
    fi
    kill -0 "$abort_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$seen" ] || fail "the backup to abort showed no progress: $(tail -n 3 "$run/abort.out")"
# timeout(1) hands SIGINT on to wine, whose console turns it into CTRL_C_EVENT.
kill -INT "$abort_pid"
status=0
wait "$abort_pid" || status=$?
[ "$status" -eq 1 ] || fail "the aborted backup ended with status $status: $(tail -n 3 "$run/abort.out")"
[ "$(last_line "$run/abort.out")" = "$aborted" ] || fail "abort: $(tail -n 3 "$run/abort.out")"
cmp -s "$run/old.mem" "$run/old.copy" || fail "the aborted backup changed the existing image"
# Besides it, the data read so far may be kept in old.mem.partial (the program says so);
# nothing else is new.
ls "$run" | grep -vx 'old\.mem\.partial' | cmp -s - "$run/files-before" ||
    fail "the aborted backup left a file: $(ls "$run")"
if [ -f "$run/old.mem.partial" ]; then
    tr -d '\r' <"$run/abort.out" | grep -q 'The data read so far is kept in .*old\.mem\.partial$' ||
        fail "old.mem.partial was left without a word"
fi

stop_sim
echo "windows e2e: backup, verify, restore byte-exact and Ctrl-C abort on COM5 in $(($(date +%s) - start)) s"
