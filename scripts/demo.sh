#!/usr/bin/env bash
# The program's main job on Linux: build it, then capture a few seconds of everything the machine plays
# except a stand-in application's process tree, convert the stream to WAV with lbas2wav, and print the
# level of each tone heard. Uses the running audio server (PipeWire or PulseAudio) if there is one,
# otherwise a private one (PipeWire, or PulseAudio where only that is installed) with a null sink that
# nothing else hears.
#   demo.sh [SECONDS] [OUTPUT.wav]     OUTPUT.wav (default capture.wav) is relative to the current directory
set -euo pipefail
output=$(realpath -m -- "${2:-capture.wav}")
cd "$(dirname "$0")/.."

bash scripts/setup.sh demo
# The program alone, in a build of its own: no test, so no test-only package.
cmake --preset program >/dev/null
cmake --build --preset program --target audio-helper lbas2wav >/dev/null
PYTHONPATH="$PWD" exec python3 scripts/demo.py build/program/audio-helper build/program/lbas2wav "${1:-3}" "$output"
