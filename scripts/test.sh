#!/usr/bin/env bash
# Sets up, builds all four ways and runs every test: native, native with address and undefined-behaviour
# sanitizers, native with the thread sanitizer, and the Windows build under Wine; the native tests also make
# the packages (scripts/package.sh) and test them as a user gets them. Fails on any failure. Set-up stops
# before changing anything where a package the tests need would remove another.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in native windows native-asan native-tsan; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# The soak moves 33 GB of audio; it runs on the plain native build, where it is fast. The package tests
# (label "package") need the windows build, made above.
echo "== test native"
ctest --preset native
# Faults the fast native tests must catch, each built and tested in a scratch copy (build/mutants).
echo "== mutants"
scripts/mutants.sh -j 2
echo "== test windows (under Wine)"
ctest --preset windows
for preset in native-asan native-tsan; do
    echo "== test $preset"
    # Real servers and timing run 5-15 times slower under a sanitizer and now and then miss a deadline: a
    # failed test gets one more run, so only a fault that shows twice fails the stage. The plain native
    # suite above gets no second try.
    exclude=soak
    # Under the thread sanitizer the real servers' timing tests miss their limits (a move, a stall of the
    # helper), and the uninstrumented server libraries draw its reports; they run under the address
    # sanitizer and on the plain build.
    # The timeline module's hours of engine time (one thread's arithmetic, run on the other two builds) take
    # over two minutes there and find no race.
    skip='^$'
    [ "$preset" = native-tsan ] && exclude="soak|linux" && skip='^process\.timeline$'
    ctest --preset "$preset" --label-exclude "$exclude" --exclude-regex "$skip" --repeat until-pass:2
done
