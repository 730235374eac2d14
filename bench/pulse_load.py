#!/usr/bin/env python3
"""The real program on a private plain PulseAudio server with the machine loaded (a busy loop per core at
normal priority): dropouts in a kept tone, per minute, against parec of the same sink's monitor recording
at the same time; then click latency under the same load.

    python3 -m bench.pulse_load [--seconds 60] [--helper build/native/audio-helper]

A dropout is a run of at least 16 exactly-zero frames inside the tone (the tone itself never holds two
zeros in a row). Prints the figures as JSON.
"""

import argparse
import array
import json
import os
import subprocess
import sys
import tempfile
import time

from bench import pulse_engine
from bench.engine_common import ROOT, bystander
from testkit.audio import player, tone
from testkit.servers import PulseAudioServer

MIN_RUN = 16


def dropouts(path, skip):
    """(silent runs inside the tone, seconds of tone) of a raw float stereo file after `skip` bytes."""
    samples = array.array("f")
    with open(path, "rb") as f:
        data = f.read()[skip:]
    samples.frombytes(data[: len(data) // 8 * 8])
    left = samples[0::2]
    on = [i for i, v in enumerate(left) if v != 0.0]
    if not on:
        return 0, 0.0
    runs, zeros = 0, 0
    for v in left[on[0]: on[-1] + 1]:
        if v == 0.0:
            zeros += 1
        else:
            runs += zeros >= MIN_RUN
            zeros = 0
    return runs, (on[-1] - on[0]) / 48000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "native", "audio-helper"))
    args = parser.parse_args()
    pulse_engine.build_tools()
    figures = {}
    load = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 2)]
    try:
        with bystander() as excluded, PulseAudioServer() as server, tempfile.TemporaryDirectory() as files:
            helper = [os.path.abspath(args.helper), excluded]
            env = server.env
            music = player(["paplay", tone(os.path.join(files, "tone.wav"), 1000, args.seconds + 20, amplitude=0.02)], env)
            time.sleep(0.5)
            outputs = {"helper": os.path.join(files, "helper.raw"), "parec": os.path.join(files, "parec.raw")}
            argv = {"helper": helper,
                    "parec": ["parec", "-d", "sink-a.monitor", "--raw", "--format=float32le", "--rate=48000",
                              "--channels=2", "--latency-msec=10"]}
            procs = {}
            for name, command in argv.items():
                with open(outputs[name], "wb") as out:
                    procs[name] = subprocess.Popen(command, env=env, stdout=out, stderr=subprocess.DEVNULL)
            time.sleep(args.seconds)
            for proc in procs.values():
                proc.send_signal(2)
                proc.wait(10)
            for name in procs:
                runs, seconds = dropouts(outputs[name], 16 if name == "helper" else 0)
                figures[name] = {"dropouts": runs, "tone_s": round(seconds, 1),
                                 "dropouts_per_minute": round(runs * 60 / seconds, 2) if seconds else None}
            # With the tone still playing, so the clicks start once the helper hears it.
            figures["latency_under_load"] = pulse_engine.latency_figures(server, helper, 30)
            music.kill()
            music.wait()
    finally:
        for proc in load:
            proc.kill()
            proc.wait()
    print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
