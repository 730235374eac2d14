"""End to end on Linux: audio-helper-sim (the simulated engine) piped into lbas2wav.

Arguments: LBAS2WAV AUDIO_HELPER. Exits 77 (skipped) when the helper has not been built.
"""

import os
import re
import signal
import subprocess
import sys
import unittest

from tests.tools import lbas_testlib as lib

HELPER = None


class HelperIntoLbas2wav(lib.ToolTest):
    def capture(self, sim, until_seconds):
        """Runs helper | lbas2wav until lbas2wav reports `until_seconds` captured, then stops the
        helper with SIGINT, which ends the stream. Returns (helper, lbas2wav, lbas2wav stderr, wav)."""
        env = {k: v for k, v in os.environ.items() if k != "AUDIO_HELPER_SIM"}
        if sim is not None:
            env["AUDIO_HELPER_SIM"] = sim
        out = self.path("capture.wav")
        err_path = self.path("lbas2wav.stderr")
        with open(err_path, "wb") as err, open(self.path("helper.stderr"), "wb") as helper_err:
            helper = subprocess.Popen([HELPER, str(os.getpid())], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=helper_err, env=env)
            tool = subprocess.Popen([lib.LBAS2WAV, "--progress", "-", out], stdin=helper.stdout, stderr=err)
            helper.stdout.close()
        self.addCleanup(lambda: [p.kill() for p in (helper, tool) if p.poll() is None])

        def captured():
            with open(err_path, "rb") as f:
                found = re.findall(rb"([\d.]+) s captured", f.read())
            return bool(found) and float(found[-1]) >= until_seconds

        lib.wait_until(captured, f"{until_seconds} s of audio", interval=0.05)
        helper.send_signal(signal.SIGINT)
        helper.wait(timeout=lib.TIMEOUT)
        tool.wait(timeout=lib.TIMEOUT)
        with open(err_path, "rb") as f:
            text = f.read().decode()
        return helper, tool, text, lib.read_wav(out)

    def test_ramp_arrives_sample_exact(self):
        helper, tool, err, wav = self.capture("source=ramp,period=0,packets=200", 0.0)
        self.assertEqual(helper.returncode, 0)
        self.assertEqual(tool.returncode, 0, err)
        self.assertGreater(wav.frames, 0)
        self.assertEqual(wav.data, lib.ramp_frames(wav.frames))
        with open(self.path("helper.stderr"), "rb") as f:
            lines = f.read().decode("utf-16-le").split("\r\n")
        self.assertTrue(lines[0].startswith("[helper] Elindult, argc=2"), lines)
        self.assertIn("[helper] Rogzites elindult, fejlec elkuldve.", lines)

if __name__ == "__main__":
    (helper_arg,), argv = lib.main(extra_args=1)
    if not helper_arg or not os.path.exists(helper_arg):
        print(f"SKIP: audio-helper not found at {helper_arg!r}; build it to run this test")
        sys.exit(77)
    HELPER = os.path.abspath(helper_arg)
    unittest.main(argv=argv)
