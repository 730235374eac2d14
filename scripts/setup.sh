#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo). Safe to run again, and
# harmless: it never removes a package, shows what apt would do before doing it, and never adds a sound
# server to a machine that has one.
#   setup.sh          everything the tests need: native and Windows builds, packaging, both servers
#   setup.sh native   only what the native program and lbas2wav need to build (the `program` preset)
#   setup.sh demo     that, the players the demo runs, and a private PipeWire's packages only on a machine
#                     with no sound server at all (otherwise the demo uses the running one)
# A sound server that this script installed on a machine that had none is recorded in $state: it is not
# the user's, so a later run may complete the set the tests need beside it.
set -euo pipefail
mode=${1:-all}
case "$mode" in all | native | demo) ;; *) echo "usage: setup.sh [all|native|demo]" >&2; exit 2 ;; esac
state=${AUDIO_HELPER_SETUP_STATE:-/var/lib/audio-helper-setup/installed-servers}

# The program's build needs no test package (the tests' own are below, for `all`).
packages=(cmake ninja-build g++ pkg-config libpipewire-0.3-dev libpulse-dev)
# Clients of a server, not servers: the demo's and the tests' players and tone maker, and the demo itself.
[ "$mode" = native ] || packages+=(python3 pulseaudio-utils sox)
# The servers the tests start privately (and the demo, where there is no server to use, a private PipeWire).
servers=(pipewire pipewire-bin pipewire-pulse wireplumber dbus)
# The tests also run plain PulseAudio, and a JACK client of their own through PipeWire's JACK layer.
[ "$mode" = all ] && servers+=(pulseaudio pipewire-jack)
if [ "$mode" = all ]; then
    packages+=(
        libgtest-dev googletest                                                   # unit tests
        clang-format                                                              # format check
        mmdebstrap                                                                # the fresh-machine roots
        g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64  # Windows cross-build
        wine wine64                                                               # Windows tests
        dpkg-dev man-db                                                           # packages and their tests
        libjack-jackd2-dev                                                        # the tests' JACK client
    )
    # The Node.js client's tests; a Node.js from elsewhere with its npm will do too.
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
server_packages=(pulseaudio pipewire-bin pipewire-pulse jackd2 jackd1)
ours() { [ -f "$state" ] && grep -qx -- "$1" "$state"; }

# A sound server is on this machine if its package is installed (by anyone but this script) or one
# answers in this session.
server_present() {
    local p
    for p in "${server_packages[@]}"; do
        installed "$p" && ! ours "$p" && { echo "$p is installed"; return 0; }
    done
    local run=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
    for s in "$run/pulse/native" "$run/pipewire-0"; do
        [ -S "$s" ] && { echo "a server listens on $s"; return 0; }
    done
    if command -v pactl >/dev/null && timeout 3 pactl info >/dev/null 2>&1; then
        echo "a server answers pactl"
        return 0
    fi
    return 1
}

missing_servers=()
for p in "${servers[@]}"; do installed "$p" || missing_servers+=("$p"); done
if [ ${#missing_servers[@]} -gt 0 ]; then
    if why=$(server_present); then
        if [ "$mode" = all ]; then
            echo "setup: stopping before any change: the tests need ${missing_servers[*]}, but this machine" \
                 "already has a sound server ($why); adding a second one would compete with it for the" \
                 "session's audio. Install them yourself if you accept that, or run the tests in a container." >&2
            exit 1
        fi
        [ "$mode" = demo ] && echo "setup: a sound server is present ($why): the demo will use it"
    elif [ "$mode" = demo ] || [ "$mode" = all ]; then
        packages+=("${missing_servers[@]}")
    fi
fi

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -q -o Dpkg::Use-Pty=0 --no-install-recommends --no-remove)
$sudo apt-get update -qq

# What apt would do, shown first; a plan that removes anything stops here with the package that would
# remove what, and nothing changed.
if ! plan=$("${apt[@]}" -s install "${missing[@]}" 2>&1); then
    for p in "${missing[@]}"; do
        # A package apt cannot find fails this plan too: that is not a removal, and the message below says it.
        removed=$(apt-get -s -q --no-install-recommends install "$p" 2>/dev/null |
                  awk '/^Remv /{print $2}' | tr '\n' ' ' || true)
        if [ -n "$removed" ]; then
            echo "setup: stopping before any change: installing $p would remove ${removed% } (they conflict)." >&2
            exit 1
        fi
    done
    echo "$plan" >&2
    echo "setup: stopping before any change: apt cannot install ${missing[*]} (its plan is above)." >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
grep '^Inst ' <<<"$plan" | sed 's/^/  /' || true
before=()
for p in "${server_packages[@]}"; do installed "$p" || before+=("$p"); done
$sudo "${apt[@]}" install -y -qq "${missing[@]}" >/dev/null
# The servers this run brought (asked for, or pulled in by what was), for the runs after it.
for p in "${before[@]}"; do
    if installed "$p"; then
        $sudo mkdir -p "$(dirname "$state")"
        echo "$p" | $sudo tee -a "$state" >/dev/null
    fi
done
