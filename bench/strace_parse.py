"""Reads `strace -f -ttt -o FILE` output into per-call records, joining <unfinished ...>/<... resumed>."""
from __future__ import annotations

import re
from dataclasses import dataclass

_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
_CALL = re.compile(r"^([a-z_][a-z0-9_]*)\((.*)$")
_RESUMED = re.compile(r"^<\.\.\. ([a-z_][a-z0-9_]*) resumed>(.*)$")
_RETURN = re.compile(r"\)\s+=\s+(-?\d+|0x[0-9a-f]+|\?)")


@dataclass
class Call:
    tid: int
    time: float
    name: str
    first_arg: str
    ret: int | None = None


@dataclass
class Trace:
    calls: list[Call]
    signals: list[tuple[int, float, str]]  # (tid, time, signal name)


def _return_value(tail: str) -> int | None:
    match = _RETURN.search(tail)
    if not match or match[1] == "?":
        return None
    return int(match[1], 0)


def parse(text: str) -> Trace:
    calls: list[Call] = []
    signals = []
    pending: dict[int, Call] = {}
    for line in text.splitlines():
        match = _LINE.match(line)
        if not match:
            continue
        tid, when, rest = int(match[1]), float(match[2]), match[3]
        if rest.startswith("---"):
            parts = rest.split()
            if len(parts) > 1:
                signals.append((tid, when, parts[1]))
            continue
        if rest.startswith("+++"):
            continue
        resumed = _RESUMED.match(rest)
        if resumed:
            call = pending.pop(tid, None)
            if call is not None and call.name == resumed[1]:
                call.ret = _return_value(resumed[2])
            continue
        started = _CALL.match(rest)
        if not started:
            continue
        args = started[2]
        call = Call(tid, when, started[1], args.split(",", 1)[0].strip())
        calls.append(call)
        if rest.endswith("<unfinished ...>"):
            pending[tid] = call
        else:
            call.ret = _return_value(args)
    return Trace(calls, signals)


MEMORY_CALLS = ("brk", "mmap", "munmap", "mremap", "madvise", "mprotect")


def steady_window(trace: Trace, main_tid: int, skip_s: float, tail_s: float,
                  skip_writes: int = 0) -> tuple[float, float] | None:
    """From `skip_s` after the header write, and after `skip_writes` more standard-output writes, to
    `tail_s` before the stop signal (or the last call). Calls at the start instant are outside."""
    writes = [c for c in trace.calls if c.tid == main_tid and c.name == "write" and c.first_arg == "1"]
    if not writes or writes[0].ret != 16 or len(writes) <= skip_writes:
        return None
    header = writes[skip_writes]
    end = next((t for tid, t, _ in trace.signals if tid == main_tid), None)
    if end is None:
        end = trace.calls[-1].time if trace.calls else header.time
    start, end = header.time + skip_s, end - tail_s
    return (start, end) if end > start else None


def summarize(trace: Trace, main_tid: int, window: tuple[float, float], packet_bytes: int) -> dict:
    """Per-thread call counts in the window and the stdout writes of the main (capture) thread."""
    start, end = window
    inside = [c for c in trace.calls if start < c.time <= end]
    stdout_writes = [c for c in inside if c.tid == main_tid and c.name == "write" and c.first_arg == "1"]
    written = sum(c.ret for c in stdout_writes if c.ret and c.ret > 0)
    packets = written / packet_bytes if packet_bytes else 0
    per_thread: dict[str, dict[str, int]] = {}
    for c in inside:
        role = "capture" if c.tid == main_tid else "engine"
        counts = per_thread.setdefault(role, {})
        counts[c.name] = counts.get(c.name, 0) + 1
    return {
        "seconds": end - start,
        "packets": packets,
        "stdout_writes": len(stdout_writes),
        "max_write": max((c.ret or 0 for c in stdout_writes), default=0),
        "calls": per_thread,
        "memory_calls": {name: sum(1 for c in inside if c.name == name) for name in MEMORY_CALLS
                         if any(c.name == name for c in inside)},
    }
