#!/usr/bin/env bash
# The README's quick start on machines never seen before, and the real-server tests on the servers of the
# next Debian. Each row below is a fresh, minimal Debian root (mmdebstrap, as root) given a copy of this
# tree, what its user had installed first, and commands in order, with /proc, /sys and /dev mounted. A row
# fails when a command does not end as it says, when the demo does not hear the kept tone at its level with
# the excluded one absent, or when set-up removed a package, or added PulseAudio to a machine that had a
# sound server. The roots share one apt archive cache, so each package is downloaded once; everything
# mounted is unmounted, even on failure.
#   fresh-roots.sh [--first N] [--prepare|--prepared] [ROW...]
#       the rows named (by default every row marked "always"); --first: only each row's first N commands;
#       --prepare: only make each root and install its user's packages, and keep it; --prepared: take up
#       such a root where there is one (a fresh copy of the tree and packages goes in all the same), so a
#       row's downloads and package set-up can run earlier, beside work that leaves the machine idle
# AUDIO_HELPER_ROOTS: the folder for the roots (build/fresh-roots); AUDIO_HELPER_APT_CACHE: the shared apt
# archive cache (the roots folder's apt-archives).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=${AUDIO_HELPER_ROOTS:-$src/build/fresh-roots}
cache=${AUDIO_HELPER_APT_CACHE:-$work/apt-archives}
first=0 prepare=false prepared=false
while [ $# -gt 0 ]; do
    case $1 in
        --first) first=$2; shift 2 ;;
        --prepare) prepare=true; shift ;;
        --prepared) prepared=true; shift ;;
        *) break ;;
    esac
done

# What the real-server tests run: both servers, their clients, and what the tests play and analyse with.
server_tests="pipewire pipewire-bin pipewire-pulse wireplumber pipewire-jack pulseaudio pulseaudio-utils dbus sox python3"
# name | when: always, or only when named | Debian suite | the user's packages, installed before anything
# of ours | commands in order, each COMMAND:EXIT
# Debian 13's servers (PipeWire 1.4, WirePlumber 0.5, PulseAudio 17) are run when named: CI's test.sh runs
# them as a stage of their own, so their time and failures get a line of their own.
# The tests' build is proved in the other order, on a root that had nothing before: after the demo, what
# the order changes is the set-up (what the demo installed or recorded) and the configuration of every
# preset, not the compiler's work.
rows=(
    "demo-then-tests|always|bookworm||demo:0 test-configure:0"
    "tests-then-demo|always|bookworm||test-build:0 demo:0"
    "pipewire-desktop|always|bookworm|pipewire pipewire-pulse pipewire-alsa wireplumber|demo:0 setup:1 test:1"
    "debian-13-servers|named|trixie|$server_tests|package:0 servers:0"
)
# The package is the .deb this tree built (scripts/package.sh); the server tests run the program it installs.
# A module that fails runs once more, as under the sanitizers: only a fault that shows twice fails the row
# (a loaded machine now and then makes a real server miss a deadline).
declare -A commands=(
    [demo]="bash scripts/demo.sh 3 /tmp/capture.wav"
    [test-build]="bash scripts/test.sh --build-only"
    [test-configure]="bash scripts/test.sh --configure-only"
    [setup]="bash scripts/setup.sh"
    [test]="bash scripts/test.sh"
    [package]="apt-get install -y -q --no-install-recommends /tmp/packages/audio-helper_*_amd64.deb"
    [servers]="export AUDIO_HELPER_LINUX=/usr/bin/audio-helper PYTHONPATH=/src PYTHONUNBUFFERED=1 \
               JACK_TONE=\$(ls /tmp/packages/jack_tone 2>/dev/null); failed=0; \
               echo servers: \$(dpkg-query -W -f='\${Package} \${Version}, ' pipewire wireplumber pulseaudio); \
               for t in pipewire pulse tree; do python3 tests/linux/test_\$t.py || \
               { echo \"\$t: once more\"; python3 tests/linux/test_\$t.py; } || failed=1; done; exit \$failed"
)

[ "$(id -u)" -eq 0 ] || { echo "fresh-roots: needs root (mmdebstrap and chroot)" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "fresh-roots: needs mmdebstrap (scripts/setup.sh installs it)" >&2; exit 1; }

# The tests that failed in a log, on one line ("FAIL: test_x (__main__.Class.test_x) (subtest)" there).
failed_tests() { sed -nE 's/^(FAIL|ERROR): [^ ]+ \((__main__\.)?([^)]+)\).*/\3/p' "$1" | sort -u | tr '\n' ' '; }

mounted=()
# The mount points at and below a root, deepest first.
mounts_of() { awk -v root="$1" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts | sort -r; }
# Processes a command left running in the root, then every mount under it, deepest first.
release() {
    local root=$1 keep=${2:-} pid
    for pid in /proc/[0-9]*; do
        [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "${pid#/proc/}" 2>/dev/null || true
    done
    mounts_of "$root" | while read -r point; do
        umount -R "$point" 2>/dev/null || umount -R -l "$point" 2>/dev/null || true
    done
    # Removed only with nothing mounted in it: a bind mount left there would be emptied too.
    if [ -n "$(mounts_of "$root")" ]; then
        echo "fresh-roots: $root still has mounts; left in place" >&2
        return 1
    fi
    [ -n "$keep" ] || rm -rf "$root"
}
cleanup() {
    local root
    # A prepared root stays, unmounted, for the run that takes it up.
    for root in "${mounted[@]}"; do release "$root" "$([ -f "$root.prepared" ] && echo keep)" || true; done
}
trap cleanup EXIT

in_root() {
    chroot "$1" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 TERM=dumb bash -c "cd /src && $2"
}

installed_packages() {
    in_root "$1" "dpkg-query -W -f='\${Package} \${Status}\n' | awk '/ installed\$/{print \$1}' | sort"
}

# The tree as checked out: what git tracks where this is a checkout, else every file but the builds.
copy_tree() {
    mkdir -p "$1/src"
    if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
        git -C "$src" ls-files -z --cached --others --exclude-standard | tar -C "$src" --null -T - -cf - |
            tar -C "$1/src" -xf -
    else
        tar -C "$src" --exclude=./build --exclude=node_modules -cf - . | tar -C "$1/src" -xf -
    fi
}

check_demo() {
    local log=$1 kept
    grep -Eq '^ +440 Hz +application tree, excluded +absent$' "$log" || { echo "the excluded tone was heard"; return 1; }
    kept=$(sed -nE 's/^ +1000 Hz +unrelated process, kept +(-?[0-9.]+) dBFS$/\1/p' "$log")
    # A 0.25 sine: -12.04 dBFS.
    [ -n "$kept" ] && awk -v v="$kept" 'BEGIN { exit !(v > -12.54 && v < -11.54) }' ||
        { echo "the kept tone was not heard at -12.0 dBFS (${kept:-absent})"; return 1; }
}

run_row() {
    local name=$1 suite=$2 user_packages=$3 steps=$4 root="$work/$name" log="$work/$name.log" step command
    local expected code started=$SECONDS timings="" reuse=false
    $prepared && [ -f "$root.prepared" ] && [ -f "$work/$name.before" ] && reuse=true
    rm -f "$root.prepared"
    if ! $reuse; then
        release "$root" 2>/dev/null || true
        mkdir -p "$root"
        [ -f "$work/base-$suite.tar" ] || {
            mmdebstrap --quiet --variant=apt "$suite" "$work/base-$suite.tar"
            echo "fresh roots: base $suite root made in $((SECONDS - started)) s"
        }
        tar -C "$root" -xpf "$work/base-$suite.tar"
        cat /proc/sys/kernel/random/uuid | tr -d - >"$root/etc/machine-id"  # a booted machine has one
    fi
    rm -rf "$root/src" "$root/tmp/packages"
    copy_tree "$root"
    if [[ " $steps " == *" package:"* ]]; then
        mkdir -p "$root/tmp/packages"
        cp "$src"/build/packages/audio-helper_*_amd64.deb "$root/tmp/packages/" 2>/dev/null || {
            echo "fresh root $name: no .deb in build/packages (scripts/package.sh makes it)"
            return 1
        }
        # The tests' JACK client, where this tree built one.
        cp "$src/build/native/tests/linux/jack_tone" "$root/tmp/packages/" 2>/dev/null || true
    fi
    mounted+=("$root")
    # The root a mount of its own, as a machine's is: `unshare --mount` (the tests' PID namespaces and
    # sandboxes) makes it private, which fails on a plain folder.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    mount -t tmpfs tmpfs "$root/run"
    mount --bind "$cache" "$root/var/cache/apt/archives"
    if $reuse; then
        echo "-- taken up as prepared" >>"$log"
    else
        : >"$log"
        if [ -n "$user_packages" ]; then
            in_root "$root" "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install $user_packages" \
                >>"$log" 2>&1 || { echo "fresh root $name: the user's packages did not install (see $log)"; return 1; }
        fi
        installed_packages "$root" >"$work/$name.before"
    fi
    if $prepare; then
        touch "$root.prepared"
        release "$root" keep
        echo "fresh root $name: prepared in $((SECONDS - started)) s"
        return 0
    fi
    local count=0
    for step in $steps; do
        count=$((count + 1))
        [ "$first" -gt 0 ] && [ "$count" -gt "$first" ] && break
        command=${step%:*} expected=${step##*:}
        local t=$SECONDS
        echo "-- $command" >>"$log"
        code=0
        in_root "$root" "${commands[$command]}" >>"$log" 2>&1 || code=$?
        timings+=" $command $((SECONDS - t)) s,"
        if [ "$code" != "$expected" ]; then
            echo "fresh root $name: '${commands[$command]}' exited $code, not $expected; its log:"
            tail -n 40 "$log"
            local failures
            failures=$(failed_tests "$log")
            [ -z "$failures" ] || echo "fresh root $name: failed: ${failures% }"
            return 1
        fi
        if grep -q ": once more$" "$log"; then
            echo "fresh root $name: passed on a second run of: $(failed_tests "$log")"
        fi
        if [ "$expected" != 0 ] && ! grep -q "^setup: stopping before any change: the tests need" "$log"; then
            echo "fresh root $name: '${commands[$command]}' did not say why it stopped; its log:"
            tail -n 20 "$log"
            return 1
        fi
        if [ "$command" = demo ] && ! why=$(check_demo "$log"); then
            echo "fresh root $name: $why; its log:"
            tail -n 20 "$log"
            return 1
        fi
    done
    installed_packages "$root" >"$work/$name.after"
    local removed
    removed=$(comm -23 "$work/$name.before" "$work/$name.after" | tr '\n' ' ')
    [ -z "$removed" ] || { echo "fresh root $name: set-up removed $removed"; return 1; }
    if [ -n "$user_packages" ] && grep -qx pulseaudio "$work/$name.after" && ! grep -qx pulseaudio "$work/$name.before"; then
        echo "fresh root $name: set-up added pulseaudio beside the user's sound server"
        return 1
    fi
    release "$root"
    timings=${timings# }
    echo "fresh root $name: ok in $((SECONDS - started)) s (${timings%,})"
}

mkdir -p "$work" "$cache"
# One minimal root per suite, made at its first row and unpacked afresh for each.
rm -f "$work"/base-*.tar
started=$SECONDS
failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r name when suite user_packages steps <<<"$row"
    if [ $# -gt 0 ]; then [[ " $* " == *" $name "* ]] || continue; else [ "$when" = always ] || continue; fi
    run_row "$name" "$suite" "$user_packages" "$steps" || failed=1
done
echo "fresh roots: $((SECONDS - started)) s in all"
exit $failed
