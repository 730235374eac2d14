"""What every section uses: processes it can always end, bounded waits, CPU clocks, statistics, the table row."""
from __future__ import annotations

import array
import contextlib
import os
import select
import signal
import statistics
import subprocess
import threading
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "build", "bench", "tools")
HEADER_BYTES = 16
BYTES_PER_FRAME = 8
BYTES_PER_SECOND = 48000 * BYTES_PER_FRAME
STARTED_MARK = "[helper] Rogzites elindult, fejlec elkuldve.".encode("utf-16-le")


class BenchError(RuntimeError):
    """A measurement that could not be taken; the section reports it instead of a figure."""


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


# Every process a section starts, so an interrupted run ends exactly those and no others.
_children: set[subprocess.Popen] = set()


def spawn(argv, *, env=None, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
          cpu: int | None = None) -> subprocess.Popen:
    if cpu is not None:
        argv = ["taskset", "-c", str(cpu), *argv]  # taskset execs in place: the pid stays the program's
    proc = subprocess.Popen([str(a) for a in argv], env={**os.environ, **(env or {})}, stdin=stdin, stdout=stdout,
                            stderr=stderr)
    _children.add(proc)
    return proc


def end_all_children() -> None:
    for proc in list(_children):
        stop(proc, signal.SIGKILL, 5)


def stop(proc: subprocess.Popen, sig=signal.SIGINT, timeout: float = 10.0) -> int | None:
    """Sends `sig` and waits for the exit; on time-out kills the process and returns None."""
    with contextlib.suppress(ProcessLookupError):
        if proc.poll() is None:
            proc.send_signal(sig)
    return wait_exit(proc, timeout)


def wait_exit(proc: subprocess.Popen, timeout: float) -> int | None:
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=5)
        code = None
    _children.discard(proc)
    return code


def timed_exit_after_signal(proc: subprocess.Popen, sig, timeout: float) -> tuple[float | None, int | None]:
    """(seconds from sending `sig` to the exit, exit code): a pidfd is readable the moment the process has
    exited, without a wait loop's granularity."""
    pidfd = os.pidfd_open(proc.pid)
    try:
        start = time.perf_counter()
        os.kill(proc.pid, sig)
        ready, _, _ = select.select([pidfd], [], [], timeout)
        elapsed = time.perf_counter() - start
    finally:
        os.close(pidfd)
    code = wait_exit(proc, 5 if ready else 0)
    return (elapsed, code) if ready else (None, None)


class Reader(threading.Thread):
    """Keeps a pipe empty and counts what came through; with `mark`, flags when it first shows up."""

    def __init__(self, fd: int, mark: bytes = b""):
        super().__init__(daemon=True)
        self.fd, self.mark = fd, mark
        self.data = bytearray()  # kept only while looking for the mark
        self.count = 0
        self.eof = False
        self.cond = threading.Condition()
        self.marked = threading.Event()
        self.start()

    def run(self) -> None:
        while True:
            try:
                chunk = os.read(self.fd, 1 << 16)
            except OSError:
                chunk = b""
            with self.cond:
                self.eof = not chunk
                self.count += len(chunk)
                if self.mark and not self.marked.is_set():
                    self.data += chunk
                    if self.mark in self.data:
                        self.marked.set()
                self.cond.notify_all()
            if not chunk:
                return

    def wait_for(self, count: int, timeout: float) -> bool:
        with self.cond:
            return self.cond.wait_for(lambda: self.count >= count or self.eof, timeout) and self.count >= count

    def text(self) -> str:
        return bytes(self.data[: len(self.data) // 2 * 2]).decode("utf-16-le", errors="replace")


@dataclass
class Running:
    proc: subprocess.Popen
    out: Reader
    err: Reader

    @property
    def pid(self) -> int:
        return self.proc.pid


def start_sim(helper, sim: str, *, env: dict | None = None, prefix=(), timeout: float = 20.0) -> Running:
    """The simulated-engine program with its output drained, once it says capture has started."""
    proc = spawn([*prefix, helper, os.getpid()], env={"AUDIO_HELPER_SIM": sim, **(env or {})},
                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    running = Running(proc, Reader(proc.stdout.fileno()), Reader(proc.stderr.fileno(), STARTED_MARK))
    if not running.err.marked.wait(timeout):
        finish(running, signal.SIGKILL)
        raise BenchError(f"helper did not report capture start within {timeout:.0f} s (AUDIO_HELPER_SIM={sim}); "
                         f"stderr: {running.err.text()!r}")
    return running


def finish(running: Running, sig=signal.SIGINT, timeout: float = 10.0) -> int | None:
    code = stop(running.proc, sig, timeout)
    running.out.join(5)
    for stream in (running.proc.stdout, running.proc.stderr):
        if stream is not None:
            stream.close()
    return code


def process_cpu_ns(pid: int) -> int | None:
    """The process's CPU time (all threads, live and ended), from its CPU-time clock."""
    with contextlib.suppress(OSError):
        return time.clock_gettime_ns(((~pid) << 3) | 2)  # CPUCLOCK_SCHED of the whole process
    return None


def thread_samples(pid: int) -> dict[int, tuple[str, int, int, int]]:
    """{tid: (name, CPU ns, voluntary switches, involuntary switches)} of the live threads."""
    samples = {}
    for tid in os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else ():
        base = f"/proc/{pid}/task/{tid}/"
        try:
            with open(base + "comm") as comm, open(base + "schedstat") as stat, open(base + "status") as status:
                name, cpu_ns = comm.read().strip(), int(stat.read().split()[0])
                counts = dict(line.split(":", 1) for line in status if "ctxt_switches" in line)
        except OSError:
            continue  # the thread ended
        samples[int(tid)] = (name, cpu_ns, int(counts["voluntary_ctxt_switches"]),
                             int(counts["nonvoluntary_ctxt_switches"]))
    return samples


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def percentile(values, fraction):
    values = sorted(values)
    return values[min(len(values) - 1, round(fraction * (len(values) - 1)))] if values else None


def ratio(value, reference):
    return None if value is None or not reference else value / reference


def rounds_note(values, unit="s/h"):
    return f"rounds {min(values):.1f}-{max(values):.1f} {unit}" if len(values) > 1 else ""


# --- the real engines, on private servers ----------------------------------------------------------------

@contextlib.contextmanager
def bystander():
    """The pid, as text, of a process that plays nothing: the excluded tree, so every player is captured."""
    proc = spawn(["sleep", "86400"])
    try:
        yield str(proc.pid)
    finally:
        stop(proc, signal.SIGKILL, 5)


def cpu_rounds(env, server_pids, commands: dict, seconds, rounds, linked=None) -> dict:
    """{name: [(own, server's) CPU seconds per second, one per round]} of each command line (None: idle),
    in interleaved rounds so drifts fall on all alike; each measured once its data flows. `linked(name)`
    runs once the process has started (links made by a client)."""
    def cpu(pids):
        return sum(process_cpu_ns(pid) or 0 for pid in pids) / 1e9

    runs = {name: [] for name in commands}
    for _ in range(rounds):
        for name, argv in commands.items():
            proc = spawn(argv, env=env, stdout=subprocess.PIPE) if argv else None
            if proc:
                if linked:
                    linked(name)
                if not Reader(proc.stdout.fileno()).wait_for(HEADER_BYTES + BYTES_PER_SECOND // 10, 30):
                    stop(proc)
                    raise BenchError(f"no data from {argv[0]} within 30 s")
                time.sleep(0.5)  # past start-up
            own0, srv0, t0 = cpu([proc.pid] if proc else []), cpu(server_pids), time.monotonic()
            time.sleep(seconds)
            own1, srv1, t1 = cpu([proc.pid] if proc else []), cpu(server_pids), time.monotonic()
            if proc:
                stop(proc)
                proc.stdout.close()
            runs[name].append(((own1 - own0) / (t1 - t0), (srv1 - srv0) / (t1 - t0)))
    return runs


def cpu_per_audio_hour(runs: dict) -> dict:
    """Per command: the median over rounds of its own CPU plus the server's increase over idle, per audio hour."""
    idle = statistics.median(srv for _, srv in runs["idle"])
    return {name: {"total": statistics.median(own + srv - idle for own, srv in rounds) * 3600,
                   "own": statistics.median(own for own, _ in rounds) * 3600,
                   "server": statistics.median(srv - idle for _, srv in rounds) * 3600,
                   "rounds": [round((own + srv - idle) * 3600, 1) for own, srv in rounds]}
            for name, rounds in runs.items() if name != "idle"}


def click_latency(env, helper, click) -> dict:
    """From each click the `click` command plays (it prints the monotonic ns the sink plays it at) to its
    arrival on the helper's standard output. Clicks start once the kept music is heard: until the sink has
    rendered what it had before the capture started, no monitor recording gets anything."""
    proc = spawn(helper, env=env, stdout=subprocess.PIPE)
    arrivals, flowing = [], threading.Event()

    def read():
        pending, above, fd = b"", False, proc.stdout.fileno()
        while chunk := os.read(fd, 65536):
            now = time.monotonic_ns()
            data = pending + chunk
            whole = len(data) // 8 * 8
            pending = data[whole:]
            for value in array.array("f", data[:whole])[0::2]:
                if value != 0.0:
                    flowing.set()
                if value > 0.3 and not above:
                    arrivals.append(now)
                above = value > 0.3

    header = os.read(proc.stdout.fileno(), HEADER_BYTES)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    flowing.wait(30)
    time.sleep(0.3)
    played = [int(t) for t in subprocess.run([str(a) for a in click], env=env, capture_output=True,
                                                      text=True, timeout=120).stdout.split()]
    time.sleep(0.3)
    stop(proc)
    reader.join(10)
    proc.stdout.close()
    # Each arrival against the last click played before it: the stream may end before its last click.
    latencies = [(arrival - max(before)) / 1e6 for arrival in arrivals
                 if (before := [t for t in played if t <= arrival])]
    if len(header) != HEADER_BYTES or not latencies:
        raise BenchError("no stream header" if len(header) != HEADER_BYTES else "no click heard")
    return {"clicks": len(played), "heard": len(latencies), "median_ms": statistics.median(latencies),
            "max_ms": max(latencies)}
