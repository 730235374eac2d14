"""Stop latency (SIGINT to exit, streaming and idle) and start-up (spawn to the 16 header bytes)."""
from __future__ import annotations

import os
import random
import select
import signal
import subprocess
import time

from bench.common import (HEADER_BYTES, BenchError, Row, finish_helper, median, percentile, ratio, spawn, start_helper,
                    stop, timed_exit_after_signal, wait_exit)

PACKET_MS = 10
WAIT_MS = 500  # the capture loop's wait time-out


def _stop_once(helper, sim, phase_s, rng, streaming):
    running = start_helper(helper, sim)
    try:
        if streaming and not running.out.wait_for(HEADER_BYTES + 5 * 3840, 10):
            raise BenchError("no audio within 10 s")
        # A random point in the loop's cycle, so the figures cover every phase of it.
        time.sleep(rng.uniform(0, phase_s))
        elapsed, code = timed_exit_after_signal(running.proc, signal.SIGINT, 5)
    finally:
        finish_helper(running, 5)
    return elapsed, code


def _floor_once():
    """The harness's own floor: `cat`, proven running by an echo, ended by SIGINT's default action."""
    proc = spawn(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        proc.stdin.write(b"x\n")
        proc.stdin.flush()
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        if not ready or os.read(proc.stdout.fileno(), 16) != b"x\n":
            raise BenchError("cat did not echo")
        elapsed, _ = timed_exit_after_signal(proc, signal.SIGINT, 5)
        return elapsed
    finally:
        stop(proc, signal.SIGKILL, 5)
        proc.stdin.close()
        proc.stdout.close()


def _startup_once(argv, env, stop_after):
    start = time.perf_counter()
    proc = spawn(argv, env=env, stdout=subprocess.PIPE)
    got = b""
    fd = proc.stdout.fileno()
    deadline = start + 20
    try:
        while len(got) < HEADER_BYTES:
            left = deadline - time.perf_counter()
            if left <= 0:
                raise BenchError(f"{argv[0]}: no header within 20 s")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, HEADER_BYTES - len(got))
                if not chunk:
                    raise BenchError(f"{argv[0]}: output ended before {HEADER_BYTES} bytes")
                got += chunk
        elapsed = time.perf_counter() - start
    finally:
        if stop_after:
            stop(proc, signal.SIGINT, 10)
        else:
            wait_exit(proc, 10)
        proc.stdout.close()
    return elapsed


def _summary(values):
    return {"median": median(values), "p90": percentile(values, 0.9), "max": max(values), "min": min(values),
            "runs": len(values)}


def run(ctx) -> list[Row]:
    runs = 10 if ctx.quick else 50
    rng = random.Random(20240601)
    rows: list[Row] = []

    floors = [_floor_once() for _ in range(runs)]
    floor = _summary([f * 1e3 for f in floors if f is not None])
    for label, sim, phase, bound, streaming in (
            ("streaming 10 ms packets", "period=10,frames=480,source=ramp", PACKET_MS / 1e3, PACKET_MS, True),
            ("idle (no packets)", "period=10,packets=0", WAIT_MS / 1e3, WAIT_MS, False)):
        results = [_stop_once(ctx.helper, sim, phase, rng, streaming) for _ in range(runs)]
        times = [r[0] * 1e3 for r in results if r[0] is not None]
        failures = sum(1 for r in results if r[0] is None)
        bad_codes = sorted({r[1] for r in results if r[1] not in (0, None)})
        if not times:
            raise BenchError(f"helper never stopped ({label})")
        s = _summary(times)
        extra = {"ms": s, "floor_ms": floor, "timeouts": failures, "exit_codes_other_than_0": bad_codes}
        note = (f"floor (cat, same harness) median {floor['median']:.2f} ms; "
                f"{failures} time-outs; exit codes {bad_codes or [0]}")
        rows.append(Row("stop", f"SIGINT to exit, {label}, median of {runs}", s["median"], "ms", bound,
                        f"next wake-up ({bound} ms)", ratio(s["median"], bound), "", None, note, extra=extra))
        rows.append(Row("stop", f"SIGINT to exit, {label}, worst of {runs}", s["max"], "ms", bound,
                        f"next wake-up ({bound} ms)", ratio(s["max"], bound),
                        f"<= {bound} ms + floor", s["max"] <= bound + max(5.0, floor["max"]) and not failures, note,
                        extra=extra))

    helper_argv = [str(ctx.helper), str(os.getpid())]
    reference_argv = [str(ctx.tools["pipewriter"]), str(HEADER_BYTES), str(HEADER_BYTES)]
    helper_times, reference_times = [], []
    for _ in range(runs):
        # delay=0: the simulated activation's own 2 ms stand-in delay is not the helper's start-up.
        helper_times.append(_startup_once(helper_argv, {"AUDIO_HELPER_SIM": "period=10,source=ramp,delay=0"},
                                          True) * 1e3)
        reference_times.append(_startup_once(reference_argv, None, False) * 1e3)
    h, r = _summary(helper_times), _summary(reference_times)
    rows.append(Row("startup", f"spawn to 16 header bytes, median of {runs}", h["median"], "ms", r["median"],
                    "C program writing 16 bytes, same harness", ratio(h["median"], r["median"]), "", None,
                    f"p90 {h['p90']:.2f} ms, worst {h['max']:.2f} ms; reference worst {r['max']:.2f} ms",
                    extra={"helper_ms": h, "reference_ms": r}))
    return rows
