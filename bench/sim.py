"""The driver over the simulated engine (`audio-helper-sim`): throughput through a pipe, CPU at real time,
system and heap calls per packet, stop latency and start-up, each beside a reference taken in the same run."""
from __future__ import annotations

import json
import math
import os
import random
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass

from bench.common import (BYTES_PER_FRAME, BYTES_PER_SECOND, HEADER_BYTES, STARTED_MARK, BenchError, Reader, Row,
                          finish, median, percentile, process_cpu_ns, ratio, rounds_note, spawn, start_sim, stop,
                          thread_samples, timed_exit_after_signal, wait_exit)
from testkit.servers import PulseAudioServer

PACKET_BYTES = 480 * BYTES_PER_FRAME  # 10 ms
CHUNK_LIMIT = 65536  # the driver's largest write


def _user_sys_ticks(pid: int) -> tuple[int, int] | None:
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]), int(fields[12])


def _readline(fd: int, buf: bytearray, timeout: float) -> str | None:
    deadline = time.monotonic() + timeout
    while b"\n" not in buf:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 4096)
        if not chunk:
            return None
        buf += chunk
    line, _, rest = bytes(buf).partition(b"\n")
    buf[:] = rest
    return line.decode(errors="replace")


# --- throughput ------------------------------------------------------------------------------------------
# The helper at period=0 and a plain writer of the same write size feed the same C counting reader, run by
# run. Two placements, as a 2-core VM makes pipe rates depend on where the two ends run: 'free' (as a user
# runs it; noisy) and 'one core' (both pinned to one CPU; steady, the reader's cost added to both).

SOURCES = ("ramp", "silence", "tone")
FRAME_SIZES = (480, 8192)
THROUGHPUT_GOAL = 0.8


def _window(argv, env, reader, seconds, cpu):
    """One run: (bytes/s, writer CPU ns, (user, sys) ticks, bytes)."""
    read_fd, write_fd = os.pipe()
    try:
        writer = spawn(argv, env=env, stdout=write_fd, cpu=cpu)
        counter = spawn([reader, 4 << 20, seconds], stdin=read_fd, stdout=subprocess.PIPE, cpu=cpu)
    finally:
        os.close(read_fd)
        os.close(write_fd)
    buf = bytearray()
    try:
        if _readline(counter.stdout.fileno(), buf, 30) != "start":
            raise BenchError(f"no data from {argv[0]} within 30 s")
        cpu0, ticks0 = process_cpu_ns(writer.pid), _user_sys_ticks(writer.pid)
        line = _readline(counter.stdout.fileno(), buf, seconds + 30)
        cpu1, ticks1 = process_cpu_ns(writer.pid), _user_sys_ticks(writer.pid)
        if line is None or not line.startswith("window "):
            raise BenchError(f"counting reader gave {line!r}")
        nbytes, ns = (int(v) for v in line.split()[1:3])
    finally:
        stop(writer, signal.SIGINT, 15)
        wait_exit(counter, 15)
        counter.stdout.close()
    cpu_ns = cpu1 - cpu0 if cpu0 is not None and cpu1 is not None else None
    ticks = (ticks1[0] - ticks0[0], ticks1[1] - ticks0[1]) if ticks0 and ticks1 else (0, 0)
    return nbytes / (ns / 1e9), cpu_ns, ticks, nbytes


_PERF_LINE = re.compile(r"^\s*([\d.]+)%\s+(\S+)\s+\[(.)\]\s+(.*?)\s*$")


def classify_perf_report(text: str) -> dict:
    """Engine (simaudio:: and libm), other user and kernel shares of a `perf report --sort dso,sym` listing."""
    shares, top = {"engine": 0.0, "user": 0.0, "kernel": 0.0}, []
    for match in filter(None, map(_PERF_LINE.match, text.splitlines())):
        share, dso, kind, sym = float(match[1]), match[2], match[3], match[4]
        if "simaudio::" in sym or dso.startswith("libm"):
            shares["engine"] += share
            top.append((share, sym))
        else:
            shares["kernel" if kind == "k" else "user"] += share
    total = sum(shares.values())
    return {**{k: v / total if total else None for k, v in shares.items()},
            "top_engine": [f"{s:.1f}% {n}" for s, n in sorted(top, reverse=True)[:3]]}


def _perf_engine_share(helper, frames, source, seconds, reader):
    if shutil.which("perf") is None:
        return None, "perf missing (apt-get install linux-perf)"
    read_fd, write_fd = os.pipe()
    try:
        proc = spawn([helper, os.getpid()], env={"AUDIO_HELPER_SIM": f"period=0,source={source},frames={frames}"},
                     stdout=write_fd, stderr=subprocess.PIPE)
        counter = spawn([reader], stdin=read_fd)
    finally:
        os.close(read_fd)
        os.close(write_fd)
    err = Reader(proc.stderr.fileno(), STARTED_MARK)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        try:
            if not err.marked.wait(20):
                raise BenchError("helper did not start under perf within 20 s")
            # The recording's length is the sample size, not a wait for anything.
            rec = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "1999", "-p", str(proc.pid),
                                  "-o", data, "--", "sleep", str(seconds)], capture_output=True, timeout=seconds + 60)
        finally:
            stop(proc, signal.SIGINT, 15)
            wait_exit(counter, 15)
            proc.stderr.close()
        if rec.returncode != 0 or not os.path.exists(data):
            return None, "perf record failed: " + rec.stderr.decode(errors="replace").strip()[:200]
        rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "dso,sym"],
                             capture_output=True, text=True, timeout=120)
    return classify_perf_report(rep.stdout), ""


def _reader_check(tools, quick):
    """Whether the counting reader keeps up: the same bytes from the plain writer into three readers."""
    total = (128 if quick else 512) << 20
    readers = {"countreader (C)": [tools["countreader"]],
               "dd of=/dev/null bs=1M": ["dd", "of=/dev/null", "bs=1M", "status=none"],
               "python os.read loop": ["python3", "-c", "import os\nwhile os.read(0, 1 << 20): pass"]}
    rates = {}
    for _ in range(1 if quick else 3):
        for name, argv in readers.items():
            read_fd, write_fd = os.pipe()
            start = time.perf_counter()
            try:
                writer = spawn([tools["pipewriter"], 65536, total], stdout=write_fd)
                reader = spawn(argv, stdin=read_fd)
            finally:
                os.close(read_fd)
                os.close(write_fd)
            wait_exit(writer, 120)
            wait_exit(reader, 120)
            rates.setdefault(name, []).append(total / (time.perf_counter() - start))
    return {name: median(values) for name, values in rates.items()}


def throughput(ctx) -> list[Row]:
    helper, tools, quick = ctx.helper, ctx.tools, ctx.quick
    seconds = 0.5 if quick else 1.5
    placements = {"free": None, "one core": max(os.sched_getaffinity(0))}
    samples: dict[tuple, list] = {}
    for _ in range(1 if quick else 5):
        for place, cpu in placements.items():
            for frames in FRAME_SIZES:
                writers = [("reference", [tools["pipewriter"], frames * BYTES_PER_FRAME], None)]
                writers += [(source, [helper, os.getpid()],
                             {"AUDIO_HELPER_SIM": f"period=0,source={source},frames={frames}"}) for source in SOURCES]
                for name, argv, env in writers:
                    samples.setdefault((place, frames, name), []).append(
                        _window(argv, env, tools["countreader"], seconds, cpu))

    def cpu_per_mb(runs):
        return median(s[1] / (s[3] / 1e6) for s in runs if s[1] is not None)

    rows, own = [], {}
    for place in placements:
        for frames in FRAME_SIZES:
            ref = samples[(place, frames, "reference")]
            ref_rate = median(s[0] for s in ref)
            for source in SOURCES:
                runs = samples[(place, frames, source)]
                rate = median(s[0] for s in runs)
                user, sys_ = (sum(s[2][i] for s in runs) for i in (0, 1))
                own[(place, frames, source)] = (cpu_per_mb(runs), cpu_per_mb(ref))
                r = ratio(rate, ref_rate)
                goal = source == "ramp"
                rows.append(Row("throughput", f"period=0 {source}, {frames} frames ({frames * BYTES_PER_FRAME} B "
                                f"writes), {place}", rate / 1e6, "MB/s", ref_rate / 1e6,
                                f"plain writer, same write size, {place}", r, f">= {THROUGHPUT_GOAL}" if goal else "",
                                (r >= THROUGHPUT_GOAL) if goal and r else None,
                                rounds_note([s[0] / 1e6 for s in runs], "MB/s")
                                + (f"; user {user / (user + sys_):.0%} of CPU" if user + sys_ else ""),
                                extra={"rates_MBps": [round(s[0] / 1e6, 1) for s in runs]}))

    # Where the helper's time goes while streaming: the engine's rendering against the rest.
    for frames in FRAME_SIZES:
        for source in SOURCES:
            try:
                share, why = _perf_engine_share(helper, frames, source, 0.5 if quick else 1.0, tools["countreader"])
            except BenchError as error:
                share, why = None, str(error)
            if not share or share["engine"] is None:
                rows.append(Row("throughput", f"engine share of helper CPU, {source}, {frames} frames", None, "%",
                                note=why or "no samples"))
                continue
            rows.append(Row("throughput", f"engine share of helper CPU, period=0 {source}, {frames} frames",
                            share["engine"] * 100, "%", note=f"kernel {share['kernel']:.0%}, other user "
                            f"{share['user']:.0%}; top: {'; '.join(share['top_engine'][:2])}", extra=share))
            # The driver's own cost: the helper's CPU per MB less the engine's share, against the plain writer's.
            helper_ns, ref_ns = own[("free", frames, source)]
            if helper_ns and ref_ns:
                value, reference = helper_ns * (1 - share["engine"]) / 1e3, ref_ns / 1e3
                rows.append(Row("throughput", f"writer CPU per MB without the engine, {source}, {frames} frames, free",
                                value, "us/MB", reference, "plain writer's CPU per MB", value / reference,
                                "<= 1.25 (0.8 of the rate)", value / reference <= 1.25 if source == "ramp" else None,
                                f"with the engine {helper_ns / 1e3:.0f} us/MB"))

    checks = _reader_check(tools, quick)
    fastest = max(checks.values())
    rows += [Row("throughput", f"reader check: {name}, 64 KiB writes", rate / 1e6, "MB/s", fastest / 1e6,
                 "fastest reader", ratio(rate, fastest)) for name, rate in checks.items()]
    return rows


# --- CPU at real time ------------------------------------------------------------------------------------
# 10 ms packets against parec on a private PulseAudio null sink's monitor and a C program that only wakes
# on a timer and writes; interleaved rounds, so drifts of the VM's wake-up cost fall on all alike.

GOAL_SECONDS_PER_HOUR = 3600 * 0.1 / 100  # 0.1 % of a core


def _cpu_stretch(pid, reader, seconds, others=()):
    """CPU per audio hour across a fixed stretch of streaming, whole process and per thread."""
    if not reader.wait_for(reader.count + 10 * PACKET_BYTES, 30):  # flowing: ten packets past start-up
        raise BenchError("no steady stream within 30 s")
    before = (reader.count, process_cpu_ns(pid), thread_samples(pid), [process_cpu_ns(p) for p in others])
    time.sleep(seconds)  # the fixed stretch of real-time audio is the measurement
    after = (reader.count, process_cpu_ns(pid), thread_samples(pid), [process_cpu_ns(p) for p in others])
    audio = (after[0] - before[0]) / BYTES_PER_SECOND
    if audio <= 0 or None in (before[1], after[1]):
        raise BenchError("no audio or no CPU clock during the window")
    packets = (after[0] - before[0]) / PACKET_BYTES
    capture = before[2].get(pid), after[2].get(pid)
    return {"cpu_s_per_audio_hour": (after[1] - before[1]) / 1e9 / audio * 3600,
            "percent_of_core": (after[1] - before[1]) / 1e9 / seconds * 100,
            "capture_s_per_audio_hour": (capture[1][1] - capture[0][1]) / 1e9 / audio * 3600 if all(capture) else None,
            "capture_wakeups_per_packet": (capture[1][2] - capture[0][2]) / packets if all(capture) else None,
            "others_s_per_audio_hour": [(b - a) / 1e9 / audio * 3600 for a, b in zip(before[3], after[3])
                                        if a is not None and b is not None]}


def _piped(argv, seconds, env=None, others=()):
    proc = spawn(argv, env=env, stdout=subprocess.PIPE)
    try:
        return _cpu_stretch(proc.pid, Reader(proc.stdout.fileno()), seconds, others)
    finally:
        stop(proc, signal.SIGINT, 10)
        proc.stdout.close()


def _realtime_helper(helper, source, seconds):
    running = start_sim(helper, f"period=10,frames=480,source={source}")
    try:
        return _cpu_stretch(running.pid, running.out, seconds)
    finally:
        finish(running)


def _parec(seconds):
    try:
        with PulseAudioServer(sinks=(("bench_null", 48000),)) as pulse:
            return _piped(["parec", "--raw", "--latency-msec=10", "--device=bench_null.monitor", "--format=float32le",
                           "--rate=48000", "--channels=2"], seconds, pulse.env, (pulse.proc.pid,))
    except RuntimeError as error:  # the server did not start or answer
        raise BenchError(str(error)) from error


def _median_round(results):
    """The round with the median whole-process figure, with every round's figure beside it."""
    chosen = dict(sorted(results, key=lambda r: r["cpu_s_per_audio_hour"])[len(results) // 2])
    chosen["rounds"] = [r["cpu_s_per_audio_hour"] for r in results]
    return chosen


def realtime(ctx) -> list[Row]:
    rounds = 1 if ctx.quick else 6
    seconds = (10.0 if ctx.quick else 60.0) / rounds
    span = f"{rounds} x {seconds:.0f} s, median round" if rounds > 1 else f"{seconds:.0f} s"
    missing = [cmd for cmd in ("pulseaudio", "parec", "pactl") if shutil.which(cmd) is None]
    parec_note = "parec reference skipped: missing " + ", ".join(missing) if missing else ""
    taken = {"ramp": [], "tone": [], "floor": [], "parec": []}
    for _ in range(rounds):
        taken["ramp"].append(_realtime_helper(ctx.helper, "ramp", seconds))
        taken["tone"].append(_realtime_helper(ctx.helper, "tone", seconds))
        taken["floor"].append(_piped([ctx.tools["tickwriter"], PACKET_BYTES, 10], seconds))
        if not parec_note:
            try:
                taken["parec"].append(_parec(seconds))
            except BenchError as error:
                parec_note = f"parec reference failed: {error}"
    ramp, tone, floor = (_median_round(taken[name]) for name in ("ramp", "tone", "floor"))
    parec = _median_round(taken["parec"]) if taken["parec"] and not parec_note else None
    ref = parec["cpu_s_per_audio_hour"] if parec else None
    rows = []
    for source, result in (("ramp", ramp), ("tone", tone)):
        value = result["cpu_s_per_audio_hour"]
        notes = (f"{result['percent_of_core']:.3f} % of a core; capture thread {result['capture_s_per_audio_hour']:.2f}"
                 f" s/h, {result['capture_wakeups_per_packet']:.2f} voluntary switches/packet",
                 rounds_note(result["rounds"]), parec_note)
        rows.append(Row("realtime", f"CPU per audio hour, whole process, {source}, 10 ms packets, {span}", value, "s",
                        ref, "parec --raw --latency-msec=10, null-sink monitor", ratio(value, ref),
                        f"< {GOAL_SECONDS_PER_HOUR:.1f} s (0.1 % of a core)", value < GOAL_SECONDS_PER_HOUR,
                        "; ".join(n for n in notes if n), extra=result))
    capture, floor_value = ramp["capture_s_per_audio_hour"], floor["cpu_s_per_audio_hour"]
    rows.append(Row("realtime", "CPU per audio hour, capture thread only, ramp", capture, "s", floor_value,
                    "one 10 ms timer wake + one write (C)", ratio(capture, floor_value),
                    note="the rest of the process is the simulated engine's clock thread; floor "
                    + rounds_note(floor["rounds"]), extra={"floor": floor}))
    if parec:
        daemon = parec["others_s_per_audio_hour"]
        notes = (f"{parec['percent_of_core']:.3f} % of a core",
                 f"its pulseaudio daemon {daemon[0]:.1f} s/h" if daemon else "", rounds_note(parec["rounds"]))
        rows.append(Row("realtime", f"CPU per audio hour, parec (reference), {span}", ref, "s",
                        note="; ".join(n for n in notes if n), extra=parec))
    return rows


# --- system and heap calls -------------------------------------------------------------------------------
# strace gives every call with its thread, so the capture (main) thread is counted apart from the simulated
# engine's clock thread; a preloaded counter (tools/alloc_count.c) counts malloc/free per thread.

_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
_CALL = re.compile(r"^([a-z_][a-z0-9_]*)\((.*)$")
_RESUMED = re.compile(r"^<\.\.\. ([a-z_][a-z0-9_]*) resumed>(.*)$")
_RETURN = re.compile(r"\)\s+=\s+(-?\d+|0x[0-9a-f]+)")
MEMORY_CALLS = ("brk", "mmap", "munmap", "mremap", "madvise", "mprotect")


@dataclass
class Call:
    tid: int
    time: float
    name: str
    first_arg: str
    ret: int | None = None


def parse_strace(text: str) -> tuple[list[Call], list[float], set[str]]:
    """Of `strace -f -ttt` output: the calls, <unfinished ...>/<... resumed> joined; the times a SIGINT came
    (as a signal or to a sigwait); the descriptors of standard output (1 and its reopenings)."""
    calls, signals, stdout, pending = [], [], {"1"}, {}
    for match in filter(None, map(_LINE.match, text.splitlines())):
        tid, when, rest = int(match[1]), float(match[2]), match[3]
        if "SIGINT" in rest and (rest.startswith("---") or "resumed" in rest):
            signals.append(when)
        if rest.startswith("---"):
            continue
        if resumed := _RESUMED.match(rest):
            call = pending.pop(tid, None)
            if call is not None and call.name == resumed[1]:
                call.ret = _return(resumed[2])
        elif started := _CALL.match(rest):
            call = Call(tid, when, started[1], started[2].split(",", 1)[0].strip())
            calls.append(call)
            if rest.endswith("<unfinished ...>"):
                pending[tid] = call
            else:
                call.ret = _return(started[2])
            if call.name == "openat" and '"/proc/self/fd/1"' in rest and call.ret is not None:
                stdout.add(str(call.ret))
    return calls, signals, stdout


def _return(tail: str) -> int | None:
    match = _RETURN.search(tail)
    return int(match[1], 0) if match else None


def _stream_writes(trace, calls=None):
    return [c for c in (trace[0] if calls is None else calls) if c.name == "write" and c.first_arg in trace[2]]


def steady_window(trace, skip_s, tail_s, skip_writes=0):
    """(start, end, the thread writing the packets): from `skip_s` after the header write (and `skip_writes` more
    writes of the stream) to `tail_s` before the stop signal or the last call; a call at the start instant
    is outside."""
    writes = _stream_writes(trace)
    if not writes or writes[0].ret != HEADER_BYTES or len(writes) <= skip_writes:
        return None
    start = writes[skip_writes].time + skip_s
    end = (trace[1][0] if trace[1] else trace[0][-1].time) - tail_s
    return (start, end, writes[-1].tid) if end > start else None


def summarize(trace, window, packet_bytes) -> dict:
    """Call counts per thread in the window (the stream's writer is "capture"), and the stream's writes."""
    start, end, writer = window
    inside = [c for c in trace[0] if start < c.time <= end]
    writes = _stream_writes(trace, inside)
    calls: dict[str, dict[str, int]] = {}
    for c in inside:
        counts = calls.setdefault("capture" if c.tid == writer else "others", {})
        counts[c.name] = counts.get(c.name, 0) + 1
    memory = {name: n for name in MEMORY_CALLS if (n := sum(c.name == name for c in inside))}
    return {"seconds": end - start, "calls": calls, "memory_calls": memory,
            "packets": sum(c.ret for c in writes if c.ret and c.ret > 0) / packet_bytes,
            "stdout_writes": len(writes), "max_write": max((c.ret or 0 for c in writes), default=0)}


def _tracee(parent: int, program: str, timeout: float) -> int | None:
    """The child of `parent` running `program` (strace forks short-lived probes of its own too)."""
    deadline = time.monotonic() + timeout
    while True:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat") as stat, open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    text = stat.read()
                    if (int(text[text.rindex(")") + 2:].split()[1]) == parent
                            and cmdline.read().split(b"\0")[0] == program.encode()):
                        return int(pid)
            except (OSError, ValueError):
                continue
        if time.monotonic() > deadline:
            return None
        time.sleep(0.01)  # the tracee appears within milliseconds of strace's start


def _strace_run(helper, sim, seconds=None, packets=None, packet_bytes=0):
    """The helper under strace for `seconds` of streaming or until `packets` were delivered."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "trace")
        proc = spawn(["strace", "-f", "-ttt", "-qq", "-s", "0", "-o", out, "--", helper, os.getpid()],
                     env={"AUDIO_HELPER_SIM": sim}, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader, err = Reader(proc.stdout.fileno()), Reader(proc.stderr.fileno(), STARTED_MARK)
        pid = None
        try:
            pid = _tracee(proc.pid, str(helper), 10)
            if pid is None or not err.marked.wait(60):
                raise BenchError(f"helper under strace did not start (AUDIO_HELPER_SIM={sim})")
            if packets is None:
                time.sleep(seconds)  # the length of the traced stretch is the sample size
            elif not reader.wait_for(HEADER_BYTES + packets * packet_bytes, 300):
                raise BenchError(f"fewer than {packets} packets under strace in 300 s")
            os.kill(pid, signal.SIGINT)
            if wait_exit(proc, 30) is None:
                raise BenchError("helper under strace did not stop within 30 s")
        finally:
            if proc.poll() is None and pid is not None and _tracee(proc.pid, str(helper), 0.1) == pid:
                os.kill(pid, signal.SIGKILL)  # strace killed first would leave its tracee running detached
            stop(proc, signal.SIGKILL, 5)
            proc.stdout.close()
            proc.stderr.close()
        with open(out, errors="replace") as f:
            return parse_strace(f.read())


def _alloc_run(helper, shim, sim, seconds=None, packets=None):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "alloc.json")
        running = start_sim(helper, sim, env={"LD_PRELOAD": shim, "BENCH_ALLOC_OUT": out, "BENCH_ALLOC_SKIP": "50"})
        try:
            if packets is None:
                time.sleep(seconds)  # the counted stretch of real-time streaming
            elif not running.out.wait_for(HEADER_BYTES + packets * PACKET_BYTES, 120):
                raise BenchError(f"fewer than {packets} packets in 120 s")
        finally:
            finish(running)
        if not os.path.exists(out):
            raise BenchError("allocation counter wrote nothing")
        with open(out) as f:
            return json.load(f)


_FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(.+?) \(")
_AT = re.compile(r" at (\S+):(\d+)$")
_DRIVER = ("writeAll", "drainPackets", "runCapture", "Silence::", "wmain", "WriteFile")


def parse_backtraces(text: str) -> list[str]:
    """Of each gdb backtrace, the innermost frame that is the engine's or the driver's code."""
    sites, frames = [], []
    for line in text.splitlines() + ["#0  end ("]:
        if line.startswith("#0 ") and frames:
            sites += [next((f"{fn} ({at})" if at else fn for fn, at in frames
                            if fn.startswith("simaudio::") or any(name in fn for name in _DRIVER)), None)]
            frames = []
        if match := _FRAME.match(line):
            at = _AT.search(line)
            frames.append((match[1], f"{os.path.basename(at[1])}:{at[2]}" if at else ""))
    return [site for site in sites if site]


def _gdb_allocation_sites(helper, count=3):
    """The first allocations after 100 packets, each as its first project frame."""
    if shutil.which("gdb") is None:
        return None
    script = ["set pagination off", "set confirm off", "break writeAll", "ignore 1 100",
              f"run {os.getpid()} >/dev/null 2>/dev/null", "delete", "break malloc", *(["continue", "bt 12"] * count),
              "kill", "quit"]
    with tempfile.NamedTemporaryFile("w", suffix=".gdb") as f:
        f.write("\n".join(script) + "\n")
        f.flush()
        try:
            result = subprocess.run(["gdb", "-q", "-batch", "-x", f.name, str(helper)], capture_output=True, text=True,
                                    env={**os.environ, "AUDIO_HELPER_SIM": "period=0,source=ramp,packets=2000"},
                                    timeout=120, stdin=subprocess.DEVNULL, errors="replace")
        except subprocess.TimeoutExpired:
            return ["gdb timed out"]
    return parse_backtraces(result.stdout)


def syscalls(ctx) -> list[Row]:
    helper, quick = ctx.helper, ctx.quick
    if shutil.which("strace") is None:
        return [Row("syscalls", "system calls per packet", None, "", note="strace missing (apt-get install strace)")]

    def per_packet(counts, packets):
        return ", ".join(f"{n} {c / packets:.2f}" for n, c in sorted(counts.items(), key=lambda i: -i[1]))

    trace = _strace_run(helper, "period=10,frames=480,source=ramp", seconds=3.0 if quick else 6.0)
    window = steady_window(trace, 1.0, 0.2)
    if window is None:
        raise BenchError("no steady-state window in the real-time trace")
    s = summarize(trace, window, PACKET_BYTES)
    packets, capture = s["packets"], s["calls"].get("capture", {})
    calls = sum(capture.values()) / packets
    writes = s["stdout_writes"] / packets
    memory = sum(s["memory_calls"].values())
    rows = [Row("syscalls", "capture-thread system calls per packet, 10 ms packets", calls, "calls", 2,
                "one wait + one write", calls / 2, note=f"{per_packet(capture, packets)}; other threads: "
                f"{per_packet(s['calls'].get('others', {}), packets)}; {packets:.0f} packets", extra=s),
            Row("syscalls", "writes per packet, 10 ms packets (3840 B)", writes, "writes", 1, "exactly one", writes,
                "== 1", abs(writes - 1) < 0.02, f"largest write {s['max_write']} B"),
            Row("syscalls", "brk/mmap/munmap/mremap/madvise/mprotect in the window, all threads", memory, "calls", 0,
                "none", None, "== 0", memory == 0,
                json.dumps(s["memory_calls"]) if memory else f"over {s['seconds']:.1f} s")]

    # As fast as the reader drains, at three packet sizes: the chunking of large packets.
    for frames, count in ((480, 1000 if quick else 3000), (8192, 200 if quick else 600), (16384, 100 if quick else 300)):
        size = frames * BYTES_PER_FRAME
        trace = _strace_run(helper, f"period=0,frames={frames},source=ramp,packets={count}", packets=count,
                                 packet_bytes=size)
        window = steady_window(trace, 0.0, 0.0, skip_writes=20)  # past the first packets' set-up
        if window is None:
            raise BenchError("no window in the period=0 trace")
        s = summarize(trace, window, size)
        expected = math.ceil(size / CHUNK_LIMIT)
        writes = s["stdout_writes"] / s["packets"]
        other = {n: c for n, c in s["calls"].get("capture", {}).items() if n != "write"}
        rows.append(Row("syscalls", f"writes per packet, period=0, {frames} frames ({size} B)", writes, "writes",
                        expected, f"ceil(bytes / {CHUNK_LIMIT})", writes / expected, f"== {expected}",
                        abs(writes - expected) < 0.02, f"largest write {s['max_write']} B; other capture-thread calls "
                        f"{sum(other.values()) / s['packets']:.3f}/packet {json.dumps(other) if other else ''}",
                        extra=s))

    steady_allocs = 0
    for label, sim, kwargs in (("10 ms packets", "period=10,frames=480,source=ramp", {"seconds": 2.0 if quick else 5.0}),
                               ("period=0, 480 frames", "period=0,frames=480,source=ramp,packets=50000",
                                {"packets": 40000})):
        counts = _alloc_run(helper, ctx.tools["alloc_count"], sim, **kwargs)
        main, other = counts["main"], counts["other"]
        packets = main["write_bytes"] / PACKET_BYTES
        steady_allocs += main["allocs"] + other["allocs"]
        rows.append(Row("syscalls", f"heap allocations per packet, capture thread, {label}",
                        main["allocs"] / packets if packets else None, "allocs", 0, "none", None, "== 0 (driver code)",
                        note=f"frees {main['frees'] / packets:.4f}/packet; engine thread allocs "
                        f"{other['allocs'] / packets:.4f}/packet; {packets:.0f} packets", extra=counts))
    # gdb waits for the next malloc; with none in steady state it would only run into its time-out.
    sites = _gdb_allocation_sites(helper) if steady_allocs else []
    if sites is not None:
        distinct = sorted(set(sites))
        engine_only = all("simaudio::" in site for site in distinct)
        rows.append(Row("syscalls", "code behind steady-state allocations (gdb, period=0)", len(sites), "sites",
                        goal="engine only" if distinct else "", met=True if engine_only else None,
                        note="; ".join(distinct) or "none seen"))
    return rows


# --- stop latency and start-up ---------------------------------------------------------------------------

def _stop_once(helper, sim, phase_s, rng, streaming):
    running = start_sim(helper, sim)
    try:
        if streaming and not running.out.wait_for(HEADER_BYTES + 5 * PACKET_BYTES, 10):
            raise BenchError("no audio within 10 s")
        time.sleep(rng.uniform(0, phase_s))  # a random point of the loop's cycle, so every phase is covered
        return timed_exit_after_signal(running.proc, signal.SIGINT, 5)
    finally:
        finish(running, timeout=5)


def _floor_once():
    """The harness's own floor: `cat`, proven running by an echo, ended by SIGINT's default action."""
    proc = spawn(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        proc.stdin.write(b"x\n")
        proc.stdin.flush()
        if _readline(proc.stdout.fileno(), bytearray(), 10) != "x":
            raise BenchError("cat did not echo")
        return timed_exit_after_signal(proc, signal.SIGINT, 5)[0]
    finally:
        stop(proc, signal.SIGKILL, 5)
        proc.stdin.close()
        proc.stdout.close()


def _startup_once(argv, env, interrupt):
    """Seconds from the spawn to the 16 header bytes on the pipe."""
    start = time.perf_counter()
    proc = spawn(argv, env=env, stdout=subprocess.PIPE)
    try:
        reader = Reader(proc.stdout.fileno())
        if not reader.wait_for(HEADER_BYTES, 20):
            raise BenchError(f"{argv[0]}: no header within 20 s")
        return time.perf_counter() - start
    finally:
        stop(proc, signal.SIGINT, 10) if interrupt else wait_exit(proc, 10)
        proc.stdout.close()


def _summary(values):
    return {"median": median(values), "p90": percentile(values, 0.9), "max": max(values), "min": min(values)}


def stop_start(ctx) -> list[Row]:
    runs = 10 if ctx.quick else 50
    rng = random.Random(20240601)
    floor = _summary([f * 1e3 for f in (_floor_once() for _ in range(runs)) if f is not None])
    rows = []
    for label, sim, bound, streaming in (("streaming 10 ms packets", "period=10,frames=480,source=ramp", 10, True),
                                         ("idle (no packets)", "period=10,packets=0", 500, False)):
        # The bound is the loop's next wake-up: the next packet, or the 500 ms wait time-out when idle.
        results = [_stop_once(ctx.helper, sim, bound / 1e3, rng, streaming) for _ in range(runs)]
        times = [r[0] * 1e3 for r in results if r[0] is not None]
        timeouts = len(results) - len(times)
        codes = sorted({r[1] for r in results if r[1] not in (0, None)})
        if not times:
            raise BenchError(f"helper never stopped ({label})")
        s = _summary(times)
        note = f"floor (cat, same harness) median {floor['median']:.2f} ms; {timeouts} time-outs; exit codes {codes or [0]}"
        extra = {"ms": s, "floor_ms": floor}
        rows += [Row("stop", f"SIGINT to exit, {label}, median of {runs}", s["median"], "ms", bound,
                     f"next wake-up ({bound} ms)", ratio(s["median"], bound), note=note, extra=extra),
                 Row("stop", f"SIGINT to exit, {label}, worst of {runs}", s["max"], "ms", bound,
                     f"next wake-up ({bound} ms)", ratio(s["max"], bound), f"<= {bound} ms + floor",
                     s["max"] <= bound + max(5.0, floor["max"]) and not timeouts, note, extra)]
    helper_ms, reference_ms = [], []
    for _ in range(runs):
        # delay=0: the simulated activation's own 2 ms stand-in delay is not the helper's start-up.
        helper_ms.append(_startup_once([ctx.helper, os.getpid()], {"AUDIO_HELPER_SIM": "period=10,source=ramp,delay=0"},
                                       True) * 1e3)
        reference_ms.append(_startup_once([ctx.tools["pipewriter"], HEADER_BYTES, HEADER_BYTES], None, False) * 1e3)
    h, r = _summary(helper_ms), _summary(reference_ms)
    rows.append(Row("startup", f"spawn to 16 header bytes, median of {runs}", h["median"], "ms", r["median"],
                    "C program writing 16 bytes, same harness", ratio(h["median"], r["median"]),
                    note=f"p90 {h['p90']:.2f} ms, worst {h['max']:.2f} ms; reference worst {r['max']:.2f} ms",
                    extra={"helper_ms": h, "reference_ms": r}))
    return rows
