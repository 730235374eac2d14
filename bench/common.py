"""Process plumbing shared by the benchmark sections: spawning, bounded waits, CPU clocks, statistics."""
from __future__ import annotations

import os
import select
import shutil
import signal
import statistics
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HEADER_BYTES = 16
BYTES_PER_FRAME = 8
BYTES_PER_SECOND = 48000 * BYTES_PER_FRAME
STARTED_LINE = "[helper] Rogzites elindult, fejlec elkuldve."
STARTED_MARK = STARTED_LINE.encode("utf-16-le")
CLK_TCK = os.sysconf("SC_CLK_TCK")


class BenchError(RuntimeError):
    """A measurement that could not be taken; the section reports it instead of a figure."""


# Every process a section starts, so an interrupted run can end exactly those and no others.
_children: set[subprocess.Popen] = set()
_children_lock = threading.Lock()


def spawn(argv, *, env=None, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
          stderr=subprocess.DEVNULL, cpu: int | None = None) -> subprocess.Popen:
    if cpu is not None:
        # taskset execs the program in place, so the pid stays the program's.
        argv = ["taskset", "-c", str(cpu), *argv]
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.Popen(argv, env=full_env, stdin=stdin, stdout=stdout, stderr=stderr)
    with _children_lock:
        _children.add(proc)
    return proc


def end_all_children() -> None:
    with _children_lock:
        procs = list(_children)
    for proc in procs:
        if proc.poll() is None:
            try:
                proc.kill()
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass


def forget(proc: subprocess.Popen) -> None:
    with _children_lock:
        _children.discard(proc)


def wait_exit(proc: subprocess.Popen, timeout: float) -> int | None:
    """Waits for the process to end; on time-out kills it and returns None."""
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=5)
        forget(proc)
        return None
    forget(proc)
    return code


def stop(proc: subprocess.Popen, sig=signal.SIGINT, timeout: float = 10.0) -> int | None:
    if proc.poll() is None:
        try:
            proc.send_signal(sig)
        except ProcessLookupError:
            pass
    return wait_exit(proc, timeout)


def timed_exit_after_signal(proc: subprocess.Popen, sig, timeout: float) -> tuple[float | None, int | None]:
    """Sends `sig` and returns (seconds from the send to the exit as the kernel reports it, exit code).

    A pidfd becomes readable the moment the process has exited, without reaping it first, so the
    figure holds no Python wait-loop granularity."""
    pidfd = os.pidfd_open(proc.pid)
    try:
        poller = select.poll()
        poller.register(pidfd, select.POLLIN)
        start = time.perf_counter()
        os.kill(proc.pid, sig)
        ready = poller.poll(timeout * 1000)
        elapsed = time.perf_counter() - start
    finally:
        os.close(pidfd)
    if not ready:
        proc.kill()
        proc.wait(timeout=5)
        forget(proc)
        return None, None
    code = proc.wait(timeout=5)
    forget(proc)
    return elapsed, code


class LineReader:
    """Reads newline-terminated lines from a pipe with a deadline."""

    def __init__(self, fd: int):
        self.fd = fd
        self.buffer = b""

    def readline(self, timeout: float) -> str | None:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.fd, 4096)
            if not chunk:
                if not self.buffer:
                    return None
                line, self.buffer = self.buffer, b""
                return line.decode(errors="replace")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode(errors="replace")


class Drainer(threading.Thread):
    """Keeps a pipe empty and counts what came through; callers wait for byte counts or for EOF."""

    def __init__(self, fd: int, keep: int = 0):
        super().__init__(daemon=True)
        self.fd = fd
        self.keep = keep  # the first `keep` bytes are kept for inspection
        self.kept = bytearray()
        self.count = 0
        self.first_byte_at: float | None = None
        self.cond = threading.Condition()
        self.eof = False

    def run(self) -> None:
        while True:
            try:
                chunk = os.read(self.fd, 1 << 16)
            except OSError:
                chunk = b""
            now = time.perf_counter()
            with self.cond:
                if not chunk:
                    self.eof = True
                    self.cond.notify_all()
                    return
                if self.first_byte_at is None:
                    self.first_byte_at = now
                if len(self.kept) < self.keep:
                    self.kept += chunk[: self.keep - len(self.kept)]
                self.count += len(chunk)
                self.cond.notify_all()

    def wait_for(self, count: int, timeout: float) -> bool:
        with self.cond:
            return self.cond.wait_for(lambda: self.count >= count or self.eof, timeout) and self.count >= count

    def wait_eof(self, timeout: float) -> bool:
        with self.cond:
            return self.cond.wait_for(lambda: self.eof, timeout)


class StderrWatch(threading.Thread):
    """Collects a child's UTF-16LE standard error and flags the capture-started line."""

    def __init__(self, fd: int):
        super().__init__(daemon=True)
        self.fd = fd
        self.data = bytearray()
        self.started = threading.Event()
        self.started_at: float | None = None

    def run(self) -> None:
        while True:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                return
            if not chunk:
                return
            self.data += chunk
            if not self.started.is_set() and STARTED_MARK in self.data:
                self.started_at = time.perf_counter()
                self.started.set()

    def text(self) -> str:
        return bytes(self.data[: len(self.data) // 2 * 2]).decode("utf-16-le", errors="replace")


@dataclass
class RunningHelper:
    proc: subprocess.Popen
    out: Drainer
    err: StderrWatch
    spawned_at: float

    @property
    def pid(self) -> int:
        return self.proc.pid


def start_helper(helper: Path, sim: str, *, extra_env: dict | None = None, prefix: list | None = None,
                 started_timeout: float = 20.0, keep: int = HEADER_BYTES) -> RunningHelper:
    """Starts the helper with its output drained, and returns once it says capture has started."""
    env = {"AUDIO_HELPER_SIM": sim}
    if extra_env:
        env.update(extra_env)
    argv = [*(prefix or []), str(helper), str(os.getpid())]
    spawned_at = time.perf_counter()
    proc = spawn(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = Drainer(proc.stdout.fileno(), keep=keep)
    err = StderrWatch(proc.stderr.fileno())
    out.start()
    err.start()
    running = RunningHelper(proc, out, err, spawned_at)
    if not err.started.wait(started_timeout):
        stop(proc, signal.SIGKILL, 5)
        raise BenchError(f"helper did not report capture start within {started_timeout:.0f} s "
                         f"(AUDIO_HELPER_SIM={sim}); stderr: {err.text()!r}")
    return running


def finish_helper(running: RunningHelper, timeout: float = 10.0) -> int | None:
    code = stop(running.proc, signal.SIGINT, timeout)
    running.out.wait_eof(5)
    for stream in (running.proc.stdout, running.proc.stderr):
        if stream is not None:
            stream.close()
    return code


# --- CPU clocks ------------------------------------------------------------------------------------------

def process_cpu_ns(pid: int) -> int | None:
    """The process's CPU time (all threads, live and ended) in ns, from its CPU-time clock."""
    clock_id = ((~pid) << 3) | 2  # CPUCLOCK_SCHED for the whole process, as clock_getcpuclockid makes it
    try:
        return time.clock_gettime_ns(clock_id)
    except OSError:
        ticks = user_sys_ticks(pid)
        return None if ticks is None else int((ticks[0] + ticks[1]) * 1e9 / CLK_TCK)


def user_sys_ticks(pid: int, tid: int | None = None) -> tuple[int, int] | None:
    path = f"/proc/{pid}/task/{tid}/stat" if tid else f"/proc/{pid}/stat"
    try:
        text = Path(path).read_text()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]), int(fields[12])  # utime, stime (fields 14 and 15 of stat)


@dataclass
class ThreadSample:
    tid: int
    name: str
    cpu_ns: int
    voluntary: int  # voluntary context switches: the thread's wake-ups from a block
    involuntary: int


def thread_samples(pid: int) -> dict[int, ThreadSample]:
    """Per-thread CPU and switch counts, from /proc/PID/task/TID/sched (ns) or stat (ticks)."""
    samples = {}
    try:
        tids = [int(t) for t in os.listdir(f"/proc/{pid}/task")]
    except OSError:
        return samples
    for tid in tids:
        base = Path(f"/proc/{pid}/task/{tid}")
        try:
            name = (base / "comm").read_text().strip()
        except OSError:
            continue
        cpu_ns = None
        voluntary = involuntary = 0
        try:
            for line in (base / "sched").read_text().splitlines():
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "se.sum_exec_runtime":
                    cpu_ns = int(float(value) * 1e6)  # printed in ms with ns digits
                elif key == "nr_voluntary_switches":
                    voluntary = int(value)
                elif key == "nr_involuntary_switches":
                    involuntary = int(value)
        except OSError:
            pass
        if cpu_ns is None:
            ticks = user_sys_ticks(pid, tid)
            if ticks is None:
                continue
            cpu_ns = int((ticks[0] + ticks[1]) * 1e9 / CLK_TCK)
            try:
                status = (base / "status").read_text()
                for line in status.splitlines():
                    if line.startswith("voluntary_ctxt_switches:"):
                        voluntary = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        involuntary = int(line.split()[1])
            except OSError:
                pass
        samples[tid] = ThreadSample(tid, name, cpu_ns, voluntary, involuntary)
    return samples


# --- statistics and tools --------------------------------------------------------------------------------

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def percentile(values, fraction):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    index = min(len(values) - 1, max(0, round(fraction * (len(values) - 1))))
    return values[index]


def ratio(value, reference):
    if value is None or reference in (None, 0):
        return None
    return value / reference


def missing_tools(tools: dict[str, str]) -> list[str]:
    """Returns an install hint for each command that is not on PATH ({command: debian package})."""
    return [f"{cmd} (apt-get install {pkg})" for cmd, pkg in tools.items() if shutil.which(cmd) is None]


@dataclass
class Row:
    """One line of the results table: a figure, its reference in the same run, and the goal."""
    section: str
    figure: str
    value: float | None
    unit: str
    reference: float | None = None
    reference_label: str = ""
    ratio: float | None = None
    goal: str = ""
    met: bool | None = None
    note: str = ""
    extra: dict = field(default_factory=dict)
