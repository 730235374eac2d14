"""The real program on a private PipeWire (with WirePlumber and pipewire-pulse): CPU per audio hour with kept
streams playing, against pw-record of the sink monitor and pw-record scheduled as the helper's node is;
click latency at two quanta; heap calls in steady state; 16 kHz mono against 48 kHz stereo; sink moves."""
from __future__ import annotations

import json
import os
import signal
import statistics
import subprocess
import tempfile
import time

from bench.common import (TOOLS, BenchError, Row, bystander, click_latency, cpu_per_audio_hour, cpu_rounds, ratio,
                          rounds_note, spawn, stop)
from testkit.audio import SinkMonitor, change_sinks, player, ramp, ramp_indices, split_stream, tone
from testkit.servers import PipeWireServer, wait_until

RECORD = ["--format", "f32", "--rate", "48000", "--channels", "2", "-"]
# pw-record scheduled as the helper's node is: always processed, not linked by the session manager, linked
# to each player's output. Such a node runs after the players in each cycle, the server waking once more to
# start it; the monitor's recorder runs beside them.
LINKED = "bench-linked"
RECORDERS = {"pw-record": ["pw-record", "--target", "sink-a", "-P", "{ stream.capture.sink = true }", *RECORD],
             "pw-record linked": ["pw-record", "-P", "{ node.name = %s node.autoconnect = false node.always-process = "
                                  "true node.want-driver = true }" % LINKED, *RECORD]}


def _link_players(env):
    """Links every player's output ports to the linked recorder's inputs, channel by channel."""
    def ports_ready():
        dump = json.loads(subprocess.run(["pw-dump"], env=env, capture_output=True, text=True, timeout=10).stdout)
        nodes = {o["id"]: o["info"]["props"] for o in dump if o["type"] == "PipeWire:Interface:Node"}
        ports = [(o["id"], o["info"]["props"]) for o in dump if o["type"] == "PipeWire:Interface:Port"]
        inputs = {p.get("audio.channel"): i for i, p in ports if p.get("port.direction") == "in"
                  and nodes.get(p.get("node.id"), {}).get("node.name") == LINKED}
        for i, p in ports if inputs else ():
            if (nodes.get(p.get("node.id"), {}).get("media.class") == "Stream/Output/Audio"
                    and p.get("port.direction") == "out" and p.get("audio.channel") in inputs):
                try:
                    subprocess.run(["pw-link", str(i), str(inputs[p["audio.channel"]])], env=env, capture_output=True,
                                   timeout=10)
                except subprocess.TimeoutExpired:
                    pass  # 1.x's pw-link can wait on a link that is made; the recorder's data decides
        return bool(inputs)
    wait_until(ports_ready, "the linked recorder's ports", timeout=10)


def cpu(ctx) -> list[Row]:
    seconds, rounds = (3, 2) if ctx.quick else (10, ctx.rounds or 5)
    rows = []
    with bystander() as excluded, PipeWireServer() as server, tempfile.TemporaryDirectory() as files:
        helper = [ctx.program, excluded]
        path = tone(os.path.join(files, "tone.wav"), 1000, 600 if ctx.quick else 3600, amplitude=0.1)
        music = []  # kept streams play throughout, as in use
        try:
            for count in ctx.streams:
                music += [player(["pw-play", path], server.env) for _ in range(count - len(music))]
                runs = cpu_rounds(server.env, [p.pid for p in server.procs], {"idle": None, "helper": helper,
                                  **RECORDERS}, seconds, rounds,
                                  lambda name: name == "pw-record linked" and _link_players(server.env))
                f = cpu_per_audio_hour(runs)
                h, m, li = f["helper"], f["pw-record"], f["pw-record linked"]
                rows.append(Row("pipewire", f"CPU per audio hour, {count} kept streams, {rounds} x {seconds} s",
                                h["total"], "s", m["total"], "pw-record of the sink monitor", ratio(h["total"], m["total"]),
                                "<= 1.2", h["total"] <= 1.2 * m["total"],
                                f"linked pw-record {li['total']:.1f} s (ratio {ratio(h['total'], li['total']):.2f}); own:"
                                f" helper {h['own']:.1f}, monitor's {m['own']:.1f}, linked {li['own']:.1f}; helper "
                                + rounds_note(h["rounds"]), extra=f))
            for extra in music[1:]:
                stop(extra, signal.SIGKILL)
            for quantum in (480, 1024):
                lat = click_latency(server.env, helper, [os.path.join(TOOLS, "pw_click"), 10 if ctx.quick else 30,
                                                         200, quantum])
                rows.append(Row("pipewire", f"click to standard output, quantum {quantum}, median", lat["median_ms"],
                                "ms", note=f"max {lat['max_ms']:.1f} ms; {lat['heard']} of {lat['clicks']} heard"))
            with tempfile.NamedTemporaryFile(prefix="alloc.") as out:
                proc = spawn(helper, env={**server.env, "LD_PRELOAD": os.path.join(TOOLS, "alloc_count.so"),
                                          "BENCH_ALLOC_OUT": out.name})
                time.sleep(5)  # the counted stretch of streaming
                stop(proc)
                counts = json.load(out)
            total = sum(counts[t]["allocs"] + counts[t]["frees"] for t in ("main", "other"))
            rows.append(Row("pipewire", "heap calls in steady state, every thread, one kept stream", total, "calls",
                            goal="== 0", met=total == 0, note=json.dumps(counts)))
        finally:
            for proc in music:
                stop(proc, signal.SIGKILL)
    return rows


def formats(ctx) -> list[Row]:
    """CPU of 16 kHz mono against 48 kHz stereo (one kept stream), beside the program without options."""
    seconds, rounds = (3, 2) if ctx.quick else (10, ctx.rounds or 5)
    with bystander() as excluded, PipeWireServer() as server, tempfile.TemporaryDirectory() as files:
        music = player(["pw-play", tone(os.path.join(files, "tone.wav"), 1000, 600, amplitude=0.1)], server.env)
        try:
            commands = {"idle": None, "no options": [ctx.program, excluded],
                        "48000/2": [ctx.program, excluded, "--rate", "48000", "--channels", "2"],
                        "16000/1": [ctx.program, excluded, "--rate", "16000", "--channels", "1"]}
            f = cpu_per_audio_hour(cpu_rounds(server.env, [p.pid for p in server.procs], commands, seconds, rounds))
        finally:
            stop(music, signal.SIGKILL)
    return [Row("pipewire-formats", f"CPU per audio hour, {name}, {rounds} x {seconds} s", f[name]["total"], "s",
                f["48000/2"]["total"] if name == "16000/1" else None, "48000/2" if name == "16000/1" else "",
                ratio(f[name]["total"], f["48000/2"]["total"]) if name == "16000/1" else None,
                note=f"own {f[name]['own']:.1f} s, server's increase {f[name]['server']:.1f} s; "
                + rounds_note(f[name]["rounds"])) for name in ("no options", "48000/2", "16000/1")]


SECONDS = 8


def _move_run(server, ctx, work, with_helper):
    """An 8 s ramp (each frame's value names its index) moved between the sinks; both monitors record what
    the sinks played. With the helper, a hole is a frame the sinks played that the capture lacks."""
    ramp(os.path.join(work, "ramp.wav"), SECONDS)
    out_path = os.path.join(work, "capture")
    with open(out_path, "wb") as out, bystander() as excluded:
        capture = spawn([ctx.program, excluded], env=server.env, stdout=out) if with_helper else None
        if capture:
            wait_until(lambda: os.path.getsize(out_path) > 16 + 8 * 4800, "the capture's first packets")
        monitors = [SinkMonitor(server.env, sink, os.path.join(work, sink + ".wav")) for sink in ("sink-a", "sink-b")]
        started = time.monotonic()
        ramp_player = player(["paplay", os.path.join(work, "ramp.wav")], server.env)
        change = "move-sink-input" if ctx.mode == "move" else "set-default-sink"
        change_sinks(server.env, server.stream_of(ramp_player.pid), [change] * 20, SECONDS * 0.8 / 20)
        ramp_player.wait(60)
        result = {"player_s": time.monotonic() - started,
                  "played": set().union(*(ramp_indices(monitor.stop()[0]) for monitor in monitors))}
        if capture:
            stop(capture)
    if capture:
        with open(out_path, "rb") as f:
            result["holes"] = len(result["played"] - set(ramp_indices(split_stream(f.read())[0])))
    result["played"] = len(result["played"])
    return result


def moves(ctx) -> list[Row]:
    runs = 2 if ctx.quick else ctx.runs
    alone, captured = [], []
    with PipeWireServer(sinks=("sink-a", "sink-b")) as server, tempfile.TemporaryDirectory() as work:
        if ctx.quantum:
            subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(ctx.quantum)],
                           env=server.env, check=True, stdout=subprocess.DEVNULL)
        for _ in range(runs):  # interleaved pairs
            alone.append(_move_run(server, ctx, work, False))
            captured.append(_move_run(server, ctx, work, True))
    if not captured:
        raise BenchError("no run")
    holes = [run["holes"] for run in captured if run["holes"]]
    without, with_ = (statistics.mean(r["player_s"] for r in runs_) for runs_ in (alone, captured))
    quantum = ctx.quantum or "left to the server"
    return [Row("pipewire-moves", f"runs lacking frames the sinks played, 20 x {ctx.mode}, quantum {quantum}",
                len(holes), "runs", runs, "runs with the helper", note=f"holes {holes}; player {with_:.3f} s with the "
                f"helper, {without:.3f} s without; sinks played {min(r['played'] for r in alone)}-"
                f"{max(r['played'] for r in alone)} frames without, {min(r['played'] for r in captured)}-"
                f"{max(r['played'] for r in captured)} with", extra={"without": alone, "with": captured})]
