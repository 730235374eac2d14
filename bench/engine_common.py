"""What the Linux engine benchmarks (pipewire_engine.py, pulse_engine.py) measure alike: the CPU clock of
a process, the CPU figures against a recorder of the sink monitor, and click latencies."""

import contextlib
import os
import statistics
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TOOLS = os.path.join(ROOT, "build", "bench", "tools")


@contextlib.contextmanager
def bystander():
    """The process whose tree is excluded, as its pid in text: one that plays nothing, so every player is
    captured. Started here rather than on import, so importing a benchmark starts nothing."""
    proc = subprocess.Popen(["sleep", "86400"])
    try:
        yield str(proc.pid)
    finally:
        proc.kill()
        proc.wait()


def cpu_seconds(pid):
    """CPU time of a process's live threads, in seconds (nanosecond resolution, from schedstat)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # the thread ended
    return total / 1e9


def cpu_window(proc, server_cpu, seconds):
    """CPU seconds per second of `proc` (None: nothing) and of the server (`server_cpu()`, its CPU seconds)
    over a window of `seconds`; then `proc` is stopped."""
    own0, srv0, t0 = (cpu_seconds(proc.pid) if proc else 0.0), server_cpu(), time.monotonic()
    time.sleep(seconds)
    own1, srv1, t1 = (cpu_seconds(proc.pid) if proc else 0.0), server_cpu(), time.monotonic()
    if proc:
        proc.send_signal(2)
        proc.wait(10)
    return (own1 - own0) / (t1 - t0), (srv1 - srv0) / (t1 - t0)


def cpu_summary(runs, recorder):
    """`runs` maps "idle", "helper" and `recorder` to (own, server) CPU seconds per second, one per round:
    per audio hour, the program's own plus the server's increase over idle, and the helper's ratio."""
    idle_server = statistics.median(srv for _, srv in runs["idle"])
    result = {}
    for name in ("helper", recorder):
        totals = [own + (srv - idle_server) for own, srv in runs[name]]
        result[name] = {"cpu_s_per_audio_hour": round(statistics.median(totals) * 3600, 1),
                        "own_s_per_audio_hour": round(statistics.median(own for own, _ in runs[name]) * 3600, 1),
                        "rounds": [round(v * 3600, 1) for v in totals]}
    result["ratio"] = round(result["helper"]["cpu_s_per_audio_hour"] / result[recorder]["cpu_s_per_audio_hour"], 2)
    return result


def click_latencies(played, arrivals):
    """Each arrival against the last click played before it (the stream may end before its last click)."""
    latencies = []
    for arrival in arrivals:
        before = [play for play in played if play <= arrival]
        if before:
            latencies.append((arrival - before[-1]) / 1e6)
    return {"clicks": len(played), "heard": len(latencies), "median_ms": round(statistics.median(latencies), 1),
            "max_ms": round(max(latencies), 1), "min_ms": round(min(latencies), 1)}
