"""A private PulseAudio server for tests: its own runtime directory and home, null sinks, an anonymous
native socket, nothing outside touched. Ready when `pactl info` answers; killed at the end."""

import os
import shutil
import signal
import subprocess
import tempfile
import time


class PulseServer:
    # name -> (rate, sample format)
    DEFAULT_SINKS = (("one", 48000), ("two", 48000), ("slow", 44100))

    def __init__(self, sinks=DEFAULT_SINKS):
        self.sinks = sinks
        self.dir = tempfile.mkdtemp(prefix="pulse-test-")
        self.process = None
        self.env = dict(os.environ)
        for name in ("PULSE_SERVER", "PULSE_COOKIE", "PULSE_SINK", "PULSE_SOURCE", "PIPEWIRE_REMOTE",
                     "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(name, None)
        self.env.update(XDG_RUNTIME_DIR=self.dir, HOME=self.dir, XDG_CONFIG_HOME=self.dir + "/config",
                        PULSE_RUNTIME_PATH=self.dir + "/pulse", PULSE_STATE_PATH=self.dir + "/state")

    def start(self, timeout=20.0):
        script = os.path.join(self.dir, "test.pa")
        with open(script, "w") as f:
            f.write("load-module module-native-protocol-unix auth-anonymous=1\n")
            for name, rate in self.sinks:
                f.write(f"load-module module-null-sink sink_name={name} rate={rate} "
                        "format=float32le channels=2\n")
            f.write(f"set-default-sink {self.sinks[0][0]}\n")
        self.log = open(os.path.join(self.dir, "server.log"), "wb")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disallow-exit", "--log-target=stderr", "-F", script],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("pulseaudio exited: " + self.log_text())
            if subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                return self
            time.sleep(0.05)
        raise RuntimeError("pulseaudio did not answer: " + self.log_text())

    def log_text(self):
        with open(os.path.join(self.dir, "server.log"), "rb") as f:
            return f.read().decode(errors="replace")[-2000:]

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, check=True, capture_output=True,
                              text=True).stdout

    def sink_inputs(self):
        """{sink input index: application.process.id}"""
        found, index = {}, None
        for text in self.pactl("list", "sink-inputs").splitlines():
            text = text.strip()
            if text.startswith("Sink Input #"):
                index = int(text.split("#")[1])
            elif text.startswith("application.process.id") and index is not None:
                found[index] = int(text.split('"')[1])
        return found

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()

    def stop(self):
        self.kill()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
