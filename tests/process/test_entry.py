"""Start-up of the helper: the usage line, how the exclude_pid argument is read, a malformed
simulated-engine scenario, and the Linux program's engine choice."""

import os
import re
import subprocess
import tempfile
import unittest

from tests.process.helperlib import HELPER, PROCESS_TIMEOUT, REAL_HELPER, WINE, hx, line, run_parallel, run_to_exit, stderr_bytes
from tests.process import helperlib

FAIL_ACTIVATE = "activate=0x80004005"

# (arguments, argc, exclude_pid as printed): parsed like the Microsoft runtime's _wtoi.
ARGUMENT_CASES = [
    (["-1"], 2, 4294967295),
    (["+42"], 2, 42),
    (["1234xyz"], 2, 1234),
    (["abc"], 2, 0),
    (["  7"], 2, 7),
    (["\t 9"], 2, 9),
    (["5 6"], 2, 5),
    ([""], 2, 0),
    (["12", "34", "x"], 4, 12),  # only the first argument counts
    (["2147483647"], 2, 2147483647),
    (["99999999999"], 2, 2147483647),
    (["-99999999999"], 2, 2147483648),
    (["00031"], 2, 31),
]


def usage_path(exe):
    """argv[0] as the program receives it: the path it was started with, or Wine's DOS form of it."""
    return helperlib.windows_path(os.path.realpath(exe)) if WINE else exe


def check_usage(test, exe):
    code, out, err = run_to_exit([], exe=exe)
    test.assertEqual(code, 1)
    test.assertEqual(out, b"")
    test.assertEqual(err, stderr_bytes([line(1, 1), line(2, usage_path(exe))]), helperlib.describe_lines(err))


class EntryTests(unittest.TestCase):
    def test_no_argument_prints_usage_with_whole_argv0(self):
        check_usage(self, HELPER)

    def test_exclude_pid_parsing(self):
        results = run_parallel(lambda case: run_to_exit(case[0], sim=FAIL_ACTIVATE), ARGUMENT_CASES)
        for (args, argc, pid), result in zip(ARGUMENT_CASES, results):
            with self.subTest(args=args):
                code, out, err = result
                self.assertEqual(code, 3)
                self.assertEqual(out, b"")
                self.assertEqual(err, stderr_bytes([line(1, argc), line(3, pid), line(5), line(6, hx(0x80004005))]),
                                 helperlib.describe_lines(err))

    def test_bad_option_is_refused_before_anything_starts(self):
        # Parsed past the pid on the real program too, where no engine may be reached first.
        cases = [
            (["12", "--loud"], "unknown option --loud"),
            (["12", "x", "--rate", "44000"], "--rate 44000: not one of 8000, 16000, 22050, 24000, 32000, 44100, 48000"),
            (["12", "--pid"], "--pid needs a value"),
        ]
        exes = [HELPER] + ([REAL_HELPER] if REAL_HELPER else [])
        runs = [(exe, args, why) for exe in exes for args, why in cases]
        results = run_parallel(lambda run: run_to_exit(run[1], exe=run[0], sim=FAIL_ACTIVATE), runs)
        for (exe, args, why), (code, out, err) in zip(runs, results):
            with self.subTest(exe=exe, args=args):
                self.assertEqual(code, 9)
                self.assertEqual(out, b"")
                self.assertEqual(err, stderr_bytes([line(1, len(args) + 1), "[helper] Bad option: " + why]),
                                 helperlib.describe_lines(err))

    def test_several_trees_are_left_out_only_where_one_client_takes_them(self):
        # Windows' client takes one tree, and leaving trees out one client each would let each in through
        # another's client: refused there. The stand-in's client takes them all in one request.
        args = ["12", "--pid", "13", "--pid", "14"]
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "trace.txt")
            code, out, err = run_to_exit(args, sim=helperlib.sim_with_trace(FAIL_ACTIVATE, trace))
            self.assertEqual(out, b"")
            if WINE:
                self.assertEqual(code, 9)
                self.assertEqual(err, stderr_bytes([line(1, 6), "[helper] Bad option: --pid without --include: "
                                                    "this platform can leave out only one process tree"]),
                                 helperlib.describe_lines(err))
            else:
                self.assertEqual(code, 3)
                self.assertIn("ActivateAudioInterfaceAsync pid=12,13,14 mode=1", helperlib.read_trace(trace))

    def test_malformed_scenario_is_refused_before_the_program_starts(self):
        cases = [
            ("frames=abc", "frames=abc"),
            ("source=ramp,bogus", "bogus"),
            ("delay=soon", "delay=soon"),
            ("frames=1,frames=2", "frames=2"),
            ("source=ramp,,period=0", "empty item"),
            ("coinit=80004005", "coinit=80004005"),
            ("stall=open:100", "stall=open:100"),
        ]
        results = run_parallel(lambda case: run_to_exit(["1"], sim=case[0]), cases)
        for (sim, named), result in zip(cases, results):
            with self.subTest(sim=sim):
                code, out, err = result
                self.assertEqual(code, 125)
                self.assertEqual(out, b"")
                # One plain-text line (a text-mode stream under Windows ends it with CRLF).
                self.assertRegex(err, re.compile(rb"\AAUDIO_HELPER_SIM: [^\r\n\x00]*\r?\n\Z"))
                self.assertIn(named.encode(), err)

    @unittest.skipIf(WINE or not REAL_HELPER, "the Linux program's engine choice")
    def test_unknown_engine_is_refused_before_the_program_starts(self):
        # With no server to reach, an engine the program knows ends in lines 9 and 10 with the service's
        # status; any other name is refused before line 1.
        no_server = hx(0x88890010)
        known = stderr_bytes([line(1, 2), line(3, 77), line(5), line(7), line(9, no_server), line(10, no_server)])
        cases = [("pipewire", 4, known), ("pulse", 4, known), ("", 4, known),
                 ("bogus", 125, b"AUDIO_HELPER_ENGINE: 'bogus' is not an engine (pipewire or pulse)\n")]
        foreign = ("PULSE_SERVER", "PULSE_RUNTIME_PATH", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR",
                   "DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME")
        with tempfile.TemporaryDirectory() as empty:
            env = {key: value for key, value in os.environ.items() if key not in foreign}
            env.update(XDG_RUNTIME_DIR=empty, HOME=empty)

            def run(case):
                done = subprocess.run([REAL_HELPER, "77"], stdin=subprocess.DEVNULL, capture_output=True,
                                      env=dict(env, AUDIO_HELPER_ENGINE=case[0]), timeout=PROCESS_TIMEOUT)
                return done.returncode, done.stdout, done.stderr
            for (engine, code, err), result in zip(cases, run_parallel(run, cases)):
                with self.subTest(engine=engine):
                    self.assertEqual(result, (code, b"", err))


if __name__ == "__main__":
    helperlib.main()
