#!/usr/bin/env bash
# Installs what the Windows cross build and its tests need, when any is missing: the
# MinGW-w64 cross compilers (posix thread model, for std::thread), the GoogleTest sources
# (built for MinGW by the toolchain), the header-only CLI11 and nlohmann-json, and Wine to
# run the programs (wine32 needs the i386 architecture). Nothing is done when all are there.
set -euo pipefail
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
          libcli11-dev nlohmann-json3-dev wine wine64 wine32:i386)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps-windows: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
