#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
# qt6-base-dev and its platform plugins build the desktop application and run its tests on
# the offscreen platform; fonts-noto-cjk draws its Japanese texts and qt6-translations-l10n
# translates Qt's own (the file dialog's). CLI11 parses kzmnt-cli's command line,
# nlohmann-json writes and reads the service record, libcrypto (libssl-dev) hashes images.
packages=(build-essential cmake libgtest-dev libgmock-dev clang-format qt6-base-dev qt6-qpa-plugins
          qt6-translations-l10n fonts-noto-cjk libcli11-dev nlohmann-json3-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
