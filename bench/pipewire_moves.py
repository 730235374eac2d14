#!/usr/bin/env python3
"""Sink moves on a private PipeWire with two null sinks: what the capture loses and what the player's timing
does, with the helper and without it, in interleaved runs.

    python3 -m bench.pipewire_moves [--runs 6] [--changes 20] [--mode move|default] [--quantum 0]

Each run plays an 8 s ramp (each frame's value names its index) with `paplay` and moves its stream between
the sinks `--changes` times (or changes the default sink). Both sink monitors are recorded with `pw-record`:
what the sinks played. With the helper, a hole is a frame the sinks played that the capture lacks. A
`--quantum` other than 0 forces the graph's quantum (`clock.force-quantum`), as a low-latency client would.
Prints the figures as JSON.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import tempfile
import time

from bench.engine_common import ROOT, bystander
from testkit.audio import SinkMonitor, change_sinks, player, ramp, ramp_indices, split_stream
from testkit.servers import PipeWireServer, wait_until

SECONDS = 8


def one_run(server, helper, mode, changes, work, with_helper):
    env = server.env
    frames = ramp(os.path.join(work, "ramp.wav"), SECONDS)
    out_path = os.path.join(work, "capture")
    capture = None
    with open(out_path, "wb") as out, bystander() as excluded:
        if with_helper:
            capture = subprocess.Popen([helper, excluded], env=env, stdout=out, stderr=subprocess.DEVNULL)
            wait_until(lambda: os.path.getsize(out_path) > 16 + 8 * 4800, "the capture's first packets")
        monitors = [SinkMonitor(env, sink, os.path.join(work, sink + ".wav")) for sink in ("sink-a", "sink-b")]
        started = time.monotonic()
        ramp_player = player(["paplay", os.path.join(work, "ramp.wav")], env)
        change = "move-sink-input" if mode == "move" else "set-default-sink"
        change_sinks(env, server.stream_of(ramp_player.pid), [change] * changes, SECONDS * 0.8 / changes)
        ramp_player.wait(60)
        took = time.monotonic() - started
        played = set()
        for monitor in monitors:
            played.update(ramp_indices(monitor.stop()[0]))
        result = {"player_s": round(took, 3), "played": len(played), "frames": frames}
        if capture is not None:
            capture.send_signal(signal.SIGINT)
            capture.wait(10)
    if capture is not None:
        with open(out_path, "rb") as f:
            captured = set(ramp_indices(split_stream(f.read())[0]))
        result["holes"] = len(played - captured)
        result["captured"] = len(captured)
    return result


def summary(runs, key):
    values = [run[key] for run in runs]
    return {"mean": round(statistics.mean(values), 3), "min": min(values), "max": max(values)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=6, help="interleaved pairs of runs")
    parser.add_argument("--changes", type=int, default=20, help="moves or default-sink changes a run")
    parser.add_argument("--mode", choices=("move", "default"), default="move")
    parser.add_argument("--quantum", type=int, default=0, help="force the graph's quantum (0: leave it)")
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "native", "audio-helper"))
    args = parser.parse_args()
    alone, captured = [], []
    with PipeWireServer(sinks=("sink-a", "sink-b")) as server, tempfile.TemporaryDirectory() as work:
        if args.quantum:
            subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(args.quantum)],
                           env=server.env, check=True, stdout=subprocess.DEVNULL)
        for _ in range(args.runs):
            alone.append(one_run(server, args.helper, args.mode, args.changes, work, False))
            captured.append(one_run(server, args.helper, args.mode, args.changes, work, True))
    figures = {
        "mode": args.mode, "changes": args.changes, "quantum": args.quantum or "the server's",
        "player_s": {"without": summary(alone, "player_s"), "with": summary(captured, "player_s")},
        "sinks_played": {"without": summary(alone, "played"), "with": summary(captured, "played")},
        "runs_with_holes": sum(1 for run in captured if run["holes"]),
        "hole_frames": [run["holes"] for run in captured if run["holes"]],
        "runs": {"without": alone, "with": captured},
    }
    print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
