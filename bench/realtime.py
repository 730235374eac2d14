"""CPU at real time: the helper delivering 10 ms packets for a fixed stretch of audio, against parec
recording a private PulseAudio null sink's monitor with the same format and latency."""
from __future__ import annotations

import signal
import subprocess
import time

from bench.common import (BYTES_PER_SECOND, BenchError, Drainer, Row, missing_tools, process_cpu_ns,
                          ratio, spawn, start_helper, finish_helper, stop, thread_samples)
from testkit.servers import PulseAudioServer

NEEDED = {"pulseaudio": "pulseaudio", "parec": "pulseaudio-utils", "pactl": "pulseaudio-utils"}
SINK = "bench_null"

GOAL_PERCENT = 0.1  # of one core
GOAL_SECONDS_PER_HOUR = 3600 * GOAL_PERCENT / 100
PACKET_BYTES = 480 * 8
ROUNDS = 6


def _sample(pid, drainer):
    return time.perf_counter(), process_cpu_ns(pid), thread_samples(pid), drainer.count


def _measure(pid, drainer, seconds, extra_pids=()):
    """Samples CPU across a fixed stretch of streaming; returns per-audio-hour figures."""
    # Flowing first: ten packets past whatever start-up wrote.
    if not drainer.wait_for(drainer.count + 10 * PACKET_BYTES, 30):
        raise BenchError("no steady stream within 30 s")
    t0, cpu0, threads0, bytes0 = _sample(pid, drainer)
    extra0 = {p: process_cpu_ns(p) for p in extra_pids}
    time.sleep(seconds)  # the fixed stretch of real-time audio is the measurement
    t1, cpu1, threads1, bytes1 = _sample(pid, drainer)
    extra1 = {p: process_cpu_ns(p) for p in extra_pids}
    audio = (bytes1 - bytes0) / BYTES_PER_SECOND
    if audio <= 0 or cpu0 is None or cpu1 is None:
        raise BenchError("no audio or no CPU clock during the window")
    per_hour = lambda ns: ns / 1e9 / audio * 3600  # noqa: E731
    threads = {}
    for tid, after in threads1.items():
        before = threads0.get(tid)
        if before is None:
            continue
        role = "capture" if tid == pid else after.name
        packets = (bytes1 - bytes0) / PACKET_BYTES
        threads[f"{role}:{tid}"] = {
            "cpu_s_per_audio_hour": per_hour(after.cpu_ns - before.cpu_ns),
            "wakeups_per_packet": (after.voluntary - before.voluntary) / packets if packets else None,
            "preemptions": after.involuntary - before.involuntary,
        }
    return {
        "wall_s": t1 - t0, "audio_s": audio,
        "cpu_s": (cpu1 - cpu0) / 1e9,
        "cpu_s_per_audio_hour": per_hour(cpu1 - cpu0),
        "percent_of_core": (cpu1 - cpu0) / 1e9 / (t1 - t0) * 100,
        "since_start_cpu_s": cpu1 / 1e9,
        "threads": threads,
        "others_cpu_s_per_audio_hour": {str(p): per_hour(extra1[p] - extra0[p]) for p in extra_pids
                                        if extra0.get(p) is not None and extra1.get(p) is not None},
    }


def _helper(ctx, source, seconds):
    running = start_helper(ctx.helper, f"period=10,frames=480,source={source}")
    try:
        return _measure(running.pid, running.out, seconds)
    finally:
        finish_helper(running)


def _floor(ctx, seconds):
    proc = spawn([str(ctx.tools["tickwriter"]), str(PACKET_BYTES), "10"], stdout=subprocess.PIPE)
    drainer = Drainer(proc.stdout.fileno())
    drainer.start()
    try:
        return _measure(proc.pid, drainer, seconds)
    finally:
        stop(proc, signal.SIGINT, 10)
        drainer.wait_eof(5)
        proc.stdout.close()


def _parec(seconds):
    try:
        with PulseAudioServer(sinks=((SINK, 48000),)) as pulse:
            return _record(pulse, seconds)
    except RuntimeError as error:  # the server did not start or answer: the reference is noted as failed
        raise BenchError(str(error)) from error


def _record(pulse, seconds):
    proc = spawn(["parec", "--raw", "--latency-msec=10", f"--device={SINK}.monitor", "--format=float32le",
                  "--rate=48000", "--channels=2"], env=pulse.env, stdout=subprocess.PIPE)
    drainer = Drainer(proc.stdout.fileno())
    drainer.start()
    try:
        return _measure(proc.pid, drainer, seconds, extra_pids=(pulse.proc.pid,))
    finally:
        stop(proc, signal.SIGINT, 10)
        drainer.wait_eof(5)
        proc.stdout.close()


def _median_round(results):
    """The round with the median whole-process figure (its thread figures come with it), and the range."""
    ordered = sorted(results, key=lambda result: result["cpu_s_per_audio_hour"])
    chosen = dict(ordered[len(ordered) // 2])
    chosen["rounds_s_per_audio_hour"] = [result["cpu_s_per_audio_hour"] for result in results]
    return chosen


def _spread(result):
    values = result["rounds_s_per_audio_hour"]
    return f"rounds {min(values):.1f}-{max(values):.1f} s/h" if len(values) > 1 else ""


def run(ctx) -> list[Row]:
    # Wake-up costs drift on a shared VM; interleaving the programs in rounds lets each ratio compare
    # figures taken under the same conditions.
    rounds = 1 if ctx.quick else ROUNDS
    seconds = (10.0 if ctx.quick else 60.0) / rounds
    span = f"{rounds} x {seconds:.0f} s, median round" if rounds > 1 else f"{seconds:.0f} s"
    missing = missing_tools(NEEDED)
    parec_note = "parec reference skipped: missing " + ", ".join(missing) if missing else ""
    taken = {"ramp": [], "tone": [], "floor": [], "parec": []}
    for _ in range(rounds):
        taken["ramp"].append(_helper(ctx, "ramp", seconds))
        taken["tone"].append(_helper(ctx, "tone", seconds))
        taken["floor"].append(_floor(ctx, seconds))
        if not parec_note:
            try:
                taken["parec"].append(_parec(seconds))
            except BenchError as error:
                parec_note = f"parec reference failed: {error}"
    ramp, tone, floor = (_median_round(taken[name]) for name in ("ramp", "tone", "floor"))
    parec = _median_round(taken["parec"]) if taken["parec"] and not parec_note else None
    rows: list[Row] = []
    ref = parec["cpu_s_per_audio_hour"] if parec else None
    label = "parec --raw --latency-msec=10, null-sink monitor"

    def capture_thread(result):
        return next((v for k, v in result["threads"].items() if k.startswith("capture:")), {})

    for source, result in (("ramp", ramp), ("tone", tone)):
        value = result["cpu_s_per_audio_hour"]
        cap = capture_thread(result)
        rows.append(Row(
            "realtime", f"CPU per audio hour, whole process, {source}, 10 ms packets, {span}",
            value, "s", ref, label, ratio(value, ref), f"< {GOAL_SECONDS_PER_HOUR:.1f} s (0.1 % of a core)",
            value < GOAL_SECONDS_PER_HOUR,
            f"{result['percent_of_core']:.3f} % of a core; capture thread "
            f"{cap.get('cpu_s_per_audio_hour', float('nan')):.2f} s/h, "
            f"{cap.get('wakeups_per_packet', float('nan')):.2f} voluntary switches/packet"
            + "".join(f"; {text}" for text in (_spread(result), parec_note) if text),
            extra=result))
    cap = capture_thread(ramp)
    floor_value = floor["cpu_s_per_audio_hour"]
    rows.append(Row(
        "realtime", "CPU per audio hour, capture thread only, ramp", cap.get("cpu_s_per_audio_hour"), "s",
        floor_value, "one 10 ms timer wake + one write (C)", ratio(cap.get("cpu_s_per_audio_hour"), floor_value),
        note="; ".join(text for text in ("the rest of the process is the simulated engine's clock thread",
                                          _spread(floor) and "floor " + _spread(floor)) if text),
        extra={"floor": floor}))
    if parec:
        daemon = next(iter(parec["others_cpu_s_per_audio_hour"].values()), None)
        parts = [f"{parec['percent_of_core']:.3f} % of a core",
                 f"its pulseaudio daemon {daemon:.1f} s/h" if daemon is not None else "", _spread(parec)]
        note = "; ".join(part for part in parts if part)
        rows.append(Row("realtime", f"CPU per audio hour, parec (reference), {span}",
                        parec["cpu_s_per_audio_hour"], "s", note=note, extra=parec))
    return rows
