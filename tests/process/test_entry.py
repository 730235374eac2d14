"""Start-up of the helper: the usage line, how the exclude_pid argument is read, and a malformed
simulated-engine scenario."""

import os
import re
import unittest

from helperlib import HELPER, WINE, hx, line, run_parallel, run_to_exit, stderr_bytes
import helperlib

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


if __name__ == "__main__":
    helperlib.main()
