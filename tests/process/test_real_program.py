"""The real-audio program under Wine: its own start-up lines, then whatever Wine's audio activation gives,
which must be a path the exit table allows."""

import re
import unittest

from tests.process.helperlib import (CATALOGUE, FRAME, HEADER, REAL_HELPER, describe_lines, line, run_parallel, run_to_exit,
                       split_lines)
from tests.process import helperlib
from tests.process.test_entry import ARGUMENT_CASES, check_usage

# For each exit code, the catalogue lines that follow lines 1 and 3, in order.
EXIT_PATHS = {
    2: [4],
    3: [5, 6],
    4: [5, 7, 9, 10],
    5: [5, 7, 9, 11],
    6: [5, 7, 9, 12, 13],
    7: [5, 7, 9, 12, 14],
    8: [5, 7, 8],
    0: [5, 7, 9, 12, 15],
}


def check_exit_path(test, code, out, err, argc, pid):
    """Checks that stderr and stdout are what the exit table allows for `code`, whatever the platform's
    statuses were: failure lines carry a failure status, line 9 success before the set-up goes on."""
    lines, tail = split_lines(err)
    test.assertEqual(tail, "", "stderr ends inside a line")
    test.assertIn(code, EXIT_PATHS, "exit code %s is not in the table; stderr:\n%s" % (code, describe_lines(err)))
    test.assertEqual(lines[:2], [line(1, argc), line(3, pid)])
    rest = lines[2:]
    numbers = EXIT_PATHS[code]
    test.assertEqual(len(rest), len(numbers), "exit %d with stderr:\n%s" % (code, describe_lines(err)))
    statuses = {}
    for number, text in zip(numbers, rest):
        if "{}" not in CATALOGUE[number]:
            test.assertEqual(text, line(number))
            continue
        match = re.fullmatch(re.escape(CATALOGUE[number]).replace(r"\{\}", "(0x[0-9a-f]{8})"), text)
        test.assertIsNotNone(match, "line %d malformed: %r" % (number, text))
        statuses[number] = int(match.group(1), 16)
    failed = lambda status: status >= 0x80000000
    for number in (4, 6, 11, 13, 14):
        if number in statuses:
            test.assertTrue(failed(statuses[number]), "line %d carries a success status" % number)
    if code == 4:
        test.assertEqual(statuses[9], statuses[10], "lines 9 and 10 disagree")
    elif 9 in statuses:
        test.assertFalse(failed(statuses[9]), "the set-up went on after a failed activation")
    if code == 7:
        test.assertEqual(out, HEADER)
    elif code == 0:
        test.assertEqual(out[:len(HEADER)], HEADER)
        test.assertEqual((len(out) - len(HEADER)) % FRAME, 0)
    else:
        test.assertEqual(out, b"", "stdout must be empty on exit %d" % code)


@unittest.skipUnless(REAL_HELPER, "needs AUDIO_HELPER_REAL (the Windows tree)")
class RealProgramTests(unittest.TestCase):
    def test_no_argument(self):
        check_usage(self, REAL_HELPER)

    def test_set_up_follows_the_exit_table(self):
        code, out, err = run_to_exit(["4321"], exe=REAL_HELPER)
        check_exit_path(self, code, out, err, 2, 4321)
        lines = split_lines(err)[0]
        # Wine has no process-loopback client, but the request itself is accepted and completes.
        self.assertEqual(lines[2:4], [line(5), line(7)], describe_lines(err))

    def test_exclude_pid_parsing_matches_the_simulated_build(self):
        results = run_parallel(lambda case: run_to_exit(case[0], exe=REAL_HELPER), ARGUMENT_CASES)
        for (args, argc, pid), result in zip(ARGUMENT_CASES, results):
            with self.subTest(args=args):
                code, out, err = result
                check_exit_path(self, code, out, err, argc, pid)


if __name__ == "__main__":
    helperlib.main()
