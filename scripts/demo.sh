#!/usr/bin/env bash
# The program's main job on a machine without Windows audio: build it, capture a few seconds of what the
# simulated engine plays (a 440 Hz tone, in real time), stop it with Ctrl+C (SIGINT) as a parent would,
# and turn the stream into a WAV file with lbas2wav, which prints a summary of what was captured.
#   demo.sh [SECONDS] [OUTPUT.wav]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-3}"
output="${2:-capture.wav}"

bash scripts/setup.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target audio-helper lbas2wav >/dev/null

# The helper's diagnostics are UTF-16 text, as on Windows; shown here as UTF-8. The process id to leave
# out is this shell's: the simulated engine plays nothing of its own for it.
status=0
timeout --signal=INT "$seconds" build/native/audio-helper $$ 2> >(iconv -f UTF-16LE -t UTF-8 >&2) \
    | build/native/lbas2wav - "$output" || status=$?
# timeout reports 124 when it had to send the stop; the helper itself then exits 0.
if [ "$status" -ne 0 ] && [ "$status" -ne 124 ]; then
    echo "capture failed with exit code $status" >&2
    exit "$status"
fi

