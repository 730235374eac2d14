"""The audio stream: every frame the engine hands out reaches stdout once, in order, whatever the packet
sizes, bursts, silences, empty packets and retried reads; a vanished device ends the capture by itself;
a reader that goes away does not."""

import array
import math
import os
import signal
import time
import unittest

from tests.process.helperlib import (FRAME, HEADER, WINE, Helper, TempDirMixin, check_trace, expected_stream, stream_difference,
                       full_trace, packet_plan, RampVerifier, read_trace, run_parallel, run_to_exit, setup_lines,
                       sim_with_trace, stderr_bytes, write_syscalls)
from tests.process import helperlib

PID = 31337

# (name, scenario, packet plan arguments: frames, packets, silent_every, zero_packet_at)
RAMP_CASES = [
    ("plain", "period=0,frames=480,packets=100", (480, 100)),
    ("odd packet size", "period=0,frames=7,packets=300", (7, 300)),
    ("single frames", "period=0,frames=1,packets=200,burst=5", (1, 200)),
    ("bursts, silences and an empty packet",
     "period=0,frames=480,packets=60,burst=3,silent_every=4,zero_packet_at=10", (480, 60, 4, 10)),
    ("empty first packet", "period=0,frames=100,packets=20,zero_packet_at=1", (100, 20, 0, 1)),
    ("discontinuity with nothing lost", "period=0,frames=100,packets=50,discontinuity_at=5", (100, 50)),
    ("broken positions write no zeros",
     "period=0,frames=480,packets=40,bad_position=5:zero,bad_position=10:back,bad_position=11:day,"
     "bad_position=20:day,bad_position=30:back", (480, 40)),
    # Five times faster than real time: the engine is given 2 s, room for what a busy machine (or two mutation
    # workers, or a sanitizer) holds the capture up; what these rows test is the failures, not the deadline.
    ("failed read mid-burst comes again", "period=2,frames=480,packets=40,burst=3,capacity=96000,fail_buffer_at=8", (480, 40)),
    ("failed first read", "period=2,frames=480,packets=10,capacity=96000,fail_buffer_at=1", (480, 10)),
    # Inside a drain a failed packet-size query only ends the drain: the next wake-up goes on.
    ("passing size failure inside a drain", "period=0,frames=480,packets=40,burst=4,fail_size_once_after=6", (480, 40)),
]


class StreamTests(TempDirMixin, unittest.TestCase):
    def capture(self, sim, plan, timeout=None):
        """Runs a finite ramp scenario, waits for all of it, stops, and checks the whole output."""
        expected = HEADER + expected_stream(plan)
        helper = Helper(self, args=[str(PID)], sim=sim)
        helper.wait_line(15)
        helper.wait_stdout(len(expected), timeout)
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)), helperlib.describe_lines(helper.err))
        out = bytes(helper.out)
        if out != expected:
            self.fail(stream_difference(expected, out))

    def test_ramp_arrives_whole(self):
        for name, sim, plan in RAMP_CASES:
            with self.subTest(name):
                self.capture("source=ramp," + sim, list(packet_plan(*plan)))

    def test_silent_source_gives_zeros_never_junk(self):
        self.capture("source=silence,period=0,frames=480,packets=30", list(packet_plan(480, 30, silent_every=1)))

    def test_failed_read_comes_again_without_new_audio(self):
        # After a failed GetBuffer the packet is still queued; it must be read even when the engine has
        # nothing new to announce (as fast as the reader goes, or the last packet of a finite source).
        cases = [
            ("as fast as possible", "period=0,frames=480,packets=10,fail_buffer_at=3", (480, 10)),
            ("last packet", "period=2,frames=480,packets=10,capacity=96000,fail_buffer_at=10", (480, 10)),
        ]
        for name, sim, plan in cases:
            with self.subTest(name):
                self.capture("source=ramp," + sim, list(packet_plan(*plan)), timeout=20 if WINE else 10)

    def test_device_gone_ends_capture(self):
        # fail_size_after=N: after N packets every packet-size query fails; the helper stops by itself.
        cases = [
            ("on the clock", "period=2,frames=480,capacity=96000,fail_size_after=5", (480, 5)),
            ("inside a burst", "period=0,frames=480,burst=3,fail_size_after=4", (480, 4)),
            ("after a silent packet", "period=0,frames=256,silent_every=3,fail_size_after=6", (256, 6, 3)),
        ]
        traces = [self.temp_path("gone-%d.txt" % i) for i in range(len(cases))]
        results = run_parallel(lambda job: run_to_exit([str(PID)], sim=sim_with_trace("source=ramp," + job[0][1], job[1])),
                               list(zip(cases, traces)))
        for (name, _, plan), trace, result in zip(cases, traces, results):
            with self.subTest(name):
                code, out, err = result
                self.assertEqual(code, 0)
                self.assertEqual(err, stderr_bytes(setup_lines(PID)), helperlib.describe_lines(err))
                expected = HEADER + expected_stream(packet_plan(*plan))
                self.assertEqual(out, expected, stream_difference(expected, out))
                check_trace(self, read_trace(trace), full_trace(PID))

    def test_reader_that_goes_away(self):
        # Writes fail from then on; the capture goes on, silently, until a stop request.
        helper = Helper(self, args=[str(PID)], stdout="manual")
        helper.wait_line(15)
        got = 0
        while got < len(HEADER) + 10 * 480 * FRAME:
            chunk = os.read(helper.proc.stdout.fileno(), 65536)
            self.assertTrue(chunk, "stdout ended early")
            got += len(chunk)
        helper.proc.stdout.close()
        before = write_syscalls(helper.pid)
        deadline = time.monotonic() + (30 if WINE else 15)
        while write_syscalls(helper.pid) < before + 100:
            self.assertIsNone(helper.proc.poll(), "the helper ended when its reader went away")
            self.assertLess(time.monotonic(), deadline, "the helper stopped writing")
            time.sleep(0.05)
        self.assertIsNone(helper.proc.poll())
        self.assertEqual(helper.lines(), setup_lines(PID))
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)), helperlib.describe_lines(helper.err))


# (rate, channels, Initialize's flags and format in the engine's trace): formats a parent may ask for, each
# converted by the client.
FORMATS = [
    (16000, 1, "flags=0x88060000 duration=200000 periodicity=0 format=tag3/ch1/16000Hz/64000B/s/align4/bits32/cb0"),
    (44100, 2, "flags=0x88060000 duration=200000 periodicity=0 format=tag3/ch2/44100Hz/352800B/s/align8/bits32/cb0"),
]
OTHER_PID = 4243


class FormatTests(TempDirMixin, unittest.TestCase):
    def run_format(self, args, sim, frames, channels):
        """Runs the helper with `args` until `frames` frames are out, stops it; returns stdout and the trace."""
        trace = self.temp_path("trace-%d.txt" % len(os.listdir(self.temp_path("."))))
        helper = Helper(self, args=args, sim=sim_with_trace(sim, trace))
        helper.wait_line(15)
        helper.wait_stdout(len(HEADER) + frames * 4 * channels)
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID, len(args) + 1)),
                         helperlib.describe_lines(helper.err))
        return bytes(helper.out), read_trace(trace)

    def test_ramp_and_tone_at_the_rate_and_channels_asked_for(self):
        for rate, channels, initialize in FORMATS:
            with self.subTest(rate=rate, channels=channels):
                args = [str(PID), "--rate", str(rate), "--channels=%d" % channels]
                packet = rate // 100  # the engine's 10 ms packets, at the stream's rate
                out, trace = self.run_format(args, "source=ramp,period=0,packets=50", 50 * packet, channels)
                expected = helperlib.format_header(rate, channels) + helperlib.format_ramp(0, 50 * packet, channels)
                self.assertEqual(out[:len(expected)], expected, stream_difference(expected, out))
                self.assertEqual(out[len(expected):], bytes(len(out) - len(expected)), "audio after the last packet")
                self.assertIn("Initialize mode=0 " + initialize + " session=null", trace)
                self.assertIn("ActivateAudioInterfaceAsync pid=%d mode=1" % PID, trace)

                # 440 Hz at the stream's rate; mono the mean of two equal channels, so the tone itself.
                out, _ = self.run_format(args, "source=tone,period=0,packets=20", 20 * packet, channels)
                samples = array.array("f", out[len(HEADER):len(HEADER) + 20 * packet * 4 * channels])
                for n in range(0, 20 * packet):
                    want = 0.25 * math.sin(2 * math.pi * 440 * n / rate)
                    for c in range(channels):
                        self.assertAlmostEqual(samples[n * channels + c], want, delta=1e-6, msg="frame %d" % n)

    def test_included_trees_each_have_a_client_and_are_mixed(self):
        # Two trees, one client each in include mode, at 16 kHz mono: every client converts, and the stream is
        # the two engines' ramps summed frame for frame.
        rate, channels, initialize = FORMATS[0]
        args = [str(PID), "--include", "--pid", str(OTHER_PID), "--rate", str(rate), "--channels", str(channels)]
        frames, packet = 100 * rate // 100, rate // 100
        # The engines hold a second: Wine may take longer than their 20 ms to reach the capture loop.
        out, trace = self.run_format(args, "source=ramp,period=10,packets=100,capacity=16000", frames, channels)
        self.assertEqual(out[:len(HEADER)], helperlib.format_header(rate, channels))
        # Each engine's ramp counts from its own Start, which may come whole packets after the stream's
        # frame 0 (under Wine, tens of milliseconds apart): the stream is the two ramps, each at its time.
        got = array.array("f", out[len(HEADER):len(HEADER) + frames * 4])
        first = next(n for n, value in enumerate(got) if value != 0) - 1
        alone = next((n for n in range(first, frames) if got[n] != n - first), frames) - 1
        starts = (first, first if alone == frames - 1 else alone)
        for start in starts:
            self.assertEqual(start % packet, 0, "a ramp starts inside a packet: %s" % (starts,))
            self.assertLess(start, 50 * packet, "a client started late: %s" % (starts,))
        want = array.array("f", [float(max(n - starts[0], 0) + max(n - starts[1], 0)) for n in range(frames)])
        self.assertEqual(got, want, "not the two ramps summed, starting at frames %s" % (starts,))
        self.assertEqual([text for text in trace if text.startswith("ActivateAudioInterfaceAsync")],
                         ["ActivateAudioInterfaceAsync pid=%d mode=0" % pid for pid in (PID, OTHER_PID)])
        self.assertEqual([text for text in trace if text.startswith("Initialize")],
                         ["Initialize mode=0 " + initialize + " session=null"] * 2)
        self.assertEqual(trace[-2:], ["live operation=0 client=0 capture=0 com=0", "handler refs=1"])


class CheckerTests(unittest.TestCase):
    """The stream checker must see the faults the tests above rely on it to see."""

    PLAN = list(packet_plan(100, 12, silent_every=4, zero_packet_at=5))

    def verdict(self, data, step):
        verifier = RampVerifier(iter(self.PLAN), 4096)
        try:
            for start in range(0, len(data), step):
                verifier.feed(bytearray(data[start:start + step]))
        except AssertionError as error:
            return str(error)
        return "complete" if verifier.complete() else "incomplete"

    def test_faults_are_found_at_any_read_size(self):
        good = HEADER + expected_stream(self.PLAN)
        packet = 100 * FRAME
        flipped = bytearray(good)
        flipped[len(HEADER) + 250 * FRAME + 3] ^= 1
        junk = bytearray(good)
        junk[len(HEADER) + 3 * packet:len(HEADER) + 4 * packet] = b"\xa5" * packet
        cases = [
            (good, "complete"),
            (bytes(flipped), "in frame 250"),
            (good[:len(HEADER) + packet] + good[len(HEADER) + 2 * packet:], "in frame 100"),
            (good[:len(HEADER) + 2 * packet] + good[len(HEADER) + packet:], "in frame 200"),
            (bytes(junk), "junk"),
            (good + bytes(FRAME), "beyond the last packet"),
            (good[:-4], "incomplete"),
            (b"LBAS" + good[4:8] + b"\x01" + good[9:], "bad header"),
        ]
        for data, verdict in cases:
            for step in (7, 4096, len(data)):
                with self.subTest(verdict=verdict, step=step):
                    self.assertIn(verdict, self.verdict(data, step))


if __name__ == "__main__":
    helperlib.main()
