#!/usr/bin/env bash
# Looks into the Debian package in BUILD_DIR: lists it (dpkg-deb --contents), checks that the
# programs, the LAN library, the demo folder and the manual page are in it, unpacks it into a
# temporary root, checks that kzmnt-cli is stripped and runs the unpacked kzmnt-cli --help.
#   scripts/check-package.sh [BUILD_DIR]      (build)
set -euo pipefail
build=${1:-build}
deb=$(ls "$build"/kzmnt_*.deb | head -n 1)
echo "== $deb"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for wanted in ./usr/bin/kzmnt-cli ./usr/bin/kzpanel-sim libKevrosa.so ./usr/share/kzmnt/demo/KZMNT.INI \
              ./usr/share/man/man1/kzmnt-cli.1.gz; do
    grep -q -- "$wanted" <<<"$contents" || { echo "check-package: $wanted is missing" >&2; exit 1; }
done
if grep -q -- "./usr/bin/kzmnt$" <<<"$contents"; then
    for wanted in ./usr/share/applications/kzmnt.desktop kzmnt.svg; do
        grep -q -- "$wanted" <<<"$contents" || { echo "check-package: $wanted is missing" >&2; exit 1; }
    done
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb --extract "$deb" "$root"
if command -v file >/dev/null && file "$root/usr/bin/kzmnt-cli" | grep -q "not stripped"; then
    echo "check-package: kzmnt-cli still carries its debugging symbols" >&2
    exit 1
fi
"$root/usr/bin/kzmnt-cli" --help | head -n 2
echo "== unpacked into a temporary root; kzmnt-cli --help runs"
