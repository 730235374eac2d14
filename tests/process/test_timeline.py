"""The stream keeps real time: stretches in which the engine hands out nothing, and audio it drops when its
reader falls behind, arrive as zero frames of their length, so every frame stands at its own time; a live
reader sees silence flow while nothing plays. Checked with the ramp, whose value is the engine's time."""

import os
import select
import signal
import time
import unittest

from helperlib import FRAME, HEADER, WINE, Helper, ramp_timeline, setup_lines, stderr_bytes
import helperlib

PID = 1122
PACKET = 480
MS = 48  # frames per millisecond
QUIET = [(500, 300), (1500, 2000), (4000, 7000)]  # engine ms: from, length
PACKETS = 1300  # 13 s of engine time
PAUSE_AT_MS, PAUSE_S = 11500, 1.0  # the reader stops for a while here, so the engine overflows
SIM = "source=ramp,period=10,frames=%d,capacity=%d,jitter=2000,packets=%d,%s" % (
    PACKET, 10 * PACKET, PACKETS, ",".join("quiet=%d:%d" % stretch for stretch in QUIET))
LONGEST_PAUSE = 1.0  # seconds without a byte while the engine is quiet


class TimelineTests(unittest.TestCase):
    def capture(self, sim, packets, pause_at_ms=None):
        """Runs the helper until `packets` packets' worth of frames are in, reading as a live reader does
        (pausing once at `pause_at_ms`), stops it and checks every frame against its time. Returns the
        payload and (arrival time, stream frames so far) for every read."""
        helper = Helper(self, args=[str(PID)], sim=sim, stdout="manual")
        helper.wait_line(15)
        total = packets * PACKET
        data, arrivals = self.read_stream(helper, total, packets, pause_at_ms)
        helper.signal(signal.SIGINT)
        fd = helper.proc.stdout.fileno()
        while select.select([fd], [], [], helperlib.PROCESS_TIMEOUT)[0]:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            data += chunk
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
        deadline = time.monotonic() + packets / 100 + helperlib.START_SLACK
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
        self.assertTrue(lost, "the engine never overflowed")
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


if __name__ == "__main__":
    helperlib.main()
