#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo). Safe to run again.
#   setup.sh          everything: native and Windows builds, all tests
#   setup.sh native   only what the native program and lbas2wav need
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev googletest python3)
# The real Linux engine's libraries, and the servers and players the demo and the tests run privately.
packages+=(pkg-config libpipewire-0.3-dev libpulse-dev pipewire pipewire-bin pipewire-pulse wireplumber dbus
           pulseaudio pulseaudio-utils sox)
# PipeWire's JACK layer, and the JACK headers for the tests' own JACK client.
packages+=(pipewire-jack libjack-jackd2-dev)
if [ "${1:-all}" != native ]; then
    packages+=(
        clang-format                                                              # format check
        g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64  # Windows cross-build
        wine wine64                                                               # Windows tests
    )
fi

# The Node.js client's tests (clients/node, `npm test`); a Node.js from elsewhere with its npm will do too.
if [ "${1:-all}" != native ]; then
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
fi

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
