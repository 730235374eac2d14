"""System calls and heap calls per packet on the capture thread in steady state.

strace gives every call with its thread, so the main (capture) thread's calls are counted apart from the
simulated engine's clock thread. A preloaded counter (tools/alloc_count.c) counts malloc/free per thread
over the same kind of window, and gdb, when present, names the code behind a steady-state allocation."""
from __future__ import annotations

import json
import math
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from bench import strace_parse
from bench.common import (BYTES_PER_FRAME, HEADER_BYTES, BenchError, Drainer, Row, StderrWatch, finish_helper, spawn,
                    start_helper, stop, wait_exit)

CHUNK_LIMIT = 65536


def _tracee(parent: int, program: Path, timeout: float) -> int | None:
    """The child of `parent` running `program`: strace also forks short-lived probes of its own."""
    deadline = time.monotonic() + timeout
    wanted = str(program).encode()
    while time.monotonic() < deadline:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
                if int(stat[stat.rindex(")") + 2:].split()[1]) != parent:
                    continue
                if Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")[0] == wanted:
                    return int(entry)
            except (OSError, ValueError):
                continue
        time.sleep(0.01)  # the tracee appears within milliseconds of strace's start
    return None


def _strace_run(helper, sim, *, seconds=None, packets=None, packet_bytes=0):
    """Runs the helper under strace until `seconds` of streaming passed or `packets` were delivered."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "trace"
        proc = spawn(["strace", "-f", "-ttt", "-qq", "-s", "0", "-o", str(out), "--", str(helper),
                      str(os.getpid())], env={"AUDIO_HELPER_SIM": sim}, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE)
        drainer, err = Drainer(proc.stdout.fileno()), StderrWatch(proc.stderr.fileno())
        drainer.start()
        err.start()
        pid = None
        try:
            pid = _tracee(proc.pid, helper, 10)
            if pid is None or not err.started.wait(60):
                raise BenchError(f"helper under strace did not start (AUDIO_HELPER_SIM={sim})")
            if packets is not None:
                if not drainer.wait_for(HEADER_BYTES + packets * packet_bytes, 300):
                    raise BenchError(f"fewer than {packets} packets under strace in 300 s")
            else:
                time.sleep(seconds)  # the length of the traced stretch is the sample size
            os.kill(pid, signal.SIGINT)
            if wait_exit(proc, 30) is None:
                raise BenchError("helper under strace did not stop within 30 s")
        finally:
            if proc.poll() is None and pid is not None and _tracee(proc.pid, helper, 0.1) == pid:
                os.kill(pid, signal.SIGKILL)  # strace killed first would leave its tracee running detached
            stop(proc, signal.SIGKILL, 5)
            drainer.wait_eof(5)
            proc.stdout.close()
            proc.stderr.close()
        return pid, strace_parse.parse(out.read_text(errors="replace"))


def _alloc_run(helper, shim, sim, *, seconds=None, packets=None, packet_bytes=0):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "alloc.json"
        env = {"LD_PRELOAD": str(shim), "BENCH_ALLOC_OUT": str(out), "BENCH_ALLOC_SKIP": "50"}
        running = start_helper(helper, sim, extra_env=env)
        try:
            if packets is not None:
                if not running.out.wait_for(HEADER_BYTES + packets * packet_bytes, 120):
                    raise BenchError(f"fewer than {packets} packets in 120 s")
            else:
                time.sleep(seconds)  # the counted stretch of real-time streaming
        finally:
            finish_helper(running)
        if not out.exists():
            raise BenchError("allocation counter wrote nothing")
        return json.loads(out.read_text())


_FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(.+?) \(")
_AT = re.compile(r" at (\S+):(\d+)$")
_DRIVER = ("writeAll", "drainPackets", "runCapture", "Silence::", "wmain", "WriteFile")


def first_project_frame(frames: list[tuple[str, str]]) -> str | None:
    """The innermost frame that is the engine's or the driver's own code, not the library under it."""
    for function, where in frames:
        if function.startswith("simaudio::") or any(name in function for name in _DRIVER):
            return f"{function} ({where})" if where else function
    return None


def _gdb_allocation_sites(helper, count=3):
    """Backtraces of the first few allocations after 100 packets, reduced to the first project frame."""
    if shutil.which("gdb") is None:
        return None
    script = "\n".join([
        "set pagination off", "set confirm off", "break writeAll", "ignore 1 100",
        "run {} >/dev/null 2>/dev/null".format(os.getpid()), "delete", "break malloc",
        *(["continue", "bt 12"] * count), "kill", "quit"])
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "script.gdb"
        path.write_text(script + "\n")
        try:
            result = subprocess.run(["gdb", "-q", "-batch", "-x", str(path), str(helper)],
                                    env={**os.environ, "AUDIO_HELPER_SIM": "period=0,source=ramp,packets=2000"},
                                    capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            return ["gdb timed out"]
    return parse_backtraces(result.stdout.decode(errors="replace"))


def parse_backtraces(text: str) -> list[str]:
    sites, current = [], []
    for line in text.splitlines() + ["#0  end ("]:
        if line.startswith("#0 ") and current:
            site = first_project_frame(current)
            if site:
                sites.append(site)
            current = []
        match = _FRAME.match(line)
        if match:
            at = _AT.search(line)
            current.append((match[1], f"{Path(at[1]).name}:{at[2]}" if at else ""))
    return sites


def run(ctx) -> list[Row]:
    helper, quick = ctx.helper, ctx.quick
    rows: list[Row] = []
    if shutil.which("strace") is None:
        return [Row("syscalls", "system calls per packet", None, "", note="strace missing (apt-get install strace)")]

    # Real time, 10 ms packets: what the capture thread does per packet.
    seconds = 3.0 if quick else 6.0
    packet_bytes = 480 * BYTES_PER_FRAME
    pid, trace = _strace_run(helper, "period=10,frames=480,source=ramp", seconds=seconds)
    window = strace_parse.steady_window(trace, pid, 1.0, 0.2)
    if window is None:
        raise BenchError("no steady-state window in the real-time trace")
    summary = strace_parse.summarize(trace, pid, window, packet_bytes)
    packets = summary["packets"]
    capture = summary["calls"].get("capture", {})
    engine = summary["calls"].get("engine", {})
    per_packet = sum(capture.values()) / packets
    breakdown = ", ".join(f"{n} {c / packets:.2f}" for n, c in sorted(capture.items(), key=lambda i: -i[1]))
    engine_breakdown = ", ".join(f"{n} {c / packets:.2f}" for n, c in sorted(engine.items(), key=lambda i: -i[1]))
    rows.append(Row("syscalls", "capture-thread system calls per packet, 10 ms packets", per_packet, "calls",
                    2, "one wait + one write", per_packet / 2, "", None,
                    f"{breakdown}; engine thread: {engine_breakdown}; {packets:.0f} packets",
                    extra=summary))
    writes = summary["stdout_writes"] / packets
    rows.append(Row("syscalls", "writes per packet, 10 ms packets (3840 B)", writes, "writes", 1, "exactly one",
                    writes, "== 1", abs(writes - 1) < 0.02, f"largest write {summary['max_write']} B"))
    memory = sum(summary["memory_calls"].values())
    rows.append(Row("syscalls", "brk/mmap/munmap/mremap/madvise/mprotect in the window, all threads", memory,
                    "calls", 0, "none", None, "== 0", memory == 0,
                    json.dumps(summary["memory_calls"]) if memory else f"over {summary['seconds']:.1f} s"))

    # As fast as the reader drains, at three packet sizes: the 64 KiB chunking of large packets.
    sizes = ((480, 1000 if quick else 3000), (8192, 200 if quick else 600), (16384, 100 if quick else 300))
    for frames, count in sizes:
        packet_bytes = frames * BYTES_PER_FRAME
        pid, trace = _strace_run(helper, f"period=0,frames={frames},source=ramp,packets={count}", packets=count,
                                 packet_bytes=packet_bytes)
        window = strace_parse.steady_window(trace, pid, 0.0, 0.0, skip_writes=20)  # past first-packet set-up
        if window is None:
            raise BenchError("no window in the period=0 trace")
        summary = strace_parse.summarize(trace, pid, window, packet_bytes)
        expected = math.ceil(packet_bytes / CHUNK_LIMIT)
        writes = summary["stdout_writes"] / summary["packets"]
        other = {n: c for n, c in summary["calls"].get("capture", {}).items() if n != "write"}
        rows.append(Row("syscalls", f"writes per packet, period=0, {frames} frames ({packet_bytes} B)", writes,
                        "writes", expected, f"ceil(bytes / {CHUNK_LIMIT})", writes / expected, f"== {expected}",
                        abs(writes - expected) < 0.02,
                        f"largest write {summary['max_write']} B; other capture-thread calls "
                        f"{sum(other.values()) / summary['packets']:.3f}/packet {json.dumps(other) if other else ''}",
                        extra=summary))

    # Heap calls per packet, by thread.
    shim = ctx.tools.get("alloc_count")
    if shim:
        steady_allocs = 0
        for label, sim, kwargs in (
                ("10 ms packets", "period=10,frames=480,source=ramp", {"seconds": 2.0 if quick else 5.0}),
                ("period=0, 480 frames", "period=0,frames=480,source=ramp,packets=50000",
                 {"packets": 40000, "packet_bytes": 3840})):
            counts = _alloc_run(helper, shim, sim, **kwargs)
            main, other = counts["main"], counts["other"]
            packets = main["write_bytes"] / 3840
            allocs = main["allocs"] / packets if packets else None
            steady_allocs += main["allocs"] + other["allocs"]
            rows.append(Row("syscalls", f"heap allocations per packet, capture thread, {label}", allocs, "allocs",
                            0, "none", None, "== 0 (driver code)", None,
                            f"frees {main['frees'] / packets:.4f}/packet; engine thread allocs "
                            f"{other['allocs'] / packets:.4f}/packet; {packets:.0f} packets", extra=counts))
        # gdb waits for the next malloc; with none in steady state it would only run into its time-out.
        sites = _gdb_allocation_sites(helper) if steady_allocs else []
        if sites is not None:
            distinct = sorted(set(sites))
            engine_only = bool(distinct) and all("simaudio::" in s for s in distinct)
            rows.append(Row("syscalls", "code behind steady-state allocations (gdb, period=0)", len(sites), "sites",
                            note="; ".join(distinct) or "none seen",
                            met=True if engine_only or not distinct else None,
                            goal="engine only" if distinct else ""))
    return rows
