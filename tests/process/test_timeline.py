"""The stream keeps real time: stretches in which the engine hands out nothing, and audio it drops when its
reader falls behind, arrive as zero frames of their length, so every frame stands at its own time; a live
reader sees silence flow while nothing plays. Checked with the ramp, whose value is the engine's time."""

import os
import select
import signal
import time
import unittest

from tests.process.helperlib import (CAPTURE_WAIT, FRAME, HEADER, RAMP_PERIOD, SHUTDOWN, WINE, Helper, RampVerifier,
                       activation_trace, check_trace, ramp_timeline, read_trace, setup_lines, sim_with_trace,
                       stderr_bytes, SET_UP_CALLS)
from tests.process import helperlib

PID = 1122
PACKET = 480
MS = 48  # frames per millisecond
QUIET = [(500, 300), (1500, 2000), (4000, 7000)]  # engine ms: from, length
PACKETS = 1600  # 16 s of engine time
PAUSE_AT_MS, PAUSE_S = 11500, 3.5  # the reader stops here for longer than the helper's 2 s ring holds
SIM = "source=ramp,period=10,frames=%d,capacity=%d,jitter=2000,packets=%d,%s" % (
    PACKET, 10 * PACKET, PACKETS, ",".join("quiet=%d:%d" % stretch for stretch in QUIET))
LONGEST_PAUSE = 1.0  # seconds without a byte while the engine is quiet
EMPTY_WAKE_PAUSE = 0.7  # the same while the engine signals with nothing ready
INVALIDATED_END = 4.0 if WINE else 1.5  # seconds from the last packet to the exit: one wait, and slack


class TimelineTests(helperlib.TempDirMixin, unittest.TestCase):
    def capture(self, sim, packets, pause_at_ms=None):
        """Runs the helper until `packets` packets' worth of frames are in, reading as a live reader does
        (pausing once at `pause_at_ms`), stops it and checks every frame against its time. Returns the
        payload and (arrival time, stream frames so far) for every read."""
        helper = Helper(self, args=[str(PID)], sim=sim, stdout="manual")
        helper.wait_line(15)
        total = packets * PACKET
        data, arrivals = self.read_stream(helper, total, packets, pause_at_ms)
        helper.signal(signal.SIGINT)
        helperlib.read_rest(helper, data)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)), helperlib.describe_lines(helper.err))
        self.assertEqual(bytes(data[:len(HEADER)]), HEADER)
        payload = bytes(data[len(HEADER):])

        # Every slot of a packet is the ramp at its own time, or zeros; the length is the engine's time.
        ramp_timeline(self, payload[:total * FRAME], PACKET)
        tail = payload[total * FRAME:]
        self.assertLessEqual(len(tail), PACKET * FRAME, "%d frames after the last packet" % (len(tail) // FRAME))
        self.assertEqual(tail, bytes(len(tail)), "audio after the last packet")
        return payload, arrivals

    def read_stream(self, helper, until_frames, packets, pause_at_ms):
        fd = helper.proc.stdout.fileno()
        data, arrivals, paused = bytearray(), [], pause_at_ms is None
        deadline = time.monotonic() + packets / 100 + PAUSE_S + helperlib.START_SLACK
        while (len(data) - len(HEADER)) // FRAME < until_frames:
            self.assertLess(time.monotonic(), deadline, "only %d bytes arrived" % len(data))
            if not paused and (len(data) - len(HEADER)) // FRAME >= pause_at_ms * MS:
                paused = True
                time.sleep(PAUSE_S)
            if not select.select([fd], [], [], 1.0)[0]:
                continue
            chunk = os.read(fd, 1 << 16)
            self.assertTrue(chunk, "stdout ended early")
            data += chunk
            arrivals.append((time.monotonic(), (len(data) - len(HEADER)) // FRAME))
        return data, arrivals

    def test_quiet_stretches_and_losses_keep_every_frame_at_its_time(self):
        payload, arrivals = self.capture(SIM, PACKETS, PAUSE_AT_MS)

        # Zeros exactly where the engine was quiet, and one run where it dropped audio for the paused reader.
        slot = PACKET * FRAME
        zero = {i for i in range(PACKETS) if payload[i * slot:(i + 1) * slot] == bytes(slot)}
        quiet = {i for start, length in QUIET for i in range(start * MS // PACKET, (start + length) * MS // PACKET)}
        self.assertEqual(quiet - zero, set(), "audio where the engine was quiet")
        lost = sorted(zero - quiet)
        self.assertTrue(lost, "nothing was lost to the paused reader")
        self.assertGreaterEqual(lost[0], PAUSE_AT_MS * MS // PACKET, "audio lost before the reader paused")
        self.assertEqual(lost, list(range(lost[0], lost[-1] + 1)), "audio lost in more than one place")

        # A live reader sees the long quiet stretch flow, never waiting long for the next zeros.
        start, end = QUIET[2][0] * MS, (QUIET[2][0] + QUIET[2][1]) * MS
        during = [at for at, frames in arrivals if start <= frames <= end]
        before = max(at for at, frames in arrivals if frames < start)
        after = min(at for at, frames in arrivals if frames > end)
        times = [before] + during + [after]
        longest = max(b - a for a, b in zip(times, times[1:]))
        print("\ntimeline: %d packets lost to the paused reader; longest wait in the 7 s quiet %.2f s"
              % (len(lost), longest))
        self.assertLess(longest, LONGEST_PAUSE, "the reader waited %.2f s for silence" % longest)

    def test_a_quiet_start_is_silence_from_the_start(self):
        # Frame 0 stands for the start of capture, even when nothing plays then.
        payload, _ = self.capture("source=ramp,period=10,frames=%d,packets=200,quiet=0:1500" % PACKET, 200)
        quiet = 1500 * MS * FRAME
        self.assertEqual(payload[:quiet], bytes(quiet), "audio during the quiet start")
        self.assertNotEqual(payload[quiet:quiet + PACKET * FRAME], bytes(PACKET * FRAME), "no audio after it")


    @unittest.skipIf(WINE, "rate arithmetic, the same on every build; Wine gets stalls in slow_reader")
    def test_quiet_and_a_stalled_reader_count_in_the_streams_own_rate(self):
        # At 16 kHz mono and 44.1 kHz stereo: a quiet stretch is zeros of exactly its length in the stream's
        # frames, and a reader stalled longer than the 2 s ring loses one run of audio, written as zeros of
        # its length, so every later frame still stands at its time.
        quiet_from, quiet_ms, packets, pause_at_ms, pause_s = 500, 700, 500, 2000, 3.0
        for rate, channels in ((16000, 1), (44100, 2)):
            with self.subTest(rate=rate, channels=channels):
                frame, packet, per_ms = 4 * channels, rate // 100, rate / 1000
                # The engine holds ten packets, as above: a loaded machine (Wine, mutation workers) may hold
                # the capture up for longer than 20 ms, and only the stalled reader may lose audio here.
                sim = "source=ramp,period=10,packets=%d,capacity=%d,quiet=%d:%d" % (
                    packets, 10 * packet, quiet_from, quiet_ms)
                args = [str(PID), "--rate=%d" % rate, "--channels=%d" % channels]
                helper = Helper(self, args=args, sim=sim, stdout="manual")
                helper.wait_line(15)
                data = helperlib.read_until(self, helper, len(HEADER) + packets * packet * frame, packets / 100,
                                            len(HEADER) + pause_at_ms * per_ms * frame, pause_s)
                helper.signal(signal.SIGINT)
                helperlib.read_rest(helper, data)
                self.assertEqual(helper.finish(), 0)
                self.assertEqual(bytes(data[:len(HEADER)]), helperlib.format_header(rate, channels))
                payload = bytes(data[len(HEADER):])
                slot = packet * frame
                zero = set()
                for i in range(packets):
                    got = payload[i * slot:(i + 1) * slot]
                    if got == bytes(slot):
                        zero.add(i)
                    else:
                        self.assertEqual(got, helperlib.format_ramp(i * packet, packet, channels),
                                         "packet %d is not the ramp at its time" % i)
                quiet = set(range(quiet_from // 10, (quiet_from + quiet_ms) // 10))
                self.assertEqual(quiet - zero, set(), "audio where the engine was quiet")
                lost = sorted(zero - quiet)
                self.assertTrue(lost, "nothing was lost to the stalled reader")
                self.assertGreaterEqual(lost[0], pause_at_ms // 10, "audio lost before the reader stalled")
                self.assertEqual(lost, list(range(lost[0], lost[-1] + 1)), "audio lost in more than one place")

    def full_speed(self, sim, plan, table):
        """Runs the helper at full speed until every packet of `plan` ((first frame, frames, quiet) per
        packet) is in, checking each frame as it arrives: the ramp at its own time, or zeros where the engine
        was quiet. Returns the seconds it took."""
        verifier = RampVerifier(plan, RAMP_PERIOD, table)
        helper = Helper(self, args=[str(PID)], sim=sim, stdout="manual")
        fd = helper.proc.stdout.fileno()
        started = last = time.monotonic()
        buffer = bytearray(1 << 20)
        while not verifier.complete():
            self.assertLess(time.monotonic() - last, helperlib.PROCESS_TIMEOUT,
                            "stuck at stream byte %d" % verifier.position)
            if not select.select([fd], [], [], 1.0)[0]:
                continue
            size = os.readv(fd, [buffer])
            self.assertGreater(size, 0, "stdout ended at byte %d" % verifier.position)
            verifier.feed(buffer, size)
            last = time.monotonic()
        took = time.monotonic() - started
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        return took

    @unittest.skipIf(WINE, "two hours of engine time, one thread's arithmetic, the same on every build")
    def test_drift_and_jitter_at_full_speed_put_no_zero_into_continuous_sound(self):
        # Two hours of engine time whose clock runs 300 ppm off the counter either way, quiet for 7 s every
        # 10 minutes; and 4 ms of jitter on packets flagged as discontinuities. The stream must be the ramp
        # frame for frame, with zeros exactly where the engine was quiet.
        hours = 2
        every, length = 600000, 7000  # engine ms
        quiet = [(start, length) for start in range(every - length, hours * 3600000, every)]
        stretches = ",".join("quiet=%d:%d" % stretch for stretch in quiet)
        losses = {minute * 6000 + 3000: 1 + minute % 2 for minute in range(hours * 60)}  # after packet: lost
        cases = [
            ("+300 ppm", "drift=300," + stretches, hours * 360000),
            ("-300 ppm, no device positions", "drift=-300,device_position=none," + stretches, hours * 360000),
            ("4 ms jitter, flagged", "jitter=4000,discontinuity_every=3", 60000),
            ("4 ms jitter, flagged, no device positions", "jitter=4000,discontinuity_every=3,device_position=none",
             60000),
            # As Windows gives them: no device positions, one or two packets lost every minute without a flag.
            ("4 ms jitter, unflagged losses", "jitter=4000," + ",".join(
                "drop_unflagged=%d:%d" % loss for loss in losses.items()), hours * 360000),
        ]
        table = helperlib.ramp_bytes(0, RAMP_PERIOD)
        for name, items, packets in cases:
            with self.subTest(name):
                silent = set()
                if "quiet" in items:
                    silent = {n for start, length in quiet for n in range(start // 10, (start + length) // 10)}
                plan = [(n * PACKET, PACKET, n in silent) for n in range(packets)]
                if "drop_unflagged" in items:
                    # The packet after a loss stands in the first lost slot, and the next, which shows the loss,
                    # comes after zeros of its length: zeros within a packet of where the audio was lost.
                    for after, count in losses.items():
                        plan[after:after + count + 1] = [plan[after + count]] + [(0, PACKET, True)] * count
                while plan[-1][2]:
                    plan.pop()  # quiet at the end has no packet to follow
                sim = "source=ramp,period=0,burst=8,frames=%d,packets=%d,%s" % (PACKET, packets, items)
                took = self.full_speed(sim, plan, table)
                print("\ntimeline: %s, %.1f h of engine time in %.1f s" % (name, packets * PACKET / 48000 / 3600,
                                                                         took))

    def test_stamps_on_a_wrong_base_are_left_for_the_frame_count(self):
        # Every stamp 2 s off the counter, either way: no zeros at the start, and after 1.5 s of quiet the
        # ramp comes back within 30 ms of its time (the quiet is filled by the counter).
        for offset in (2000, -2000):
            with self.subTest(offset=offset):
                helper = Helper(self, args=[str(PID)], stdout="manual",
                                sim="source=ramp,period=10,packets=300,quiet=1000:1500,stamp_offset=%d" % offset)
                data = helperlib.read_until(self, helper, len(HEADER) + 300 * PACKET * FRAME, 3)
                helper.signal(signal.SIGINT)
                helperlib.read_rest(helper, data)
                self.assertEqual(helper.finish(), 0)
                payload = bytes(data[len(HEADER):])
                second = 1000 * MS
                self.assertEqual(payload[:second * FRAME], helperlib.ramp_bytes(0, second), "the first second")
                back = next(i for i in range(second, len(payload) // FRAME) if payload[i * FRAME:(i + 1) * FRAME] != bytes(FRAME))
                resumed = 2500 * MS
                rest = min(len(payload) // FRAME - back, 300 * PACKET - resumed)
                self.assertEqual(payload[back * FRAME:(back + rest) * FRAME], helperlib.ramp_bytes(resumed, rest))
                print("\ntimeline: stamps %+d ms off the counter: the ramp after 1.5 s of quiet stands %+.1f ms off "
                      "its time" % (offset, (back - resumed) / MS))
                self.assertLessEqual(abs(back - resumed), 30 * MS)

    @unittest.skipIf(WINE, "a real-time bound with 0.1 s to spare, more than Wine's scheduling leaves")
    def test_empty_wake_ups_still_let_silence_flow(self):
        # The engine signals every 100 ms with nothing ready through 30 s of quiet: the reader still sees
        # the stream's time keep up with the clock, and no empty wake-up asks for a packet.
        trace = self.temp_path("trace")
        quiet_ms, packets = 30000, 3100
        sim = sim_with_trace("source=ramp,period=10,frames=%d,packets=%d,quiet=500:%d,empty_wakes=100"
                             % (PACKET, packets, quiet_ms), trace)
        payload, arrivals = self.capture(sim, packets)
        start, end = 500 * MS, (500 + quiet_ms) * MS
        during = [at for at, frames in arrivals if start <= frames <= end]
        before = max((at for at, frames in arrivals if frames < start), default=arrivals[0][0])
        after = min((at for at, frames in arrivals if frames > end), default=arrivals[-1][0])
        times = [before] + during + [after]
        longest = max(b - a for a, b in zip(times, times[1:]))
        print("\ntimeline: empty wake-ups every 100 ms for %d s of quiet; longest wait for the stream %.2f s"
              % (quiet_ms // 1000, longest))
        self.assertLess(longest, EMPTY_WAKE_PAUSE, "the reader waited %.2f s for time to pass" % longest)
        zero = bytes(PACKET * FRAME)
        slots = [payload[i:i + len(zero)] == zero for i in range(0, packets * PACKET * FRAME, len(zero))]
        self.assertEqual([i for i, z in enumerate(slots) if z != (50 <= i < 50 + quiet_ms // 10)], [])
        self.assertNotIn("GetBuffer with nothing ready", read_trace(trace))

    def test_an_invalidation_without_a_signal_ends_capture(self):
        # The stream dies after 50 packets and the event never comes again: the next timed-out wait's
        # packet-size query sees it, and the helper ends in order with exit 0 and no message.
        trace = self.temp_path("trace")
        helper = Helper(self, args=[str(PID)], sim=sim_with_trace("source=ramp,period=10,invalidate_after=50", trace),
                        stdout="manual")
        fd = helper.proc.stdout.fileno()
        data = bytearray()
        while len(data) < len(HEADER) + 50 * PACKET * FRAME:
            self.assertTrue(select.select([fd], [], [], helperlib.PROCESS_TIMEOUT)[0], "the packets never came")
            chunk = os.read(fd, 1 << 16)
            self.assertTrue(chunk, "stdout ended early")
            data += chunk
        last = time.monotonic()
        while True:
            left = last + INVALIDATED_END - time.monotonic()
            self.assertTrue(left > 0 and select.select([fd], [], [], left)[0], "still running after %.1f s, %d "
                            "bytes after the last packet" % (INVALIDATED_END, len(data) - 50 * PACKET * FRAME))
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            data += chunk
        self.assertEqual(helper.finish(), 0)
        took = time.monotonic() - last
        print("\ntimeline: a silent invalidation ended the helper %.2f s after the last packet" % took)
        self.assertLess(took, INVALIDATED_END)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)), helperlib.describe_lines(helper.err))
        self.assertEqual(bytes(data), HEADER + helperlib.ramp_bytes(0, 50 * PACKET), "not the 50 packets alone")
        check_trace(self, read_trace(trace), activation_trace(PID) + SET_UP_CALLS + [CAPTURE_WAIT] + SHUTDOWN
                    + ["live operation=0 client=0 capture=0 com=0", "handler refs=1"])


if __name__ == "__main__":
    helperlib.main()
