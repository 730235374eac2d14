"""The real program on a private plain PulseAudio (one 48 kHz null sink): CPU per audio hour with kept
streams playing against parec of the sink monitor, click latency; then, with a busy loop per core,
dropouts in a kept tone against parec recording the same monitor, and click latency under that load."""
from __future__ import annotations

import array
import os
import signal
import sys
import tempfile
import time

from bench.common import (TOOLS, Row, bystander, click_latency, cpu_per_audio_hour, cpu_rounds, ratio, rounds_note,
                          spawn, stop)
from testkit.audio import player, tone
from testkit.servers import PulseAudioServer

PAREC = ["parec", "-d", "sink-a.monitor", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
         "--latency-msec=10"]
MIN_RUN = 16  # zero frames in a row that make a dropout: the tone itself never holds two


def _latency_row(figure, lat):
    return Row("pulse", figure, lat["median_ms"], "ms",
               note=f"max {lat['max_ms']:.1f} ms; {lat['heard']} of {lat['clicks']} heard")


def cpu(ctx) -> list[Row]:
    seconds, rounds = (3, 2) if ctx.quick else (10, ctx.rounds or 3)
    rows = []
    with bystander() as excluded, tempfile.TemporaryDirectory() as files:
        helper = [ctx.program, excluded]
        path = tone(os.path.join(files, "tone.wav"), 1000, 600, amplitude=0.02)
        for streams in ctx.streams:
            with PulseAudioServer() as server:
                music = [player(["paplay", path], server.env) for _ in range(streams)]  # kept, as in use
                try:
                    f = cpu_per_audio_hour(cpu_rounds(server.env, [server.proc.pid], {"idle": None, "helper": helper,
                                                      "parec": PAREC}, seconds, rounds))
                    h, p = f["helper"], f["parec"]
                    rows.append(Row("pulse", f"CPU per audio hour, {streams} kept streams, {rounds} x {seconds} s",
                                    h["total"], "s", p["total"], "parec of the sink monitor, 10 ms",
                                    ratio(h["total"], p["total"]), "<= 1.2", h["total"] <= 1.2 * p["total"],
                                    f"own: helper {h['own']:.1f}, parec {p['own']:.1f}; helper "
                                    + rounds_note(h["rounds"]) + "; parec " + rounds_note(p["rounds"]), extra=f))
                    if streams == 3 or len(ctx.streams) == 1:
                        lat = click_latency(server.env, helper, [os.path.join(TOOLS, "pa_click"),
                                                                 10 if ctx.quick else 30, 200])
                        rows.append(_latency_row(f"click to standard output, {streams} kept streams, median", lat))
                finally:
                    for proc in music:
                        stop(proc, signal.SIGKILL)
    return rows


def dropouts(data: bytes) -> tuple[int, float]:
    """(silent runs inside the tone, seconds of tone) of raw float stereo."""
    left = array.array("f", data[: len(data) // 8 * 8])[0::2]
    on = [i for i, v in enumerate(left) if v != 0.0]
    runs = zeros = 0
    for v in left[on[0]: on[-1] + 1] if on else ():
        zeros = zeros + 1 if v == 0.0 else 0
        runs += zeros == MIN_RUN
    return runs, (on[-1] - on[0]) / 48000 if on else 0.0


def load(ctx) -> list[Row]:
    seconds = 20 if ctx.quick else 60
    rows = []
    busy = [spawn([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 2)]
    try:
        with bystander() as excluded, PulseAudioServer() as server, tempfile.TemporaryDirectory() as files:
            helper = [ctx.program, excluded]
            music = player(["paplay", tone(os.path.join(files, "tone.wav"), 1000, seconds + 20, amplitude=0.02)],
                           server.env)
            time.sleep(0.5)
            outputs = {name: open(os.path.join(files, name + ".raw"), "w+b") for name in ("helper", "parec")}
            procs = {name: spawn(argv, env=server.env, stdout=outputs[name])
                     for name, argv in (("helper", helper), ("parec", PAREC))}
            time.sleep(seconds)  # the recorded stretch is the measurement
            figures = {}
            for name, proc in procs.items():
                stop(proc)
                outputs[name].seek(16 if name == "helper" else 0)
                figures[name] = dropouts(outputs[name].read())
                outputs[name].close()
            runs, tone_s = figures["helper"]
            ref_runs, ref_s = figures["parec"]
            per_minute = runs * 60 / tone_s if tone_s else None
            ref_per_minute = ref_runs * 60 / ref_s if ref_s else None
            rows.append(Row("pulse-load", "dropouts per minute of a kept tone, a busy loop per core", per_minute,
                            "/min", ref_per_minute, "parec of the same monitor", goal="== 0", met=runs == 0,
                            note=f"{runs} in {tone_s:.1f} s; parec {ref_runs} in {ref_s:.1f} s"))
            # With the tone still playing, so the clicks start once the helper hears it.
            rows.append(_latency_row("click to standard output under load, median",
                                     click_latency(server.env, helper, [os.path.join(TOOLS, "pa_click"), 30, 200])))
            stop(music, signal.SIGKILL)
    finally:
        for proc in busy:
            stop(proc, signal.SIGKILL)
    for row in rows:
        row.section = "pulse-load"
    return rows
