"""What the tests of the real Linux engines share: a class-wide private server, throwaway processes, the
no-server case and the runner that keeps the minute-long tones apart."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from tests.process import helperlib
from tests.linux.audiolib import SinkMonitor, level, steady_level
from tests.linux.servers import private_env

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
    out (what is left at their frequencies is float rounding of the kept tones)."""
    steady = {freq: steady_level(left, freq) for freq in kept}
    windows = [start for start in range(alone, len(left) - 4800, 4800)
               if all(abs(level(left, freq, start, 4800) / steady[freq] - 1) < 1e-3 for freq in kept)]
    test.assertGreater(len(windows), 10)
    for freq in excluded:
        worst = max(level(channel, freq, start, 4800) for start in windows for channel in (left, right))
        test.assertLess(worst, 1e-6, "%d Hz from the excluded tree was captured" % freq)


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
