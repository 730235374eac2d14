"""What the tests of the real Linux engines share: a class-wide private server, throwaway processes, the
no-server case, the options that choose trees and formats, and the runner that keeps the minute-long tones
apart."""

import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from tests.process import helperlib
from testkit.audio import SinkMonitor, db, level, player, split_any_stream, steady_level, write_wav
from testkit.servers import private_env

SERVICE_NOT_RUNNING = 0x88890010


class SharedServerCase(unittest.TestCase):
    """One private server for the whole class (`make_server`), and a folder for its tone files."""

    files_prefix = "tones."

    @classmethod
    def make_server(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.server = cls.make_server().__enter__()
        cls.files = tempfile.mkdtemp(prefix=cls.files_prefix)

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.files, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.files, name)

    def tearDown(self):
        SinkMonitor.end_leftovers()
        self.server.wait_quiet()


def bystander(test):
    """A process that plays nothing and is no player's ancestor: excluding it keeps every player."""
    proc = subprocess.Popen(["sleep", "600"])
    test.addCleanup(proc.wait)
    test.addCleanup(proc.kill)
    return proc.pid


def wait_exit(test, procs, timeout=60):
    for proc in procs:
        test.assertEqual(proc.wait(timeout), 0, proc.args)


def check_excluded_absent(test, left, right, alone, kept, excluded):
    """In every 100 ms after frame `alone` where all the `kept` tones play steadily, the `excluded` ones stay
    out: what is left at their frequencies is float rounding of the kept tones, or no more than the kept
    tones leave 20 and 30 Hz either side (a loaded server corrects a stream's rate, detuning it by a few hundred
    ppm, and a detuned tone leaks into every frequency of a window)."""
    steady = {freq: steady_level(left, freq) for freq in kept}
    windows = [start for start in range(alone, len(left) - 4800, 4800)
               if all(abs(level(left, freq, start, 4800) / steady[freq] - 1) < 1e-3 for freq in kept)]
    test.assertGreater(len(windows), 10)
    for freq in excluded:
        for start in windows:
            for channel in (left, right):
                there = level(channel, freq, start, 4800)
                beside = max(level(channel, freq + offset, start, 4800) for offset in (-30, -20, 20, 30))
                test.assertLess(there, 1e-6 + 2 * beside,
                                "%d Hz from the excluded tree was captured at frame %d" % (freq, start))


def check_no_server(test, exe, unset=()):
    """With no server in the runtime directory: lines 9 and 10 with the service's status, exit 4, no output."""
    with tempfile.TemporaryDirectory() as empty:
        os.environ.update(private_env(empty))
        for name in unset:
            os.environ.pop(name, None)
        helper = helperlib.Helper(test, args=("77",), exe=exe)
        test.assertEqual(helper.finish(), 4)
    status = helperlib.hx(SERVICE_NOT_RUNNING)
    expected = [helperlib.line(1, 2), helperlib.line(3, 77), helperlib.line(5), helperlib.line(7),
                helperlib.line(9, status), helperlib.line(10, status)]
    test.assertEqual(bytes(helper.err), helperlib.stderr_bytes(expected))
    test.assertEqual(bytes(helper.out), b"")


PROGRAM = os.environ.get("AUDIO_HELPER_LINUX", "")


class OptionCapture:
    """The program capturing with `args` (the pid, then options), its stream header written."""

    def __init__(self, test, env, args):
        os.environ.update(env)
        os.environ.pop("AUDIO_HELPER_ENGINE", None)
        self.helper = helperlib.Helper(test, args=[str(arg) for arg in args], exe=PROGRAM)
        self.helper.wait_line(15, timeout=30)
        self.helper.wait_stdout(16, timeout=30)

    def wait_bytes(self, count, timeout=60):
        self.helper.wait_stdout(16 + count, timeout=timeout)

    def stop(self, test):
        """(rate, channels, [samples of each channel])."""
        self.helper.signal(signal.SIGINT)
        test.assertEqual(self.helper.finish(), 0)
        return split_any_stream(self.helper.out)



def waiting_player(go, tool_args, env):
    """A process that plays once `go` exists: it is a tree's root, and the player itself (exec keeps the
    pid and the start time)."""
    return player(["sh", "-c", 'while [ ! -e "$0" ]; do sleep 0.02; done; exec "$@"', go] + tool_args, env)


def check_trees(test, env, tools, make_monitor, path):
    """Three trees, each a player of its own tone, and three captures at once: include the first tree,
    exclude the first two, include the first two. Each tone is heard at the sink's level or absent, as the
    rule says. `tools` are the three players' commands (before the file); make_monitor(name) records the
    sink they play on; `path` names scratch files."""
    # Whole periods in each 100 ms window, and none a harmonic or a low-order mix of the others: a server
    # that adds a trace of distortion to a kept tone does not make a left-out one seem heard.
    tones = (440, 650, 1010)
    files = [path("tree%d.wav" % freq) for freq in tones]
    for freq, name in zip(tones, files):
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-e", "floating-point", "-b", "32", name, "synth",
                        "3", "sine", str(freq), "vol", "0.2"], check=True, capture_output=True)
    go = path("go")
    players = [waiting_player(go, tool + [name], env) for tool, name in zip(tools, files)]
    a, b = players[0].pid, players[1].pid
    rows = [([a, "--include"], {440}), ([a, "--pid", b], {1010}), ([a, "--pid", b, "--include"], {440, 650})]
    captures = [OptionCapture(test, env, args) for args, _ in rows]
    monitor = make_monitor("trees")
    if hasattr(monitor, "wait_data"):
        monitor.wait_data()
    for capture in captures:
        capture.wait_bytes(8 * 4800)
    with open(go, "w"):
        pass
    for proc in players:
        test.assertEqual(proc.wait(60), 0, proc.args)
    heard = monitor.stop()
    for (args, kept), capture in zip(rows, captures):
        rate, channels, (left, right) = capture.stop(test)
        test.assertEqual((rate, channels), (48000, 2))
        for freq in kept:
            reference = steady_level(heard[0], freq)
            test.assertGreater(reference, 0.1, "the sink played %d Hz" % freq)
            for channel in (left, right):
                got = steady_level(channel, freq)
                test.assertLess(abs(db(got) - db(reference)), 0.05, "%s: %d Hz at %.3f dB, the sink's %.3f dB"
                                % (args, freq, db(got), db(reference)))
        # While the kept tones play steadily, the others are absent.
        check_excluded_absent(test, left, right, 0, kept, set(tones) - kept)


def check_mono_16k(test, env, tool, make_monitor, path):
    """A 1 kHz tone louder on the left than on the right, captured at 16 kHz mono: the header says so, the
    stream keeps pace with the wall clock, and the tone comes out at the mean of the two channels the sink
    played, within 0.5 dB."""
    rate = 48000
    frames = 3 * rate
    left = [0.3 * math.sin(2 * math.pi * 1000 * n / rate) for n in range(frames)]
    name = path("lr1000.wav")
    write_wav(name, [left, [v / 3 for v in left]], rate)
    capture = OptionCapture(test, env, [bystander(test), "--rate", "16000", "--channels", "1"])
    monitor = make_monitor("mono")
    if hasattr(monitor, "wait_data"):
        monitor.wait_data()
    capture.wait_bytes(4 * 1600)
    begun, start = time.monotonic(), len(capture.helper.out)
    test.assertEqual(player(tool + [name], env).wait(60), 0)
    written = (len(capture.helper.out) - start) / 4 / (time.monotonic() - begun)
    heard = monitor.stop()
    got_rate, channels, (mono,) = capture.stop(test)
    test.assertEqual((got_rate, channels), (16000, 1))
    test.assertLess(abs(written / 16000 - 1), 0.1, "%.0f frames a second" % written)
    reference = (steady_level(heard[0], 1000) + steady_level(heard[1], 1000)) / 2
    got = steady_level(mono, 1000, window=1600, rate=16000)
    test.assertGreater(reference, 0.15, "the sink played the tone")
    test.assertLess(abs(db(got) - db(reference)), 0.5, "%.3f dB captured, the mean of the sink's channels %.3f dB"
                    % (db(got), db(reference)))


def run(module, cases, long_case):
    """`--long` runs only `long_case`; named tests run alone; otherwise `cases`."""
    long_only = "--long" in sys.argv
    sys.argv = [arg for arg in sys.argv if arg != "--long"]
    loader = unittest.TestLoader()
    if len(sys.argv) > 1:  # named tests, e.g. PulseCapture.test_silence_is_zero_frames_at_full_rate
        suite = loader.loadTestsFromNames(sys.argv[1:], module)
    elif long_only:
        suite = loader.loadTestsFromTestCase(long_case)
    else:
        suite = unittest.TestSuite([loader.loadTestsFromTestCase(case) for case in cases])
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
