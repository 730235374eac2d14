#!/usr/bin/env bash
# Sets up, builds all four ways and runs every test: native, native with address and undefined-behaviour
# sanitizers, native with the thread sanitizer, and the Windows build under Wine; the native tests also make
# the packages (scripts/package.sh) and test them as a user gets them; then the README's quick start on
# fresh Debian 12 roots and, last, the real-server tests against Debian 13's servers in a fresh root
# (scripts/fresh-roots.sh). Fails on any failure. Set-up stops before changing anything
# where a package the tests need would remove another.
#   test.sh               all of it
#   test.sh --build-only  set-up, every preset configured, the native and Windows builds; no test (what a
#                         fresh root runs: the sanitizer builds are the same sources with other flags)
#   test.sh --configure-only  set-up and every preset configured (a fresh root that built elsewhere)
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=false builds="native windows"
case "${1:-}" in
    "") ;;
    --build-only) build_only=true ;;
    --configure-only) build_only=true builds="" ;;
    *) echo "usage: test.sh [--build-only|--configure-only]" >&2; exit 2 ;;
esac

bash scripts/setup.sh

stage() { echo "== $1 ($(date -u +%H:%M:%S))"; }

if $build_only; then
    for preset in native windows native-asan native-tsan program; do
        stage "configure $preset"
        cmake --preset "$preset" -DAUDIO_HELPER_ALL_TESTS=ON >/dev/null
    done
    for preset in $builds; do
        stage "build $preset"
        cmake --build --preset "$preset"
    done
    exit 0
fi

stage format
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in native windows native-asan native-tsan program; do
    stage "build $preset"
    # Every test's own dependency must be there: a missing one fails here rather than skipping its test.
    cmake --preset "$preset" -DAUDIO_HELPER_ALL_TESTS=ON >/dev/null
    cmake --build --preset "$preset"
done

# The soak moves 33 GB of audio; it runs on the plain native build, where it is fast. The package tests
# (label "package") need the windows build, made above.
stage "test native"
# A test that fails gets one more run, as under the sanitizers: on two shared cores a test now and then
# meets a scheduling delay that its exact expectations do not allow (a loaded server that corrects a
# stream's rate; a starved simulated capture that writes time-keeping zeros), while a fault fails both runs.
ctest --preset native --repeat until-pass:2
# Faults the fast native tests must catch, each built and tested in a scratch copy (build/mutants); the
# suite above has just passed on the same sources and build type, so no fault's tests run again unchanged.
stage mutants
scripts/mutants.sh -j 2 --suite-passed
# The fresh roots' downloads and package set-up (minutes of waiting, little CPU) run beside the Wine and
# sanitizer tests, one root after another as they share the apt cache. So do the next Debian's real-server
# tests, once both roots are prepared: they wait on audio more than they compute, and the Wine tests run
# one at a time. The Debian 12 roots' commands run last, alone (prepared roots: scripts/fresh-roots.sh).
prepare_started=$SECONDS
servers_out=build/debian-13-servers.out
rm -f build/debian-13-servers.status
# A root whose preparation failed is made again by the run that needs it.
{ bash scripts/fresh-roots.sh --prepare debian-13-servers >build/debian-13-prepare.out 2>&1 || true
  bash scripts/fresh-roots.sh --prepare >build/debian-12-prepare.out 2>&1 || true
  servers_started=$SECONDS
  code=0
  bash scripts/fresh-roots.sh --prepared debian-13-servers >"$servers_out" 2>&1 || code=$?
  echo "$code $((SECONDS - servers_started)) $((servers_started - prepare_started))" >build/debian-13-servers.status
} &
prepare=$!
trap 'wait $prepare 2>/dev/null || true' EXIT
stage "test windows (under Wine)"
# One more run for a failed test, as in every stage that shares the machine with real-time work.
ctest --preset windows --repeat until-pass:2
for preset in native-asan native-tsan; do
    stage "test $preset"
    # Real servers and timing run 5-15 times slower under a sanitizer and now and then miss a deadline: a
    # failed test gets one more run, so only a fault that shows twice fails the stage.
    exclude=soak
    # Under the thread sanitizer the real servers' timing tests miss their limits (a move, a stall of the
    # helper), and the uninstrumented server libraries draw its reports; they run under the address
    # sanitizer and on the plain build.
    # The timeline module's hours of engine time (one thread's arithmetic, run on the other two builds; the
    # same arithmetic's unit tests run under both sanitizers) take two minutes under either.
    skip='^process\.timeline$'
    [ "$preset" = native-tsan ] && exclude="soak|linux"
    ctest --preset "$preset" --label-exclude "$exclude" --exclude-regex "$skip" --repeat until-pass:2
done
# The Debian 12 roots share the apt archive cache, which one apt at a time may use.
wait $prepare || true
stage "fresh roots"
failed=0
cat build/debian-12-prepare.out 2>/dev/null || true
bash scripts/fresh-roots.sh --prepared || failed=1
# The real-server tests on the next Debian's servers, with the .deb made above installed: one line gives
# the stage's time, the servers' versions and what failed.
stage "debian 13 servers"
cat build/debian-13-prepare.out "$servers_out" 2>/dev/null || true
read -r code took began <build/debian-13-servers.status || code=unknown
status=ok
[ "$code" = 0 ] || { status=FAILED; failed=1; }
versions=$(sed -n 's/^servers: //p' "${AUDIO_HELPER_ROOTS:-build/fresh-roots}/debian-13-servers.log" 2>/dev/null)
failures=$(sed -n 's/^fresh root debian-13-servers: failed: //p' "$servers_out")
retried=$(sed -n 's/^fresh root debian-13-servers: passed on a second run of: //p' "$servers_out")
prepared=$(sed -n 's/^fresh root debian-13-servers: prepared in \([0-9]*\) s$/\1/p' build/debian-13-prepare.out)
echo "debian 13 servers: $status in ${took:-?} s, beside the Wine and sanitizer tests from ${began:-?} s after the mutants${prepared:+, its root prepared in $prepared s} (${versions%,})${failures:+; failed: $failures}${retried:+; passed on a second run: $retried}"
exit $failed
