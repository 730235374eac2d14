#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo). Safe to run again.
set -euo pipefail

packages=(
    cmake ninja-build g++ libgtest-dev googletest python3 clang-format   # native build and tests
    g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64  # Windows cross-build
    wine wine64                                                           # Windows tests
    sox                                                                   # WAV checks
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
