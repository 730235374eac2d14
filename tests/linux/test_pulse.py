"""The real program on a private plain PulseAudio server: the engine that records every kept stream on
its own and mixes them on a sink monitor's clock. The program picks that engine itself (no PipeWire
answers in the private runtime directory).

    test_pulse.py          everything but the minute-long tones
    test_pulse.py --long   only the minute-long tones
"""

import array
import math
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from tests.process import helperlib
from testkit.audio import (RATE, RAMP_PERIOD, RAMP_STEP, block_amplitudes, db, player, ramp,
                      ramp_breaks, split_stream, steady_level, tone)
from tests.linux.linuxcase import (SharedServerCase, bystander, check_excluded_absent, check_mono_16k,
                                   check_no_server, check_trees, run, wait_exit)
from testkit.servers import PulseAudioServer, wait_until

HELPER = os.environ["AUDIO_HELPER_LINUX"]
DATA_TIMEOUT = 60  # a null sink's monitor starts 1.4 to 1.7 s late; a busy machine adds to that
LOST_AT_MOST = 960  # 20 ms: what a new stream may lose at its start, and a move


class Capture:
    """The real helper running against a server's environment, excluding `pid`'s tree."""

    def __init__(self, test, env, pid):
        os.environ.update(env)
        os.environ.pop("AUDIO_HELPER_ENGINE", None)
        self.pid = pid
        self.helper = helperlib.Helper(test, args=(str(pid),), exe=HELPER)
        self.wait_frames(1)

    def frames(self):
        return max(0, (len(self.helper.out) - 16) // 8)

    def wait_frames(self, count, timeout=DATA_TIMEOUT):
        self.helper.wait_stdout(16 + 8 * count, timeout=timeout)

    def stop(self, test):
        self.helper.signal(signal.SIGINT)
        test.assertEqual(self.helper.finish(), 0)
        test.assertEqual(bytes(self.helper.err), helperlib.stderr_bytes(helperlib.setup_lines(self.pid)))
        return split_stream(self.helper.out)


class SinkMonitor:
    """parec of a sink's monitor: what the sink itself played, with the frames counted as they come."""

    def __init__(self, env, sink, path):
        self.path = path
        self.proc = subprocess.Popen(["parec", "-d", sink + ".monitor", "--raw", "--format=float32le",
                                      "--rate=%d" % RATE, "--channels=2", "--latency-msec=10", path], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)

    def wait_data(self):
        wait_until(lambda: os.path.exists(self.path) and os.path.getsize(self.path) > 0, "the monitor's data",
                   timeout=DATA_TIMEOUT, procs=[self.proc])

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(30)
        samples = array.array("f")
        with open(self.path, "rb") as f:
            data = f.read()
        samples.frombytes(data[: len(data) // 8 * 8])
        return samples[0::2], samples[1::2]


def ramp_losses(left):
    """(frames lost before the first ramp frame heard, [(ramp frames skipped, silent frames heard in their
    place) at each break]). A repeat shows as a negative skip."""
    heard = [(i, v) for i, v in enumerate(left) if v != 0.0]
    if not heard:
        return None, []
    breaks = []
    for (p1, v1), (p2, v2) in zip(heard, heard[1:]):
        skipped = (round((v2 - v1) / RAMP_STEP) - 1) % RAMP_PERIOD
        skipped = skipped - RAMP_PERIOD if skipped > RAMP_PERIOD // 2 else skipped
        if skipped != 0 or p2 != p1 + 1:
            breaks.append((skipped, p2 - p1 - 1))
    return round(heard[0][1] / RAMP_STEP) - 1, breaks


def block_phases(samples, freq, block=480):
    """Phase of `freq` in each 10 ms block against the stream's own frame count (whole periods per block,
    so a lost, repeated or stretched frame anywhere shifts every later phase)."""
    step = 2 * math.pi * freq / RATE
    sines = [math.sin(step * i) for i in range(block)]
    cosines = [math.cos(step * i) for i in range(block)]
    return [math.atan2(sum(map(float.__mul__, samples[s: s + block], sines)),
                       sum(map(float.__mul__, samples[s: s + block], cosines)))
            for s in range(0, len(samples) - block + 1, block)]


def spread(phases):
    """Largest distance of any phase from the first one, around the circle."""
    return max(abs((p - phases[0] + math.pi) % (2 * math.pi) - math.pi) for p in phases)


def playing(capture, frames=RATE // 10):
    """Whether the capture's last frames carry sound."""
    end = 16 + capture.frames() * 8
    return any(array.array("f", bytes(capture.helper.out[max(16, end - frames * 8): end])))


def lead(capture, samples=10):
    """How far the stream's end is ahead of the wall clock, from an arbitrary zero, in seconds: the most of
    several readings, as output arrives a packet at a time."""
    best = None
    for _ in range(samples):
        value = capture.frames() / RATE - time.monotonic()
        best = value if best is None else max(best, value)
        time.sleep(0.02)
    return best


class PulseCapture(SharedServerCase):
    files_prefix = "pa-tones."

    @classmethod
    def make_server(cls):
        return PulseAudioServer(sinks=(("sink-a", 48000), ("sink-b", 48000), ("sink-slow", 44100)))

    def test_excluded_tree_is_absent_and_kept_tones_keep_the_monitor_level_on_two_sinks(self):
        env = self.server.env
        excluded = {440: tone(self.path("x440.wav"), 440, 6), 550: tone(self.path("x550.wav"), 550, 5)}
        kept = {  # frequency: (sink, file): 44.1 and 48 kHz, mono and stereo, on a 48 and a 44.1 kHz sink
            1000: ("sink-a", tone(self.path("k1000.wav"), 1000, 3, rate=44100, channels=1, amplitude=0.3)),
            2000: ("sink-a", tone(self.path("k2000.wav"), 2000, 3, rate=48000, channels=2, amplitude=0.2)),
            1500: ("sink-slow", tone(self.path("k1500.wav"), 1500, 3, rate=48000, channels=1, amplitude=0.1)),
        }
        # The target plays itself; its grandchild starts after the capture has and plays after its parent
        # (the target's child) has exited.
        target = player(["sh", "-c", '(sleep 0.5; sh -c "sleep 2; exec paplay %s" & sleep 1.5) & exec paplay %s'
                         % (excluded[550], excluded[440])], env)
        capture = Capture(self, env, target.pid)
        monitors = {sink: SinkMonitor(env, sink, self.path(sink + ".raw")) for sink in ("sink-a", "sink-slow")}
        for monitor in monitors.values():
            monitor.wait_data()
        # While only the excluded tree plays, the capture is exactly zero.
        wait_until(lambda: len(self.server.streams() or ()) == 2, "both excluded streams")
        capture.wait_frames(capture.frames() + RATE // 2)
        alone = capture.frames()
        players = [player(["paplay", "--device=" + sink, path], env) for sink, path in kept.values()]
        wait_exit(self, players + [target])
        heard = {sink: monitor.stop() for sink, monitor in monitors.items()}
        left, right = capture.stop(self)

        for freq in excluded:
            self.assertGreater(steady_level(heard["sink-a"][0], freq), 0.05, "the sink played %d Hz" % freq)
        self.assertGreater(alone, RATE // 2)
        self.assertFalse(any(left[:alone]) or any(right[:alone]), "the excluded tree was captured")
        for freq, (sink, _) in kept.items():
            got, reference = db(steady_level(left, freq)), db(steady_level(heard[sink][0], freq))
            self.assertLess(abs(got - reference), 0.05, "%d Hz: %.3f dB captured, %.3f dB on the monitor"
                            % (freq, got, reference))
        check_excluded_absent(self, left, right, alone, kept, excluded)

    def test_several_trees_included_and_excluded(self):
        # Each player names the sink it plays on: a move test may have left a remembered target.
        check_trees(self, self.server.env, [["paplay", "-d", "sink-a"]] * 3, self.sink_monitor, self.path)

    def test_16_khz_mono_is_the_mean_of_the_channels_at_the_right_rate(self):
        check_mono_16k(self, self.server.env, ["paplay", "-d", "sink-a"], self.sink_monitor, self.path)

    def sink_monitor(self, name):
        return SinkMonitor(self.server.env, "sink-a", self.path(name + ".raw"))

    def test_new_stream_loses_at_most_20_ms_and_a_move_at_most_20_ms(self):
        env = self.server.env
        frames = ramp(self.path("ramp.wav"), 4)
        capture = Capture(self, env, bystander(self))
        # An idle null sink sleeps long and then renders the time it slept in one burst, which is the
        # null sink's way and not a stream's: recording its monitor keeps it at a 10 ms pace.
        keep_awake = SinkMonitor(env, "sink-b", self.path("awake.raw"))
        keep_awake.wait_data()
        capture.wait_frames(capture.frames() + RATE // 5)  # mid-capture
        ramp_player = player(["paplay", "--device=sink-a", self.path("ramp.wav")], env)
        for sink in ("sink-b", "sink-a"):
            capture.wait_frames(capture.frames() + RATE)
            subprocess.run(["pactl", "move-sink-input", self.server.stream_of(ramp_player.pid), sink], env=env,
                           check=True)
        wait_exit(self, [ramp_player])
        capture.wait_frames(capture.frames() + RATE // 5)
        keep_awake.stop()
        left, right = capture.stop(self)

        lost_first, breaks = ramp_losses(left)
        print("new stream lost %d frames; the moves skipped and silenced %s" % (lost_first, breaks[:5]))
        self.assertIsNotNone(lost_first, "the ramp was not heard")
        self.assertLessEqual(lost_first, LOST_AT_MOST)
        self.assertLessEqual(len(breaks), 2, "broken in more places than the two moves: %s" % breaks[:5])
        for skipped, silent in breaks:
            self.assertTrue(0 <= skipped <= LOST_AT_MOST, "a move lost (or repeated) %d frames" % skipped)
            self.assertLessEqual(silent, LOST_AT_MOST, "a move left a gap of %d frames" % silent)
        # Nothing lost at the end: the stream's last frame is heard.
        last = next(v for v in reversed(left) if v != 0.0)
        self.assertEqual(round(last / RAMP_STEP) - 1, (frames - 1) % RAMP_PERIOD)
        self.assertEqual(list(right), [-v for v in left])

    def test_stopped_helper_keeps_real_time_and_writes_every_frame_once(self):
        # A terminal's Ctrl+Z and fg: the server keeps recording meanwhile and hands over the backlog.
        env = self.server.env
        for seconds in (0.3, 2.0):
            with self.subTest(stopped=seconds):
                ramp(self.path("stall.wav"), seconds + 3)
                capture = Capture(self, env, bystander(self))
                ramp_player = player(["paplay", "--device=sink-a", self.path("stall.wav")], env)
                wait_until(lambda: playing(capture), "the ramp in the capture", timeout=DATA_TIMEOUT)
                capture.wait_frames(capture.frames() + RATE // 2)
                before = lead(capture)
                capture.helper.signal(signal.SIGSTOP)
                time.sleep(seconds)
                capture.helper.signal(signal.SIGCONT)
                wait_exit(self, [ramp_player])
                capture.wait_frames(capture.frames() + RATE // 2)
                after = lead(capture)
                left, _ = capture.stop(self)
                lost_first, breaks = ramp_losses(left)
                print("stopped %.1f s: stream %+.0f ms against the wall clock; breaks %s"
                      % (seconds, (after - before) * 1000, breaks[:5]))
                self.assertIsNotNone(lost_first, "the ramp was not heard")
                self.assertLess(abs(after - before), 0.05)
                self.assertEqual(breaks, [], "frames skipped, repeated or moved (skipped, silent)")

    def test_silence_is_zero_frames_at_full_rate_from_the_engine_chosen_for_pulseaudio(self):
        capture = Capture(self, self.server.env, bystander(self))
        # The program chose the PulseAudio engine itself: its clock recording is on the server.
        outputs = subprocess.run(["pactl", "list", "source-outputs"], env=self.server.env, check=True,
                                 capture_output=True, text=True).stdout
        self.assertIn('media.name = "audio-helper clock"', outputs)
        start, first = time.monotonic(), capture.frames()
        capture.wait_frames(first + 2 * RATE)
        elapsed, got = time.monotonic() - start, capture.frames() - first
        # The stream keeps pace with the clock: within a few packets of the wall time the wait took.
        self.assertGreater(got, (elapsed - 0.1) * RATE)
        left, right = capture.stop(self)
        self.assertTrue(all(v == 0.0 for v in left) and all(v == 0.0 for v in right), "silence is zeros")


class ServerLifetime(unittest.TestCase):
    def test_server_killed_during_capture_ends_with_exit_0(self):
        with PulseAudioServer() as server:
            capture = Capture(self, server.env, 4242)
            killed = time.monotonic()
            server.kill()
            self.assertEqual(capture.helper.finish(), 0)
            took = capture.helper.ended - killed
            print("exit %.0f ms after the server was killed" % (took * 1000))
            self.assertLess(took, 2.0)
            self.assertEqual(bytes(capture.helper.err), helperlib.stderr_bytes(helperlib.setup_lines(4242)))

    def test_no_server_gives_lines_9_and_10_and_exit_4(self):
        check_no_server(self, HELPER, unset=["AUDIO_HELPER_ENGINE"])


class MinuteLongTones(unittest.TestCase):
    def test_two_tones_on_two_sinks_for_a_minute_have_no_gap_and_no_drift(self):
        seconds = 60
        tones = {400: ("sink-a", 0.25), 1000: ("sink-slow", 0.2)}  # whole periods per 10 ms block
        with PulseAudioServer(sinks=(("sink-a", 48000), ("sink-slow", 44100))) as server, \
                tempfile.TemporaryDirectory() as files:
            env = server.env
            paths = {freq: tone(os.path.join(files, "%d.wav" % freq), freq, seconds + 1, amplitude=amplitude)
                     for freq, (_, amplitude) in tones.items()}
            capture = Capture(self, env, bystander(self))
            monitor = SinkMonitor(env, "sink-a", os.path.join(files, "monitor.raw"))
            monitor.wait_data()
            players = [player(["paplay", "--device=" + tones[freq][0], path], env) for freq, path in paths.items()]
            wait_exit(self, players, timeout=seconds + 60)
            reference, _ = monitor.stop()
            left, _ = capture.stop(self)

        # The common stretch where both tones play, whole blocks only.
        spans = []
        for freq, (_, amplitude) in tones.items():
            on = [i for i, a in enumerate(block_amplitudes(left, freq)) if a > amplitude / 2]
            self.assertGreater(len(on), seconds * 100 - 5)
            spans.append((on[0] + 2, on[-1] - 1))
        first, last = max(s for s, _ in spans), min(e for _, e in spans)
        self.assertGreater(last - first, (seconds - 2) * 100)
        both = left[first * 480: last * 480]
        for freq, (_, amplitude) in tones.items():
            blocks = block_amplitudes(both, freq)
            worst = min(range(len(blocks)), key=lambda i: blocks[i])
            self.assertGreater(blocks[worst], amplitude * 0.99, "%d Hz: gap at block %d" % (freq, first + worst))
            self.assertLess(max(blocks), amplitude * 1.01)
            # A frame lost, repeated or stretched in either tone, or one drifting from the other, moves a phase.
            self.assertLess(spread(block_phases(both, freq)), 0.02, "%d Hz moved in phase" % freq)
        # The capture against the sink's own monitor, at the tone of that sink: the cross-correlation's
        # phase stays put, so the capture neither drifts from the sink's clock nor slips against it.
        on = [i for i, a in enumerate(block_amplitudes(reference, 400)) if a > tones[400][1] / 2]
        mine = block_phases(both, 400)
        theirs = block_phases(reference[(on[0] + 2) * 480: (on[-1] - 1) * 480], 400)
        count = min(len(mine), len(theirs))
        self.assertGreater(count, (seconds - 2) * 100)
        self.assertLess(spread([a - b for a, b in zip(mine[:count], theirs[:count])]), 0.02)


if __name__ == "__main__":
    run(sys.modules[__name__], [PulseCapture, ServerLifetime], MinuteLongTones)
