"""The C++ parent example (examples/windows-parent/parent.cpp) under Wine, against audio-helper-sim.exe: it
starts the helper, relays its diagnostic lines, checks the header, counts frames and reports the exit code.

What Wine cannot do: deliver the example's Ctrl+Break (GenerateConsoleCtrlEvent) to the helper, as the two
processes share no console there. So every case here is a stream that ends by itself (the simulated device
goes away, or a stage fails) before the example's five seconds of audio; the stop itself is covered by the
stop tests, which send SIGINT, the one console event Wine does deliver.
"""

import os
import re
import subprocess
import unittest

from tests.process.helperlib import HELPER, PROCESS_TIMEOUT, RUNNER, hx, line, setup_lines, windows_path
from tests.process import helperlib

PARENT = os.environ.get("PARENT_EXAMPLE", "")
BUILD_LINE = os.environ.get("PARENT_EXAMPLE_BUILD_LINE", "")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_parent(sim):
    env = dict(os.environ, AUDIO_HELPER_SIM=sim)
    done = subprocess.run(RUNNER + [PARENT, windows_path(HELPER)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, timeout=PROCESS_TIMEOUT)
    return done.returncode, done.stderr.decode("utf-8", "replace").splitlines()


@unittest.skipUnless(PARENT and RUNNER, "needs the Windows tree's parent example and Wine")
class ParentExampleTests(unittest.TestCase):
    def test_docs_give_the_build_line_ci_uses(self):
        for path in ("docs/using-the-helper.md", "examples/windows-parent/parent.cpp"):
            with open(os.path.join(SOURCE_DIR, path)) as f:
                self.assertTrue(BUILD_LINE in f.read(), "%s does not give the line CI builds with: %s" % (path, BUILD_LINE))

    def test_reports_what_the_helper_did(self):
        # (scenario, catalogue lines after 1 and 3, exit code, frames, peak, the example's own exit code)
        ramp = "source=ramp,period=0,packets=50,fail_size_after=50"
        cases = [
            (ramp, None, 0, 50 * 480, 50 * 480 - 1, 0),
            ("start=0x8889000B", [line(5), line(7), line(9, hx(0)), line(12), line(14, "0x8889000b")], 7, 0, 0, 1),
            ("result=0x80070005", [line(5), line(7), line(9, "0x80070005"), line(10, "0x80070005")], 4, 0, 0, 1),
        ]
        for sim, rest, code, frames, peak, parent_code in cases:
            with self.subTest(sim):
                parent_exit, lines = run_parent(sim)
                self.assertEqual(parent_exit, parent_code, "\n".join(lines))
                relayed = [text[len("helper: "):] for text in lines if text.startswith("helper: ")]
                self.assertGreaterEqual(len(relayed), 2, "\n".join(lines))
                # The helper excludes the example's own process, whatever id Wine gave it.
                pid = re.fullmatch(r"\[helper\] exclude_pid=(\d+)", relayed[1])
                self.assertIsNotNone(pid, relayed)
                expected = setup_lines(pid.group(1)) if rest is None else [line(1, 2), relayed[1]] + rest
                self.assertEqual(relayed, expected)
                self.assertEqual(lines[-1], "helper exit code %d, %d frames, peak %.3f" % (code, frames, peak))


if __name__ == "__main__":
    helperlib.main()
