"""Throughput headroom: the helper at period=0 through a pipe, against a plain writer on the same pipe.

Both writers feed the same C counting reader, with the same write size, interleaved run by run. Two
placements are measured because a 2-core VM makes pipe rates depend on where the scheduler puts the two
ends: 'free' (as a user runs it; noisy) and 'one core' (writer and reader pinned to one CPU; stable,
and the reader's cost is added to both)."""
from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from bench.common import (BYTES_PER_FRAME, BenchError, LineReader, Row, StderrWatch, median, process_cpu_ns, ratio,
                    spawn, stop, user_sys_ticks, wait_exit)

SOURCES = ("ramp", "silence", "tone")
FRAME_SIZES = (480, 8192)
GOAL = 0.8


def _pinned_cpu() -> int:
    return max(os.sched_getaffinity(0))


def _window(writer_argv, writer_env, reader, seconds, warmup, cpu):
    """One run: returns (bytes/s, writer CPU ns, writer user ticks, writer sys ticks, bytes)."""
    read_fd, write_fd = os.pipe()
    try:
        writer = spawn(writer_argv, env=writer_env, stdout=write_fd, cpu=cpu)
        counter = spawn([str(reader), str(warmup), str(seconds)], stdin=read_fd, stdout=subprocess.PIPE,
                        cpu=cpu)
    finally:
        os.close(read_fd)
        os.close(write_fd)
    lines = LineReader(counter.stdout.fileno())
    try:
        if lines.readline(30) != "start":
            raise BenchError(f"no data from {writer_argv[0]} within 30 s")
        cpu0, ticks0 = process_cpu_ns(writer.pid), user_sys_ticks(writer.pid)
        line = lines.readline(seconds + 30)
        cpu1, ticks1 = process_cpu_ns(writer.pid), user_sys_ticks(writer.pid)
        if line is None or not line.startswith("window "):
            raise BenchError(f"counting reader gave {line!r}")
        _, nbytes, ns, _reads = line.split()
        nbytes, ns = int(nbytes), int(ns)
    finally:
        stop(writer, signal.SIGINT, 15)
        wait_exit(counter, 15)
        counter.stdout.close()
    cpu_ns = None if cpu0 is None or cpu1 is None else cpu1 - cpu0
    user = sys_ = None
    if ticks0 and ticks1:
        user, sys_ = ticks1[0] - ticks0[0], ticks1[1] - ticks0[1]
    return nbytes / (ns / 1e9), cpu_ns, user, sys_, nbytes


def _perf_engine_share(helper, frames, source, seconds, reader):
    """Share of the helper process's CPU samples spent in the simulated engine (render, queue) and libm."""
    if shutil.which("perf") is None:
        return None, "perf missing (apt-get install linux-perf)"
    sim = f"period=0,source={source},frames={frames}"
    read_fd, write_fd = os.pipe()
    try:
        proc = spawn([str(helper), str(os.getpid())], env={"AUDIO_HELPER_SIM": sim}, stdout=write_fd,
                     stderr=subprocess.PIPE)
        counter = spawn([str(reader)], stdin=read_fd)
    finally:
        os.close(read_fd)
        os.close(write_fd)
    err = StderrWatch(proc.stderr.fileno())
    err.start()
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "perf.data"
        try:
            if not err.started.wait(20):
                raise BenchError("helper did not start under perf within 20 s")
            # The recording's length is the sample size, not a wait for anything.
            rec = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "1999", "-p", str(proc.pid),
                                  "-o", str(data), "--", "sleep", str(seconds)],
                                 capture_output=True, timeout=seconds + 60)
        finally:
            stop(proc, signal.SIGINT, 15)
            wait_exit(counter, 15)
            proc.stderr.close()
        if rec.returncode != 0 or not data.exists():
            return None, "perf record failed: " + rec.stderr.decode(errors="replace").strip()[:200]
        rep = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children", "--sort", "dso,sym"],
                             capture_output=True, timeout=120)
    return classify_perf_report(rep.stdout.decode(errors="replace")), ""


_PERF_LINE = re.compile(r"^\s*([\d.]+)%\s+(\S+)\s+\[(.)\]\s+(.*?)\s*$")


def classify_perf_report(text: str) -> dict:
    """Splits a flat `perf report --sort dso,sym` listing into engine, helper-user and kernel shares."""
    engine = user = kernel = 0.0
    top_engine = []
    for line in text.splitlines():
        match = _PERF_LINE.match(line)
        if not match:
            continue
        share, dso, kind, sym = float(match[1]), match[2], match[3], match[4]
        if "simaudio::" in sym or dso.startswith("libm"):
            engine += share
            top_engine.append((share, sym))
        elif kind == "k":
            kernel += share
        else:
            user += share
    total = engine + user + kernel
    if total == 0:
        return {"engine": None, "user": None, "kernel": None, "top_engine": []}
    return {"engine": engine / total, "user": user / total, "kernel": kernel / total,
            "top_engine": [f"{s:.1f}% {n}" for s, n in sorted(top_engine, reverse=True)[:3]]}


def _reader_check(tools, quick):
    """Is the counting reader fast enough? The same bytes from the plain writer into three readers."""
    total = (128 if quick else 512) << 20
    readers = {
        "countreader (C)": [str(tools["countreader"])],
        "dd of=/dev/null bs=1M": ["dd", "of=/dev/null", "bs=1M", "status=none"],
        "python os.read loop": ["python3", "-c",
                                "import os\nn=0\nwhile True:\n b=os.read(0,1<<20)\n if not b: break\n n+=len(b)"],
    }
    results = {}
    for _ in range(1 if quick else 3):
        for name, argv in readers.items():
            read_fd, write_fd = os.pipe()
            start = time.perf_counter()
            try:
                writer = spawn([str(tools["pipewriter"]), "65536", str(total)], stdout=write_fd)
                reader = spawn(argv, stdin=read_fd)
            finally:
                os.close(read_fd)
                os.close(write_fd)
            wait_exit(writer, 120)
            wait_exit(reader, 120)
            results.setdefault(name, []).append(total / (time.perf_counter() - start))
    return {name: median(rates) for name, rates in results.items()}


def run(ctx) -> list[Row]:
    helper, tools, quick = ctx.helper, ctx.tools, ctx.quick
    seconds = 0.5 if quick else 1.5
    repeats = 1 if quick else 5
    warmup = 4 << 20
    placements = {"free": None, "one core": _pinned_cpu()}
    samples: dict[tuple, list] = {}
    for _ in range(repeats):
        for place, cpu in placements.items():
            for frames in FRAME_SIZES:
                chunk = frames * BYTES_PER_FRAME
                configs = [("reference", [str(tools["pipewriter"]), str(chunk)], None)]
                configs += [(source, [str(helper), str(os.getpid())],
                             {"AUDIO_HELPER_SIM": f"period=0,source={source},frames={frames}"})
                            for source in SOURCES]
                for name, argv, env in configs:
                    samples.setdefault((place, frames, name), []).append(
                        _window(argv, env, tools["countreader"], seconds, warmup, cpu))

    rows: list[Row] = []
    details = {}
    for place in placements:
        for frames in FRAME_SIZES:
            ref = samples[(place, frames, "reference")]
            ref_rate = median(s[0] for s in ref)
            ref_cpu_per_mb = median(s[1] / (s[4] / 1e6) for s in ref if s[1] is not None)
            for source in SOURCES:
                runs = samples[(place, frames, source)]
                rate = median(s[0] for s in runs)
                cpu_per_mb = median(s[1] / (s[4] / 1e6) for s in runs if s[1] is not None)
                user = sum(s[2] or 0 for s in runs)
                sys_ = sum(s[3] or 0 for s in runs)
                key = f"{place}/{frames}/{source}"
                details[key] = {
                    "rates_MBps": [round(s[0] / 1e6, 1) for s in runs],
                    "reference_rates_MBps": [round(s[0] / 1e6, 1) for s in ref],
                    "cpu_ns_per_MB": cpu_per_mb, "reference_cpu_ns_per_MB": ref_cpu_per_mb,
                    "user_share": user / (user + sys_) if user + sys_ else None,
                }
                r = ratio(rate, ref_rate)
                spread = f"runs {min(s[0] for s in runs) / 1e6:.0f}-{max(s[0] for s in runs) / 1e6:.0f} MB/s"
                rows.append(Row(
                    "throughput", f"period=0 {source}, {frames} frames ({frames * BYTES_PER_FRAME} B writes), {place}",
                    rate / 1e6, "MB/s", ref_rate / 1e6, f"plain writer, same write size, {place}", r,
                    f">= {GOAL}" if source == "ramp" else "", (r >= GOAL) if source == "ramp" and r else None,
                    spread + (f"; user {details[key]['user_share']:.0%} of CPU" if details[key]["user_share"]
                              is not None else ""),
                    extra=details[key]))

    # Where the helper process's time goes while streaming: the engine's rendering vs the rest.
    for frames in FRAME_SIZES:
        for source in SOURCES:
            try:
                share, why = _perf_engine_share(helper, frames, source, 0.5 if quick else 1.0,
                                                tools["countreader"])
            except BenchError as error:
                share, why = None, str(error)
            if share is None or share.get("engine") is None:
                rows.append(Row("throughput", f"engine share of helper CPU, {source}, {frames} frames", None, "%",
                                note=why or "no samples"))
                continue
            rows.append(Row("throughput", f"engine share of helper CPU, period=0 {source}, {frames} frames",
                            share["engine"] * 100, "%", note=f"kernel {share['kernel']:.0%}, other user "
                            f"{share['user']:.0%}; top: {'; '.join(share['top_engine'][:2])}", extra=share))
            # The helper's own cost: its CPU per MB less the engine's share, against the plain writer's.
            own = details[f"free/{frames}/{source}"]
            if own["cpu_ns_per_MB"] and own["reference_cpu_ns_per_MB"]:
                value = own["cpu_ns_per_MB"] * (1 - share["engine"]) / 1e3
                reference = own["reference_cpu_ns_per_MB"] / 1e3
                r = value / reference
                rows.append(Row(
                    "throughput", f"writer CPU per MB without the engine, {source}, {frames} frames, free", value,
                    "us/MB", reference, "plain writer's CPU per MB", r, "<= 1.25 (0.8 of the rate)",
                    r <= 1.25 if source == "ramp" else None,
                    f"with the engine {own['cpu_ns_per_MB'] / 1e3:.0f} us/MB"))

    checks = _reader_check(tools, quick)
    fastest = max(checks.values())
    for name, rate in checks.items():
        rows.append(Row("throughput", f"reader check: {name}, 64 KiB writes", rate / 1e6, "MB/s", fastest / 1e6,
                        "fastest reader", ratio(rate, fastest)))
    return rows
