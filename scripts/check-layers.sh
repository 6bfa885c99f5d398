#!/usr/bin/env bash
# Fails when a source file includes a header from a layer above its own, so that the layers
# the README's "Reading the code" draws stay true. A file may include its own layer and any
# lower one; layers on the same rung (serial and lan, the memory and the CF operations, the
# window and the tools) do not include each other.
#
#   rung 1  platform
#   rung 2  config            rung 3  diag
#   rung 4  ops/engine        the operation runtime
#   rung 5  ops core          the link-free files of ops/memory and ops/cf
#   rung 6  serial | lan      the two links
#   rung 7  memory | cf       the operations over either link
#   rung 8  ops               the operation handle and its factory
#   rung 9  ui | tools        the front-ends
#   sim     platform, sim and the LAN library's contract (lan/MtoMTypes.h) only
#
# Usage: check-layers.sh [REPO]   (default: the repository this script lives in)
set -euo pipefail
repo="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$repo"

# The link-free files of the operation folders (rung 5).
core_memory='^src/ops/memory/(MemImageFile|ImageAreas|ImageDiff|SafetyBackup|MemoryPlan|ModelConfirm|FileSelection|StartFlow)(_[a-z0-9]+)?\.(h|cpp)$'
core_cf='^src/ops/cf/(CfCategory|CfFolders|CfPcFile)(_[a-z0-9]+)?\.(h|cpp)$'

# layer PATH: prints "name rung" for a repository path.
layer() {
    local p="$1"
    if [[ "$p" =~ $core_memory || "$p" =~ $core_cf ]]; then echo "core 5"; return; fi
    case "$p" in
        src/platform/*) echo "platform 1" ;;
        src/config/*) echo "config 2" ;;
        src/diag/*) echo "diag 3" ;;
        src/ops/engine/*) echo "engine 4" ;;
        src/serial/*) echo "serial 6" ;;
        src/lan/*) echo "lan 6" ;;
        src/ops/memory/*) echo "memory 7" ;;
        src/ops/cf/*) echo "cf 7" ;;
        src/ops/*) echo "ops 8" ;;
        src/ui/*) echo "ui 9" ;;
        tools/*) echo "tools 9" ;;
        sim/*) echo "sim 0" ;;
        *) echo "other 0" ;;
    esac
}

# The repository path an include names ("serial/Comm.h" lies in src/, "sim/..." at the top).
resolve() {
    case "$1" in
        sim/* | tools/* | tests/* | bench/*) echo "$1" ;;
        *) echo "src/$1" ;;
    esac
}

failures=0
while IFS= read -r file; do
    read -r from fromRung < <(layer "$file")
    while IFS=: read -r line header; do
        [[ "$header" == */* ]] || continue  # a header beside the file
        target=$(resolve "$header")
        read -r to toRung < <(layer "$target")
        ok=1
        if [ "$from" = sim ]; then
            [[ "$to" = sim || "$to" = platform || "$header" = lan/MtoMTypes.h ]] || ok=0
        elif [ "$to" = sim ] || [ "$to" = other ]; then
            [ "$from" = tools ] && [ "$to" = sim ] || ok=0
        elif [ "$to" != "$from" ] && [ "$toRung" -ge "$fromRung" ]; then
            ok=0
        fi
        if [ "$ok" = 0 ]; then
            echo "$file:$line: includes \"$header\" ($to) from layer $from" >&2
            failures=$((failures + 1))
        fi
    done < <(grep -n '^#include "' "$file" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/')
done < <(git ls-files 'src/*.h' 'src/*.cpp' 'sim/*.h' 'sim/*.cpp' 'tools/*.h' 'tools/*.cpp')

if [ "$failures" -ne 0 ]; then
    echo "check-layers: $failures include(s) against the layers" >&2
    exit 1
fi
echo "check-layers: every include keeps to the layers"
