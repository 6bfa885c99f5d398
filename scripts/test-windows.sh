#!/usr/bin/env bash
# Cross-builds the core libraries, kzmnt-cli and the core test suites for Windows with
# MinGW-w64, 32-bit (i686) and 64-bit (x86_64), and runs the suites under Wine without a
# display. Each architecture has its build folder (build-win32, build-win64) and its own
# Wine prefix inside it, made on the first run. Then kzmnt-cli.exe runs end to end on a COM
# port that the prefix maps to the Linux panel simulator (scripts/test-windows-e2e.sh), and
# the 32-bit one over the LAN through Kevrosa.dll (scripts/test-windows-lan.sh); the
# simulator and the Linux kzmnt-cli it is compared with come from the native build folder
# (KZ_NATIVE_BUILD, build unless given; configured like make build when new).
#
#   scripts/test-windows.sh [i686|x86_64 ...]      (both when none is named)
#
# JOBS sets the parallel build and test jobs (2 unless given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
arches=("$@")
[ ${#arches[@]} -eq 0 ] && arches=(i686 x86_64)
native=${KZ_NATIVE_BUILD:-$root/build}

# Console programs need no display; the Mono and Gecko installers would otherwise ask.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# The suites that build for Windows (the LAN and end-to-end suites do not).
suites=(test_cf test_cli test_commands test_config test_diag test_image test_memory test_ops
        test_platform test_protocol test_serial test_sim test_strings)

# The Linux programs the end-to-end runs use.
if [ ! -f "$native/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$native" -j "$jobs" --target kzpanel-sim kzmnt-cli

for arch in "${arches[@]}"; do
    case $arch in
        i686) dir=$root/build-win32 ;;
        x86_64) dir=$root/build-win64 ;;
        *) echo "test-windows: unknown architecture $arch" >&2; exit 2 ;;
    esac
    start=$(date +%s)
    # -O1 without debug information: a test source compiles in about 40 % of the processor
    # time -O2 -g takes, and the test programs with GoogleTest are most of the build.
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64.cmake" \
        -DKZ_WINDOWS_ARCH="$arch" -DKZ_GUI=OFF -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG" >/dev/null
    cmake --build "$dir" -j "$jobs" --target kzmnt-cli "${suites[@]}"
    built=$(date +%s)
    export WINEPREFIX=$dir/wine-prefix
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot --init >/dev/null 2>&1
        wineserver --wait
    fi
    status=0
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -R '^test_' || status=$?
    tested=$(date +%s)
    e2e_status=0
    "$root/scripts/test-windows-e2e.sh" "$dir" "$native" || e2e_status=$?
    # The LAN round trip through Kevrosa.dll: only a 32-bit program can load the maker's
    # library, so only the 32-bit build is checked with ours.
    if [ "$arch" = i686 ]; then
        NATIVE_BUILD_DIR=$native "$root/scripts/test-windows-lan.sh" "$dir" || e2e_status=$?
    fi
    wineserver --kill || true
    done_at=$(date +%s)
    echo "test-windows $arch: build $((built - start)) s, tests $((tested - built)) s," \
        "end to end $((done_at - tested)) s"
    [ $status -eq 0 ] || exit $status
    [ $e2e_status -eq 0 ] || exit $e2e_status
done
