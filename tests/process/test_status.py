"""The status channel (--status-fd): events as JSON Lines, in order and with their fields; sync pairs on the
engine's stamps; levels of a known tone; gaps counted exactly where audio was lost, and only there; and a
channel nobody reads never holds up the audio stream. Under Wine the descriptor is 3, passed as Node passes it,
through the C runtime of a Windows parent (status_parent.cpp) that copies the lines into a file."""

import fcntl
import json
import math
import os
import select
import signal
import subprocess
import threading
import time
import unittest

from tests.process.helperlib import FRAME, HELPER, HEADER, WINE, Helper, TempDirMixin, windows_path
from tests.process import helperlib

PID = 4711
RATE = 48000
F_SETPIPE_SZ = 1031
TONE_PEAK_DB = 20 * math.log10(0.25)  # the simulated tone: a 440 Hz sine at 0.25
TONE_RMS_DB = 20 * math.log10(0.25 / math.sqrt(2))
STATUS_PARENT = os.environ.get("STATUS_PARENT", "")
# The clock's unit: the performance counter in 100 ns on Windows, CLOCK_MONOTONIC in ns on Linux.
UNIT, UNIT_NS = ("qpc-100ns", 100) if WINE else ("monotonic-ns", 1)


class StatusReader(threading.Thread):
    """Collects the lines of the status pipe until it ends."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd, self.data = fd, bytearray()
        self.start()

    def run(self):
        while True:
            chunk = os.read(self.fd, 1 << 16)
            if not chunk:
                return
            self.data += chunk

    def events(self):
        self.join(30)
        return parse_events(self.data)


class StatusFile:
    """The lines the Windows parent copied into a file, once the helper has ended."""

    def __init__(self, path):
        self.path = path

    def events(self):
        with open(self.path, "rb") as f:
            return parse_events(f.read())


def parse_events(data):
    text = data.decode("utf-8")
    assert text.endswith("\n"), "the channel ended inside a line: %r" % text[-80:]
    return [json.loads(line) for line in text.splitlines()]


def ramp_lost_runs(payload):
    """(first frame, frames) of every run of zero frames in a ramp stream, whose frames are never zero but
    at engine frame 0 (mod 2^24)."""
    runs, start = [], None
    frames = len(payload) // FRAME
    for i in range(frames):
        zero = payload[i * FRAME:(i + 1) * FRAME] == bytes(FRAME)
        if zero and start is None:
            start = i
        elif not zero and start is not None:
            runs.append((start, i - start))
            start = None
    if start is not None:
        runs.append((start, frames - start))
    return [run for run in runs if not (run[0] == 0 and run[1] == 1)]  # the ramp's own frame 0


class StatusTests(TempDirMixin, unittest.TestCase):
    def start(self, sim, extra=(), read_status=True, stdout="collect"):
        if WINE:
            path = self.temp_path("status.jsonl")
            helper = Helper(self, exe=STATUS_PARENT, args=[windows_path(path), windows_path(HELPER), str(PID),
                                                           "--status-fd", "3", "--stop-on-stdin-close"] + list(extra),
                            sim=sim, stdin=subprocess.PIPE, stdout=stdout)
            return helper, StatusFile(path), None
        read_end, write_end = os.pipe()
        self.addCleanup(lambda: os.close(read_end))
        helper = Helper(self, args=[str(PID), "--status-fd", str(write_end), "--stop-on-stdin-close"] + list(extra),
                        sim=sim, stdin=subprocess.PIPE, pass_fds=(write_end,), stdout=stdout)
        os.close(write_end)
        reader = StatusReader(read_end) if read_status else None
        return helper, reader, read_end

    def stop(self, helper):
        helper.proc.stdin.close()
        self.assertEqual(helper.finish(), 0, helperlib.describe_lines(helper.err))

    def test_events_order_fields_and_levels(self):
        helper, reader, _ = self.start("source=tone")
        helper.wait_stdout(len(HEADER) + int(2.3 * RATE) * FRAME)
        self.stop(helper)
        events = reader.events()
        names = [event["event"] for event in events]
        self.assertEqual(names[0], "start")
        self.assertEqual(names[-1], "end")
        self.assertEqual(set(names), {"start", "sync", "level", "end"}, names)
        start, end = events[0], events[-1]
        self.assertEqual((start["frame"], start["rate"], start["channels"], start["unit"]), (0, RATE, 2, UNIT))
        self.assertAlmostEqual(start["wall_ms"] / 1000, time.time(), delta=60)
        if not WINE:  # Wine's counter has a base of its own
            self.assertLessEqual(abs(start["clock"] - time.monotonic_ns()), 60 * 10**9)
        self.assertEqual(end["reason"], "stop")
        self.assertEqual(end["frames"], (len(helper.out) - len(HEADER)) // FRAME)
        levels = [event for event in events if event["event"] == "level"]
        self.assertEqual([event["frame"] for event in levels], [i * RATE // 10 for i in range(len(levels))])
        self.assertGreaterEqual(len(levels), 22)
        for event in levels:
            for peak, rms in zip(event["peak_db"], event["rms_db"]):
                self.assertAlmostEqual(peak, TONE_PEAK_DB, delta=0.1)
                self.assertAlmostEqual(rms, TONE_RMS_DB, delta=0.1)
        syncs = [event for event in events if event["event"] == "sync"]
        self.assertGreaterEqual(len(syncs), 3)
        # One pair a second: the first packet that reaches each whole second.
        for i, event in enumerate(syncs):
            self.assertLessEqual(event["frame"], i * RATE)
            self.assertGreater(event["frame"] + 480, i * RATE)

    def test_sync_pairs_follow_the_engines_stamps(self):
        # The engine stamps frame n at its start plus n / 48 kHz, running PPM off with drift: the pairs show
        # that drift, each within 2 ms of the engine's own stamp for its frame.
        for ppm in (0, 300, -300):
            with self.subTest(drift=ppm):
                helper, reader, _ = self.start("source=ramp,period=0,packets=2000,drift=%d" % ppm)
                helper.wait_stdout(len(HEADER) + 2000 * 480 * FRAME)
                self.stop(helper)
                events = reader.events()
                syncs = [event for event in events if event["event"] == "sync"]
                self.assertGreaterEqual(len(syncs), 15)
                first = syncs[0]
                # The engine starts its clock when it is started, just after the start event's reading.
                self.assertLess(abs((first["clock"] - events[0]["clock"]) * UNIT_NS - first["frame"] * 10**9 // RATE),
                                5 * 10**6, (events[0], first))
                for event in syncs:
                    frames = event["frame"] - first["frame"]
                    stamp = first["clock"] * UNIT_NS + frames * 10**9 // RATE * (10**6 + ppm) // 10**6
                    self.assertLess(abs(event["clock"] * UNIT_NS - stamp), 2 * 10**6, (ppm, event, first))

    def test_a_mix_of_trees_is_told_as_the_stream_carries_it(self):
        # Two included trees, one client each: the events follow the mixed stream, whose frames stand for the
        # start's clock plus their time, as no one engine's stamp fits the mix.
        helper, reader, _ = self.start("source=ramp,period=10,packets=300,capacity=48000",
                                       extra=["--include", "--pid", "4243"])
        helper.wait_stdout(len(HEADER) + int(2.2 * RATE) * FRAME, timeout=60)
        self.stop(helper)
        events = reader.events()
        self.assertEqual({event["event"] for event in events}, {"start", "sync", "level", "end"})
        levels = [event["frame"] for event in events if event["event"] == "level"]
        self.assertEqual(levels, [i * RATE // 10 for i in range(len(levels))])
        syncs = [event for event in events if event["event"] == "sync"]
        self.assertGreaterEqual(len(syncs), 2)
        for event in syncs:
            self.assertLessEqual(abs((event["clock"] - events[0]["clock"]) * UNIT_NS - event["frame"] * 10**9 // RATE),
                                 UNIT_NS, event)
        self.assertEqual(events[-1]["frames"], (len(helper.out) - len(HEADER)) // FRAME)

    def lost_audio(self, sim, disturb):
        """Runs a real-time ramp, disturbs it with disturb(helper), stops it; returns the zero runs of the
        stream and the gap events."""
        helper, reader, _ = self.start(sim, stdout="manual")
        data = bytearray()
        fd = helper.proc.stdout.fileno()

        def read_until(frames):
            deadline = time.monotonic() + helperlib.START_SLACK
            while (len(data) - len(HEADER)) // FRAME < frames:
                self.assertLess(time.monotonic(), deadline)
                if select.select([fd], [], [], 1.0)[0]:
                    data.extend(os.read(fd, 1 << 16))
        read_until(RATE)
        disturb(helper)
        # Past what the helper still held back: a stop gives up what the reader has not taken.
        read_until(len(data) // FRAME + 4 * RATE)
        helper.proc.stdin.close()
        helperlib.read_rest(helper, data)
        self.assertEqual(helper.finish(), 0)
        gaps = [event for event in reader.events() if event["event"] == "gap"]
        return ramp_lost_runs(bytes(data[len(HEADER):])), gaps

    def test_gaps_are_counted_exactly(self):
        def freeze(helper):  # the whole process stops: the engine's buffer overflows meanwhile
            helper.signal(signal.SIGSTOP)
            time.sleep(0.4)
            helper.signal(signal.SIGCONT)

        def stall(helper):  # the reader stops for longer than the helper's 2 s ring holds
            time.sleep(3.0)

        # (case, scenario, disturbance, the cause it makes, or None with the quiet stretches in ms). A busy
        # machine may hold the capture up and overflow the engine anywhere: that is a real gap too, so every
        # run of lost audio must be a gap event and every gap event such a run.
        rows = [] if WINE else [  # under Wine a signal stops only the runner
            # An engine buffer of one packet: the burst that catches up after the freeze overflows it.
            ("engine overflow", "source=ramp,period=10,capacity=480", freeze, "engine-overflow"),
        ]
        rows += [
            ("unflagged loss", "source=ramp,period=10,drop_unflagged=150:1", lambda helper: None, "unflagged-loss"),
            ("stalled reader", "source=ramp,period=10", stall, "stalled-reader"),
            ("silence that nothing played", "source=ramp,period=10,quiet=1500:300,quiet=2000:900",
             lambda helper: None, None),
        ]
        for name, sim, disturb, cause in rows:
            with self.subTest(name):
                runs, gaps = self.lost_audio(sim, disturb)
                reported = [(gap["frame"], gap["frames"]) for gap in gaps]
                self.assertEqual([run for run in reported if run not in runs], [], (runs, gaps))
                unreported = [run for run in runs if run not in reported]
                if cause:
                    self.assertIn(cause, {gap["cause"] for gap in gaps}, gaps)
                    self.assertEqual(unreported, [], gaps)
                else:
                    # The quiet stretches are zeros of their own, and no gap.
                    self.assertEqual([run for run in unreported if run[0] >= 1500 * 48], [(72000, 14400), (96000, 43200)],
                                     (runs, gaps))

    @unittest.skipIf(WINE, "the root must be a Windows process there")
    def test_a_root_process_ending_is_told_and_capture_goes_on(self):
        root = subprocess.Popen(["sleep", "60"])
        self.addCleanup(lambda: root.poll() is None and (root.kill(), root.wait()))
        read_end, write_end = os.pipe()
        self.addCleanup(lambda: os.close(read_end))
        helper = Helper(self, args=[str(root.pid), "--status-fd", str(write_end), "--stop-on-stdin-close"],
                        sim="source=tone", stdin=subprocess.PIPE, pass_fds=(write_end,))
        os.close(write_end)
        reader = StatusReader(read_end)
        helper.wait_stdout(len(HEADER) + RATE // 2 * FRAME)
        root.kill()
        root.wait()
        ended_at = len(helper.out)
        helper.wait_stdout(ended_at + RATE * FRAME)
        self.stop(helper)
        events = reader.events()
        trees = [event for event in events if event["event"] == "tree"]
        self.assertEqual([event["pid"] for event in trees], [root.pid])
        self.assertLessEqual(trees[0]["frame"], (ended_at - len(HEADER)) // FRAME + RATE // 2)
        self.assertEqual(events[-1]["reason"], "stop")

    def test_silent_capture_is_raised_and_cleared(self):
        # (case, stretch in engine ms, whether it is a silent capture): the capture hears nothing while the
        # render meters show a session playing (unheard); 3 s of that is a silent capture. Quiet that nothing
        # played is none.
        rows = [("5 s unheard", "unheard", (1000, 5000), True), ("2 s unheard", "unheard", (1000, 2000), False),
                ("5 s of nothing played", "quiet", (1000, 5000), False)]
        for name, key, (start, length), raised in rows:
            with self.subTest(name):
                helper, reader, _ = self.start("source=tone,period=10,%s=%d:%d" % (key, start, length))
                helper.wait_stdout(len(HEADER) + (start + length + 1000) * 48 * FRAME, timeout=helperlib.START_SLACK + 10)
                self.stop(helper)
                events = [event for event in reader.events() if event["event"].startswith("silent-capture")]
                if not raised:
                    self.assertEqual(events, [])
                    continue
                self.assertEqual([event["event"] for event in events], ["silent-capture", "silent-capture-end"])
                begin, end = events
                self.assertGreaterEqual(begin["silent_ms"], 3000)
                # Raised 3 s into the stretch, cleared when it ends (a watch every 250 ms, and slack).
                self.assertAlmostEqual(begin["frame"] / RATE, (start + 3000) / 1000, delta=0.8)
                self.assertAlmostEqual(end["frame"] / RATE, (start + length) / 1000, delta=0.8)
                self.assertEqual(end["since_frame"], begin["frame"])

    def test_failures_are_told_with_their_call_and_status(self):
        # (case, scenario, exit code, the error events' call and status, the end's reason)
        rows = [
            ("Initialize refused", "initialize=0x88890008", 5,
             [("IAudioClient::Initialize", "0x88890008", "AUDCLNT_E_UNSUPPORTED_FORMAT")], "set-up failed"),
            ("Start refused", "start=0x80004005", 7, [("IAudioClient::Start", "0x80004005", "E_FAIL")], "set-up failed"),
            ("activation failed", "result=0x80070005", 4,
             [("ActivateCompleted", "0x80070005", "E_ACCESSDENIED")], "set-up failed"),
            ("a failed read, then the device gone", "source=ramp,period=2,capacity=96000,fail_buffer_at=3,fail_size_after=20", 0,
             [("IAudioCaptureClient::GetBuffer", "0x88890018", "AUDCLNT_E_BUFFER_OPERATION_PENDING"),
              ("IAudioCaptureClient::GetNextPacketSize", "0x88890004", "AUDCLNT_E_DEVICE_INVALIDATED")], "device-lost"),
        ]
        for name, sim, code, errors, reason in rows:
            with self.subTest(name):
                helper, reader, _ = self.start(sim)
                self.assertEqual(helper.finish(), code, helperlib.describe_lines(helper.err))
                events = reader.events()
                self.assertEqual([(e["call"], e["hresult"], e.get("text")) for e in events if e["event"] == "error"],
                                 errors, events)
                self.assertEqual(events[-1]["event"], "end")
                self.assertEqual(events[-1]["reason"], reason)
                if code:
                    self.assertEqual(events[-1]["exit"], code)

    @unittest.skipIf(WINE, "the Windows parent always reads")
    def test_an_unread_channel_never_slows_the_stream(self):
        # As fast as the reader takes it: the same audio with no channel, and with one nobody reads.
        sim = "source=ramp,period=0,packets=30000"
        total = len(HEADER) + 30000 * 480 * FRAME
        took = {}
        for channel in (False, True):
            if channel:
                helper, _, read_end = self.start(sim, read_status=False)
                fcntl.fcntl(read_end, F_SETPIPE_SZ, 4096)
            else:
                helper = Helper(self, args=[str(PID), "--stop-on-stdin-close"], sim=sim, stdin=subprocess.PIPE)
            helper.wait_line(15)
            began = time.monotonic()
            helper.wait_stdout(total)
            took[channel] = time.monotonic() - began
            helper.proc.stdin.close()
            self.assertEqual(helper.finish(), 0)
        print("300 s of audio: %.3f s without the channel, %.3f s with one nobody reads (ratio %.2f)"
              % (took[False], took[True], took[True] / took[False]))
        if not helperlib.SANITIZED:  # timed on the plain builds
            self.assertLess(took[True], 1.5 * took[False] + 0.5)


if __name__ == "__main__":
    helperlib.main()
