"""Private audio servers for the tests, the benchmarks and the demo: each runs in a temporary runtime directory
with its own HOME and configuration, so nothing outside it sees or touches it.

    with PipeWireServer(sinks=("sink-a", "sink-b")) as server:
        server.env      # environment for clients of this server
        server.kill()   # the server dies (the session manager and the pulse server go with it)
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

# Variables that would point a client at the machine's own servers.
FOREIGN = ("PULSE_SERVER", "PULSE_RUNTIME_PATH", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS",
           "XDG_RUNTIME_DIR", "HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "JACK_DEFAULT_SERVER")
READY_TIMEOUT = 30.0


def private_env(base_dir):
    env = {key: value for key, value in os.environ.items() if key not in FOREIGN}
    run = os.path.join(base_dir, "run")
    home = os.path.join(base_dir, "home")
    for path in (run, home):
        os.makedirs(path, mode=0o700, exist_ok=True)
    env.update(XDG_RUNTIME_DIR=run, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_STATE_HOME=os.path.join(home, ".local", "state"), XDG_DATA_HOME=os.path.join(home, ".local", "share"))
    return env


def wait_until(check, what, timeout=READY_TIMEOUT, procs=()):
    deadline = time.monotonic() + timeout
    delay = 0.01
    while True:
        if check():
            return
        for proc in procs:
            if proc.poll() is not None:
                raise RuntimeError("%s exited with %s while waiting for %s" % (proc.args[0], proc.returncode, what))
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for %s" % what)
        time.sleep(delay)
        delay = min(delay * 2, 0.2)


def quiet(args, env, timeout=10):
    """Runs a client tool; its output, or None when it failed."""
    try:
        done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return done.stdout.decode(errors="replace") if done.returncode == 0 else None


def wireplumber_version():
    """(major, minor) of the installed WirePlumber: 0.4 and 0.5 read different configuration."""
    out = subprocess.run(["wireplumber", "--version"], capture_output=True, text=True).stdout
    found = re.search(r"libwireplumber (\d+)\.(\d+)", out)
    return (int(found.group(1)), int(found.group(2))) if found else (0, 4)


class PrivateServer:
    """A server of the test's own; as a context, one that fails to start is cleaned up all the same."""

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def streams(self):
        """{sink input index: pid of the process that plays it} as the pulse server lists them (on PipeWire,
        every client's, native ones included); None when the listing failed (a busy machine), which must not
        pass for "none"."""
        listing = quiet(["pactl", "list", "sink-inputs"], self.env)
        if listing is None:
            return None
        found, index = {}, None
        for row in listing.splitlines():
            row = row.strip()
            if row.startswith("Sink Input #"):
                index = row.split("#")[1]
                found[index] = None
            elif row.startswith("application.process.id") and index is not None:
                found[index] = int(row.split('"')[1])
        return found

    def stream_of(self, pid, timeout=READY_TIMEOUT):
        """The index of the stream `pid` plays, once it is listed. By pid, never by place in the list: a
        stream of a player that has just ended can still be listed, and is gone by the time it is used."""
        wait_until(lambda: pid in (self.streams() or {}).values(), "the stream of pid %d" % pid, timeout=timeout)
        return next(index for index, owner in self.streams().items() if owner == pid)

    def wait_quiet(self, timeout=60):
        wait_until(lambda: self.streams() == {}, "every playback stream to end", timeout=timeout)


class PipeWireServer(PrivateServer):
    """PipeWire with WirePlumber (on a private D-Bus session bus) and pipewire-pulse, and null sinks.
    `rate` is the graph's clock rate."""

    def __init__(self, sinks=("sink-a",), rate=48000):
        self.sinks = sinks
        self.rate = rate
        self.dir = tempfile.mkdtemp(prefix="pw-test.")
        self.env = private_env(self.dir)
        self.procs = []
        self.logs = []

    def _config(self):
        conf_dir = os.path.join(self.env["XDG_CONFIG_HOME"], "pipewire", "pipewire.conf.d")
        os.makedirs(conf_dir)
        objects = "".join(
            '  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "%s" '
            'node.description = "%s" media.class = "Audio/Sink" audio.position = [ FL FR ] '
            'object.linger = true } }\n' % (name, name) for name in self.sinks)
        with open(os.path.join(conf_dir, "test.conf"), "w") as f:
            f.write("context.properties = { default.clock.rate = %d }\n" % self.rate)
            f.write("context.objects = [\n%s]\n" % objects)
        # Null sinks only: the session manager leaves the machine's sound cards, cameras and Bluetooth to
        # the machine. Its Bluetooth monitor would also watch logind, which a container or a bare root lacks
        # (/run/systemd/seats): WirePlumber then exits at start.
        wireplumber = os.path.join(self.env["XDG_CONFIG_HOME"], "wireplumber")
        monitors = ("alsa", "v4l2", "libcamera", "bluez")
        if wireplumber_version() >= (0, 5):
            # Profiles in SPA-JSON.
            os.makedirs(os.path.join(wireplumber, "wireplumber.conf.d"))
            with open(os.path.join(wireplumber, "wireplumber.conf.d", "60-private-server.conf"), "w") as f:
                f.write("wireplumber.profiles = { main = { %s } }\n"
                        % " ".join("monitor.%s = disabled" % name for name in monitors))
        else:
            # Lua, one section a file; the Bluetooth monitor in a section of its own.
            for section, names in (("main.lua.d", monitors[:3]), ("bluetooth.lua.d", monitors[3:])):
                os.makedirs(os.path.join(wireplumber, section))
                with open(os.path.join(wireplumber, section, "60-private-server.lua"), "w") as f:
                    f.writelines("%s_monitor.enabled = false\n" % name for name in names)

    def _spawn(self, args):
        log = open(os.path.join(self.dir, os.path.basename(args[0]) + ".log"), "wb")
        self.logs.append(log)
        proc = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True)
        self.procs.append(proc)
        return proc

    def start(self):
        self._config()
        bus = os.path.join(self.env["XDG_RUNTIME_DIR"], "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._spawn(["dbus-daemon", "--session", "--address=unix:path=" + bus, "--nofork", "--nopidfile"])
        wait_until(lambda: os.path.exists(bus), "the D-Bus socket", procs=self.procs)
        self.pipewire = self._spawn(["pipewire"])
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")
        wait_until(lambda: os.path.exists(socket), "the PipeWire socket", procs=self.procs)
        self._spawn(["wireplumber"])
        self._start_pulse()
        wait_until(lambda: 'default.audio.sink' in (quiet(["pw-metadata", "0"], self.env) or ""),
                   "the session manager", procs=self.procs)
        return self

    def _start_pulse(self, attempts=3):
        # Ready when the pulse server answers with every sink. On a loaded machine pipewire-pulse now and then
        # exits while it starts (239, before it listens); a server that never came up is started again.
        for attempt in range(attempts):
            pulse = self._spawn(["pipewire-pulse"])
            try:
                wait_until(lambda: (quiet(["pactl", "list", "short", "sinks"], self.env) or "").count("\n")
                           >= len(self.sinks), "the pulse server and sinks", procs=self.procs)
                return
            except RuntimeError:
                if pulse.poll() is None or attempt == attempts - 1:
                    raise
                self.procs.remove(pulse)

    def pid_of(self, name):
        return next(proc.pid for proc in self.procs if os.path.basename(proc.args[0]) == name)

    def kill(self, sig=signal.SIGKILL):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(sig)
        for proc in self.procs:
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(10)

    def __exit__(self, *exc):
        self.kill(signal.SIGTERM)
        for log in self.logs:
            log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class PulseAudioServer(PrivateServer):
    """Plain PulseAudio (`pulseaudio -n`) with an anonymous native socket and 32-bit float null sinks.
    `sinks` are (name, rate) pairs; the first is the default. Its null sinks' monitors deliver their first
    data only 1.4 to 1.7 s after a recording starts: wait for data, not for time."""

    def __init__(self, sinks=(("sink-a", 48000), ("sink-b", 48000))):
        self.sinks = sinks
        self.dir = tempfile.mkdtemp(prefix="pa-test.")
        self.env = private_env(self.dir)
        self.proc = None
        self.log = None

    def start(self):
        script = os.path.join(self.dir, "test.pa")
        with open(script, "w") as f:
            f.write("load-module module-native-protocol-unix auth-anonymous=1\n")
            for name, rate in self.sinks:
                f.write("load-module module-null-sink sink_name=%s rate=%d format=float32le channels=2\n"
                        % (name, rate))
            f.write("set-default-sink %s\n" % self.sinks[0][0])
        self.log = open(os.path.join(self.dir, "pulseaudio.log"), "wb")
        self.proc = subprocess.Popen(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                      "--use-pid-file=no", "-F", script], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log, start_new_session=True)
        wait_until(lambda: quiet(["pactl", "info"], self.env) is not None, "the PulseAudio server",
                   procs=[self.proc])
        return self

    def kill(self, sig=signal.SIGKILL):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)

    def __exit__(self, *exc):
        self.kill()
        if self.log is not None:
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
