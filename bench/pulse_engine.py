#!/usr/bin/env python3
"""The real program on a private plain PulseAudio server: CPU per audio hour (the helper plus the
server's increase) with 1, 3 and 10 kept streams, against parec of the sink monitor in the same run;
latency from a click played to its arrival on standard output.

    python3 -m bench.pulse_engine [--quick] [--helper build/native/audio-helper]

Builds bench/tools/pa_click.c into build/bench/tools. Prints the figures as JSON.
"""

import argparse
import array
import json
import os
import subprocess
import tempfile
import threading
import time

from bench.engine_common import (ROOT, TOOLS, bystander, click_latencies, cpu_seconds, cpu_summary,
                                 cpu_window)
from testkit.audio import player, tone
from testkit.servers import PulseAudioServer


def build_tools():
    os.makedirs(TOOLS, exist_ok=True)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libpulse-simple", "libpulse"], check=True,
                           capture_output=True, text=True).stdout.split()
    subprocess.run(["gcc", "-O2", "-o", os.path.join(TOOLS, "pa_click"), os.path.join(ROOT, "bench/tools/pa_click.c")]
                   + flags, check=True)


def wait_for_output(proc, skip):
    """Reads the first bytes: a recorder is measured once its data flows, not during its start."""
    got = 0
    while got < skip + 48000 * 8 // 10:
        chunk = os.read(proc.stdout.fileno(), 65536)
        if not chunk:
            raise RuntimeError("%s ended" % proc.args[0])
        got += len(chunk)
    threading.Thread(target=lambda: [None for _ in iter(lambda: os.read(proc.stdout.fileno(), 65536), b"")],
                     daemon=True).start()


def measure(server, argv, seconds, skip):
    proc = None
    if argv:
        proc = subprocess.Popen(argv, env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        wait_for_output(proc, skip)
        time.sleep(0.5)
    return cpu_window(proc, lambda: cpu_seconds(server.proc.pid), seconds)


def cpu_figures(server, helper, seconds, rounds):
    """`helper`: the helper's command line."""
    runs = {"idle": [], "helper": [], "parec": []}
    commands = {"idle": (None, 0), "helper": (helper, 16),
                "parec": (["parec", "-d", "sink-a.monitor", "--raw", "--format=float32le", "--rate=48000",
                           "--channels=2", "--latency-msec=10"], 0)}
    for _ in range(rounds):
        for name, (argv, skip) in commands.items():  # interleaved, so drifts fall on all alike
            runs[name].append(measure(server, argv, seconds, skip))
    return cpu_summary(runs, "parec")


def latency_figures(server, helper, clicks):
    proc = subprocess.Popen(helper, env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    arrivals = []
    assert len(os.read(proc.stdout.fileno(), 16)) == 16
    flowing = threading.Event()

    def read():
        pending, above = b"", False
        while True:
            chunk = os.read(proc.stdout.fileno(), 65536)
            now = time.monotonic_ns()
            if not chunk:
                return
            data = pending + chunk
            whole = len(data) // 8 * 8
            samples = array.array("f", data[:whole])
            pending = data[whole:]
            for value in samples[0::2]:
                # Clicks start once the kept music is heard: until the sink has rendered the block it had
                # rendered before the recording started (up to 2 s), no monitor recording gets anything.
                if value != 0.0:
                    flowing.set()
                if value > 0.4 and not above:
                    arrivals.append(now)
                above = value > 0.4

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    flowing.wait(30)
    time.sleep(0.3)
    click = subprocess.run([os.path.join(TOOLS, "pa_click"), str(clicks), "200"], env=server.env,
                           capture_output=True, text=True, timeout=120)
    time.sleep(0.3)
    proc.send_signal(2)
    proc.wait(10)
    reader.join(10)
    played = [int(line) for line in click.stdout.split()]
    return click_latencies(played, arrivals)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "native", "audio-helper"))
    args = parser.parse_args()
    build_tools()
    seconds, rounds = (3, 2) if args.quick else (10, 3)
    figures = {"cpu": {}}
    with bystander() as excluded, tempfile.TemporaryDirectory() as files:
        helper = [os.path.abspath(args.helper), excluded]
        path = tone(os.path.join(files, "tone.wav"), 1000, 600, amplitude=0.02)
        for streams in (1, 3, 10):
            with PulseAudioServer() as server:
                # Kept application streams play throughout, as in use.
                music = [player(["paplay", path], server.env) for _ in range(streams)]
                try:
                    time.sleep(0.5)
                    figures["cpu"]["%d_streams" % streams] = cpu_figures(server, helper, seconds, rounds)
                    if streams == 3:
                        figures["latency"] = latency_figures(server, helper, 10 if args.quick else 30)
                finally:
                    for proc in music:
                        proc.kill()
                        proc.wait()
    print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
