"""Readers that fall behind (native build): the engine's buffer overflows while the helper is blocked on
a full pipe. The stream must stay whole frames, audio the engine dropped must come as zeros of its length
so every frame still stands at its time, memory must stay flat, and a stop request must end the helper while
it waits for the pipe."""

import os
import select
import signal
import time
import unittest

from tests.process.helperlib import FRAME, HEADER, WINE, Helper, blocked_on_stdout, proc_status, ramp_timeline, setup_lines, stderr_bytes
from tests.process import helperlib

PID = 2024
PACKET = 480
SIM = "source=ramp,period=10,frames=%d,capacity=%d" % (PACKET, 5 * PACKET)
PACKET_BYTES = PACKET * FRAME


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

    def test_stalled_reader_gets_zeros_for_what_was_dropped(self):
        helper = Helper(self, args=[str(PID)], sim=SIM, stdout="manual")
        helper.wait_line(15)
        data = bytearray()
        self.read_until(helper, data, len(HEADER) + 50 * PACKET_BYTES, 30)
        # A first, short stall: the zeros for its loss grow the silence buffer to its one-write size, once.
        time.sleep(1)
        self.read_until(helper, data, len(data) + 500 * PACKET_BYTES, 30)
        before = proc_status(helper.pid)
        # The stall itself: the engine makes 300 packets and has room for 5 while the pipe stays full.
        time.sleep(3)
        self.assertTrue(blocked_on_stdout(helper.pid), "the helper was not held up by the pipe")
        resumed_at = len(data)
        self.read_until(helper, data, resumed_at + 100 * PACKET_BYTES, 30)
        after = proc_status(helper.pid)
        helper.signal(signal.SIGINT)
        self.read_to_end(helper, data)
        self.assertEqual(helper.finish(), 0)
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)))

        self.assertEqual(bytes(data[:len(HEADER)]), HEADER)
        gaps = ramp_timeline(self, bytes(data[len(HEADER):]), PACKET)
        self.assertGreaterEqual(gaps, 2, "the engine's buffer did not overflow in both stalls")
        grown = after["VmHWM"] - before["VmHWM"]
        print("\nslow reader: %d gaps, VmRSS %d -> %d kB, VmHWM %d -> %d kB"
              % (gaps, before["VmRSS"], after["VmRSS"], before["VmHWM"], after["VmHWM"]))
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
