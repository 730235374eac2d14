"""lbas2wav.exe under Wine: a stream file and a pipe converted byte for byte (bytes a text-mode runtime would
change included), the version, and the cases where Windows differs: how files are told apart, exit codes.

    lbas2wav_windows_test.py LBAS2WAV.EXE WINE_RUN
"""

import os
import subprocess
import unittest

from tests.tools import lbas_testlib as lib

WINE_RUN = None
with open(os.path.join(os.path.dirname(__file__), "..", "..", "VERSION")) as f:
    VERSION = f.read().strip()
# CR, LF and Ctrl+Z, which a text-mode read or write would translate or stop at.
TEXT_MODE_TRAPS = b"\x0d\x0a\x1a\x3f" * 2
STREAM = lib.header() + lib.ramp_frames(50000) + TEXT_MODE_TRAPS * 100 + lib.ramp_frames(1000, 50000)


class WindowsTool(lib.ToolTest):
    def run_exe(self, *args, stdin_data=None):
        return subprocess.run([WINE_RUN, lib.LBAS2WAV, *args], input=stdin_data, capture_output=True,
                              timeout=lib.TIMEOUT, cwd=self.dir,
                              stdin=None if stdin_data is not None else subprocess.DEVNULL)

    def test_converts_byte_for_byte(self):
        self.write_input("in.lbas", STREAM)
        for name, args, stdin_data in (("file", ["--svg", "in.svg", "in.lbas", "file.wav"], None),
                                       ("pipe", ["-", "pipe.wav"], STREAM)):
            with self.subTest(name):
                r = self.run_exe(*args, stdin_data=stdin_data)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(lib.read_wav(self.path(args[-1])).data, STREAM[16:])
                self.assertIn(b"wrote %s: 1.065 s, 51100 frames" % args[-1].encode(), r.stderr)
        with open(self.path("in.svg"), "rb") as f:
            self.assertTrue(f.read().startswith(b"<svg"))

    def test_version_and_errors(self):
        self.write_input("in.lbas", STREAM)
        self.write_input("other.wav", b"old")
        for args, stdin_data, code, out in (
            (["--version"], None, 0, b"lbas2wav %s\n" % VERSION.encode()),
            (["in.lbas", "other.wav"], None, 0, None),             # two files, told apart
            (["in.lbas", ".\\in.lbas"], None, 1, None),            # one file, two spellings
            (["in.lbas", "sub\\..\\in.lbas"], None, 1, None),
            (["-", "bad.wav"], b"RIFF" + bytes(40), 2, None),
            (["missing.lbas", "x.wav"], None, 4, None),
        ):
            with self.subTest(args=args):
                os.makedirs(self.path("sub"), exist_ok=True)
                r = self.run_exe(*args, stdin_data=stdin_data)
                self.assertEqual(r.returncode, code, r.stderr)
                if out is not None:
                    self.assertEqual(r.stdout.replace(b"\r\n", b"\n"), out)
        with open(self.path("in.lbas"), "rb") as f:
            self.assertEqual(f.read(), STREAM)


if __name__ == "__main__":
    (WINE_RUN,), argv = lib.main(extra_args=1)
    unittest.main(argv=argv)
