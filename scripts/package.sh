#!/usr/bin/env bash
# Builds the release packages, all of one version (VERSION), into build/packages:
#   audio-helper_<version>_amd64.deb          the Debian package (cpack, from the native build's install rules)
#   audio-helper-<version>-windows-x64.zip    the Windows programs, the docs as text, SHA256SUMS
#   audio-helper-client-<version>.tgz         the npm package, with the Linux x64 and Windows x64 helpers
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/packages

cmake --preset native >/dev/null
cmake --build --preset native --target audio-helper lbas2wav man_pages >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target audio-helper lbas2wav >/dev/null

rm -rf "$out"
mkdir -p "$out"
cpack --config build/native/CPackConfig.cmake -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
python3 packaging/windows_zip.py build/windows "$out"
python3 packaging/npm_package.py build/native build/windows "$out"
