"""Readers that stall. The engine's buffer holds 20 ms, as on Windows; the helper gives each packet back at
once and keeps what the reader has not taken in a ring of 2 s. A stall shorter than that loses nothing; a
longer one loses the newest audio, which comes as zeros of its length once the reader reads again, so every
frame still stands at its time. Memory stays flat, and a stop ends the helper while the reader stalls."""

import os
import select
import signal
import time
import unittest

from tests.process.helperlib import FRAME, HEADER, WINE, Helper, blocked_on_stdout, proc_status, ramp_timeline, setup_lines, stderr_bytes
from tests.process import helperlib

PID = 2024
PACKET = 480
SIM = "source=ramp,period=10,frames=%d,capacity=960" % PACKET
PACKET_BYTES = PACKET * FRAME
MS = 48  # frames per millisecond
STOP_LIMIT = 2.0 if WINE else 0.5  # seconds from a stop request to the exit, the reader stalled


class StallTests(unittest.TestCase):
    """On both builds: a reader that pauses on a schedule, and one that stops reading and is stopped."""

    def run_reader(self, stalls, seconds, stop_stalled=False):
        """Reads the helper's stream for `seconds` of stream time, pausing (at stream ms, for s) as
        `stalls` says; with `stop_stalled` the last stall ends in a stop request. Returns the payload and the
        seconds the stop took."""
        helper = Helper(self, args=[str(PID)], sim=SIM, stdout="manual")
        fd = helper.proc.stdout.fileno()
        helper.wait_line(15)
        data, pending, took = bytearray(), sorted(stalls), None
        deadline = time.monotonic() + seconds + sum(pause for _, pause in stalls) + helperlib.START_SLACK
        while (len(data) - len(HEADER)) // FRAME < seconds * 48000:
            self.assertLess(time.monotonic(), deadline, "only %d bytes arrived" % len(data))
            if pending and (len(data) - len(HEADER)) // FRAME >= pending[0][0] * MS:
                _, pause = pending.pop(0)
                time.sleep(pause)
                if stop_stalled and not pending:
                    helper.signal(signal.SIGINT)
                    asked = time.monotonic()
                    helper.finish(timeout=helperlib.PROCESS_TIMEOUT)
                    took = helper.ended - asked
                    break
            if select.select([fd], [], [], 1.0)[0]:
                chunk = os.read(fd, 1 << 16)
                self.assertTrue(chunk, "stdout ended early")
                data += chunk
        if took is None:
            helper.signal(signal.SIGINT)
        helperlib.read_rest(helper, data)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)))
        self.assertEqual(bytes(data[:len(HEADER)]), HEADER)
        return bytes(data[len(HEADER):]), took

    def test_stalls_shorter_than_the_ring_lose_nothing_a_longer_one_keeps_time(self):
        cases = [
            ("0.3 s every 2 s", [(ms, 0.3) for ms in range(1000, 9000, 2000)], 10, 0),
            ("1.5 s once", [(1000, 1.5)], 4, 0),
            ("5 s once", [(1000, 5.0)], 8, 1),
        ]
        for name, stalls, seconds, runs in cases:
            with self.subTest(name):
                payload, _ = self.run_reader(stalls, seconds)
                # Every slot the ramp at its own time, or zeros: the zeros stand for exactly what was lost.
                self.assertEqual(ramp_timeline(self, payload, PACKET), runs, "runs of zeros")
                zero = bytes(PACKET_BYTES)
                lost = sum(payload[i:i + PACKET_BYTES] == zero for i in range(0, len(payload), PACKET_BYTES))
                print("\nstall %s: %d ms of %d s lost" % (name, lost * 10, seconds))

    def test_a_stop_ends_the_helper_while_its_reader_stalls(self):
        _, took = self.run_reader([(1000, 3.0)], 4, stop_stalled=True)
        print("\nstop with a stalled reader: %.3f s" % took)
        if not helperlib.SANITIZED:
            self.assertLess(took, STOP_LIMIT)


@unittest.skipIf(WINE, "reads /proc of the helper itself")
class SlowReaderTests(unittest.TestCase):
    def read_until(self, helper, data, size, timeout):
        fd = helper.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while len(data) < size:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, "only %d of %d bytes arrived" % (len(data), size))
            if select.select([fd], [], [], min(left, 1.0))[0]:
                chunk = os.read(fd, 1 << 16)
                self.assertTrue(chunk, "stdout ended early")
                data += chunk

    def read_to_end(self, helper, data):
        fd = helper.proc.stdout.fileno()
        while select.select([fd], [], [], 30)[0]:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return
            data += chunk
        self.fail("stdout did not end")

    @unittest.skipIf(helperlib.SANITIZED, "a sanitizer's shadow memory is not the program's")
    def test_a_long_stall_keeps_memory_flat(self):
        # The engine makes 500 packets while the reader stalls: the ring is full after 2 s, and what does not
        # fit is counted, not kept.
        helper = Helper(self, args=[str(PID)], sim=SIM, stdout="manual")
        helper.wait_line(15)
        data = bytearray()
        self.read_until(helper, data, len(HEADER) + 50 * PACKET_BYTES, 30)
        before = proc_status(helper.pid)
        time.sleep(5)
        self.assertTrue(blocked_on_stdout(helper.pid), "the helper was not held up by the pipe")
        self.read_until(helper, data, len(data) + 1000 * PACKET_BYTES, 30)
        after = proc_status(helper.pid)
        helper.signal(signal.SIGINT)
        self.read_to_end(helper, data)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(data[:len(HEADER)]), HEADER)
        self.assertEqual(ramp_timeline(self, bytes(data[len(HEADER):]), PACKET), 1, "not one run of zeros")
        grown = after["VmHWM"] - before["VmHWM"]
        print("\nslow reader: VmRSS %d -> %d kB, VmHWM %d -> %d kB"
              % (before["VmRSS"], after["VmRSS"], before["VmHWM"], after["VmHWM"]))
        self.assertLess(grown, 1024, "peak memory grew by %d kB during the stall" % grown)

    def test_stop_while_blocked_on_a_full_pipe(self):
        helper = Helper(self, args=[str(PID)], sim=SIM, stdout="manual")
        helper.wait_line(15)
        deadline = time.monotonic() + 30
        while not blocked_on_stdout(helper.pid):
            self.assertLess(time.monotonic(), deadline, "the pipe never filled")
            time.sleep(0.02)
        helper.signal(signal.SIGINT)
        # The pending write gives way to the stop: the helper ends while the pipe is still full, and what
        # it wrote is whole frames.
        self.assertEqual(helper.finish(), 0)
        data = bytearray()
        self.read_to_end(helper, data)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)))
        self.assertEqual(bytes(data[:len(HEADER)]), HEADER)
        ramp_timeline(self, bytes(data[len(HEADER):]), PACKET)


if __name__ == "__main__":
    helperlib.main()
