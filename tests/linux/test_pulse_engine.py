"""The real program on a private PulseAudio server: which streams it keeps and at what level, what a new
or moved stream loses, silence, the server's death and its absence. The program picks the PulseAudio
engine itself (no PipeWire answers in the private runtime directory)."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
import helperlib  # noqa: E402
from audio_analysis import (HEADER, RATE, Recorder, level_db, ramp_runs, ramp_wav, start_parec,  # noqa: E402
                            tone_wav)
from pulse_server import PulseServer  # noqa: E402

HELPER = os.environ["AUDIO_HELPER_REAL"]
SERVICE_NOT_RUNNING = 0x88890010
DATA_TIMEOUT = 30.0  # the null sink's monitor starts 1.4 to 1.7 s late; a busy machine adds to that
LOST_AT_MOST = 960   # 20 ms: what a new or moved stream may lose
LEVEL_DB = 0.05


def start_helper(env, pid):
    process = subprocess.Popen([HELPER, str(pid)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    return process, Recorder(process, HEADER)


def stop_helper(test, process, recorder):
    """Stops the program by signal and checks the header and its lines, byte for byte."""
    process.send_signal(signal.SIGINT)
    test.assertEqual(process.wait(timeout=15), 0)
    recorder.finish()
    test.assertEqual(bytes(recorder.data[:16]), HEADER)
    return process.stderr.read()


def play(env, path, device=None):
    args = ["paplay"] + ([f"--device={device}"] if device else []) + [path]
    return subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


class PulseEngineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = tempfile.TemporaryDirectory(prefix="pulse-tones-")
        d = cls.files.name
        cls.wav = {
            "ex600": os.path.join(d, "ex600.wav"), "ex900": os.path.join(d, "ex900.wav"),
            "k440": os.path.join(d, "k440.wav"), "k1000": os.path.join(d, "k1000.wav"),
            "k1500": os.path.join(d, "k1500.wav"), "ramp": os.path.join(d, "ramp.wav"),
        }
        tone_wav(cls.wav["ex600"], 600, 12, 0.3, channels=2)
        tone_wav(cls.wav["ex900"], 900, 12, 0.3, rate=44100, float32=False)
        tone_wav(cls.wav["k440"], 440, 4, 0.2, rate=44100, float32=False)     # 44.1 kHz mono 16-bit
        tone_wav(cls.wav["k1000"], 1000, 4, 0.15, channels=2)                  # 48 kHz stereo float
        tone_wav(cls.wav["k1500"], 1500, 4, 0.25)                              # on the 44.1 kHz sink
        ramp_wav(cls.wav["ramp"], 5)
        cls.server = PulseServer().start()
        cls.env = dict(cls.server.env)
        cls.env.pop("AUDIO_HELPER_ENGINE", None)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.files.cleanup()

    def tearDown(self):
        # Players run in sessions of their own: a whole tree (grandchildren too) goes at once.
        for process in getattr(self, "children", []):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                process.kill()
            process.wait()

    def spawn(self, process):
        self.children = getattr(self, "children", []) + [process]
        return process

    def test_excluded_tree_is_absent_and_kept_tones_keep_their_level_on_two_sinks(self):
        env = self.env
        # The target plays one tone itself and has a grandchild play another.
        target = self.spawn(subprocess.Popen(
            ["bash", "-c", 'bash -c "paplay \\"$1\\"; true" & exec paplay "$0"', self.wav["ex600"],
             self.wav["ex900"]], env=env, start_new_session=True))
        helper, capture = start_helper(env, target.pid)
        self.spawn(helper)
        parec_one, monitor_one = start_parec(env, "one.monitor")
        parec_slow, monitor_slow = start_parec(env, "slow.monitor")
        self.spawn(parec_one)
        self.spawn(parec_slow)
        capture.wait_frames(RATE // 2, DATA_TIMEOUT)
        monitor_one.wait_frames(RATE // 2, DATA_TIMEOUT)
        excluded_from = capture.frames()
        capture.wait_frames(excluded_from + RATE)  # a second with only the excluded tree playing
        kept_from = capture.frames()
        kept_time = time.monotonic()
        for name, device in (("k440", "one"), ("k1000", "one"), ("k1500", "slow")):
            self.spawn(play(env, self.wav[name], device))
        capture.wait_frames(kept_from + 3 * RATE)
        monitor_one.wait(lambda: monitor_one.frames_at(time.monotonic()) > 0, 5, "monitor")
        stderr = stop_helper(self, helper, capture)
        self.assertEqual(stderr, helperlib.stderr_bytes(helperlib.setup_lines(target.pid)))

        alone = capture.left(excluded_from, kept_from - excluded_from)
        self.assertGreaterEqual(len(alone), RATE)
        self.assertTrue(all(v == 0.0 for v in alone), "the excluded tree was heard")

        # One whole second well inside the kept tones, in the capture and in each sink's monitor.
        heard = capture.left(kept_from + RATE * 5 // 4, RATE)
        start_one = monitor_one.frames_at(kept_time) + RATE * 5 // 4
        start_slow = monitor_slow.frames_at(kept_time) + RATE * 5 // 4
        reference_one = monitor_one.left(start_one, RATE)
        reference_slow = monitor_slow.left(start_slow, RATE)
        for frequency in (600, 900):
            self.assertGreater(level_db(reference_one, frequency), -20, f"{frequency} Hz did not play")
            self.assertLess(level_db(heard, frequency), -120, f"{frequency} Hz from the excluded tree")
        for frequency, reference in ((440, reference_one), (1000, reference_one), (1500, reference_slow)):
            got, want = level_db(heard, frequency), level_db(reference, frequency)
            self.assertLess(abs(got - want), LEVEL_DB, f"{frequency} Hz: {got:.3f} dB, monitor {want:.3f} dB")

    def test_new_stream_and_moves_lose_at_most_20_ms_each_and_nothing_repeats(self):
        env = self.env
        bystander = self.spawn(subprocess.Popen(["sleep", "120"], start_new_session=True))
        helper, capture = start_helper(env, bystander.pid)
        self.spawn(helper)
        # An idle null sink wakes only at the end of its long sleep and then renders the time it slept in
        # one burst, which is no stream's fault; a recording of its monitor keeps it running at a 10 ms pace.
        parec_two, monitor_two = start_parec(env, "two.monitor")
        self.spawn(parec_two)
        monitor_two.wait_frames(RATE // 2, DATA_TIMEOUT)
        capture.wait_frames(RATE // 2, DATA_TIMEOUT)
        player = self.spawn(play(env, self.wav["ramp"], "one"))
        for sink in ("two", "one"):
            capture.wait_frames(capture.frames() + RATE)
            index = next(i for i, pid in self.server.sink_inputs().items() if pid == player.pid)
            self.server.pactl("move-sink-input", str(index), sink)
        self.assertEqual(player.wait(timeout=30), 0)
        capture.wait_frames(capture.frames() + RATE // 2)
        stop_helper(self, helper, capture)

        runs = ramp_runs(capture.left())
        shown = runs[:6]
        total = 5 * RATE
        self.assertTrue(runs, "the ramp was not heard")
        self.assertLessEqual(len(runs), 3, f"broken in more places than the two moves: {len(runs)} runs, {shown}")
        self.assertLessEqual(runs[0][0] - 1, LOST_AT_MOST, f"start lost: {runs[0]}")
        for before, after in zip(runs, runs[1:]):
            self.assertGreater(after[0], before[1], f"repeated: {before} then {after}")
            self.assertLessEqual(after[0] - before[1] - 1, LOST_AT_MOST, f"lost: {before} then {after}")
        self.assertEqual(runs[-1][1], total, f"the end was lost: {runs[-1]}")

    def test_silence_is_zero_frames_at_full_rate(self):
        bystander = self.spawn(subprocess.Popen(["sleep", "120"], start_new_session=True))
        helper, capture = start_helper(self.env, bystander.pid)
        self.spawn(helper)
        capture.wait_frames(RATE // 2, DATA_TIMEOUT)
        first, since = capture.frames(), time.monotonic()
        capture.wait_frames(first + 3 * RATE)
        rate = (capture.frames() - first) / (time.monotonic() - since)
        stderr = stop_helper(self, helper, capture)
        self.assertEqual(stderr, helperlib.stderr_bytes(helperlib.setup_lines(bystander.pid)))
        self.assertTrue(all(v == 0.0 for v in capture.left()))
        self.assertLess(abs(rate - RATE) / RATE, 0.1, f"{rate:.0f} frames a second")


class PulseServerAbsentOrGoneTest(unittest.TestCase):
    def test_no_server_fails_activation_with_exit_4(self):
        with tempfile.TemporaryDirectory() as empty:
            env = PulseServer().env
            env.update(XDG_RUNTIME_DIR=empty, PULSE_RUNTIME_PATH=empty + "/pulse")
            result = subprocess.run([HELPER, "4242"], env=env, capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 4)
        status = helperlib.hx(SERVICE_NOT_RUNNING)
        lines = helperlib.setup_lines(4242)[:4] + [helperlib.line(9, status), helperlib.line(10, status)]
        self.assertEqual(result.stderr, helperlib.stderr_bytes(lines))
        self.assertEqual(result.stdout, b"")

    def test_server_killed_ends_capture_with_exit_0(self):
        with PulseServer() as server:
            helper, capture = start_helper(server.env, 4242)
            try:
                capture.wait_frames(RATE // 2, DATA_TIMEOUT)
                server.kill()
                killed = time.monotonic()
                self.assertEqual(helper.wait(timeout=15), 0)
                ended = time.monotonic() - killed
            finally:
                if helper.poll() is None:
                    helper.kill()
            capture.finish()
            self.assertEqual(helper.stderr.read(), helperlib.stderr_bytes(helperlib.setup_lines(4242)))
            self.assertLess(ended, 3.0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
