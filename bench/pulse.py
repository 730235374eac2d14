"""A private PulseAudio daemon with one null sink, for the parec reference. It never touches a user's
session: its own runtime, state and config directories under a temporary folder, its own socket."""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from bench.common import BenchError, spawn, stop, wait_exit

SINK = "bench_null"
NEEDED = {"pulseaudio": "pulseaudio", "parec": "pulseaudio-utils", "pactl": "pulseaudio-utils"}


class PrivatePulse:
    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="bench-pulse-"))
        self.socket = self.dir / "native"
        self.proc: subprocess.Popen | None = None
        self.env = {
            "HOME": str(self.dir),
            "XDG_RUNTIME_DIR": str(self.dir / "run"),
            "XDG_CONFIG_HOME": str(self.dir / "config"),
            "PULSE_RUNTIME_PATH": str(self.dir / "run"),
            "PULSE_STATE_PATH": str(self.dir / "state"),
            "PULSE_SERVER": f"unix:{self.socket}",
        }
        for sub in ("run", "config", "state"):
            (self.dir / sub).mkdir(mode=0o700)

    def __enter__(self):
        argv = [
            "pulseaudio", "--daemonize=no", "--system=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
            "--realtime=no", "--high-priority=no", "--log-target=stderr", "--log-level=error",
            f"--load=module-null-sink sink_name={SINK} rate=48000 channels=2 format=float32le",
            f"--load=module-native-protocol-unix socket={self.socket} auth-anonymous=1",
        ]
        self.log = open(self.dir / "daemon.log", "wb")
        self.proc = spawn(argv, env=self.env, stderr=self.log)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise BenchError("pulseaudio exited at start: " + self._log_tail())
            if self.socket.exists():
                probe = subprocess.run(["pactl", "info"], env={**os.environ, **self.env},
                                       capture_output=True, timeout=10)
                if probe.returncode == 0:
                    return self
            try:
                self.proc.wait(timeout=0.1)  # wakes at once if the daemon dies
            except subprocess.TimeoutExpired:
                pass
        self.__exit__(None, None, None)
        raise BenchError("pulseaudio did not answer within 30 s: " + self._log_tail())

    def _log_tail(self) -> str:
        try:
            return (self.dir / "daemon.log").read_text(errors="replace")[-400:]
        except OSError:
            return ""

    def __exit__(self, *exc):
        if self.proc is not None and stop(self.proc, signal.SIGTERM, 10) is None:
            wait_exit(self.proc, 5)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def parec_argv(self) -> list[str]:
        return ["parec", "--raw", "--latency-msec=10", f"--device={SINK}.monitor", "--format=float32le",
                "--rate=48000", "--channels=2"]
