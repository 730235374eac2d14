"""Soak (native): a day of audio, as fast as the engine and a real pipe allow, with bursts, silences, an
empty packet and a failed read on the way; every frame is checked against the ramp it must be."""

import fcntl
import os
import select
import signal
import sys
import time
import unittest

from tests.process.helperlib import (FRAME, HEADER, RAMP_PERIOD, WINE, Helper, RampVerifier, packet_plan, proc_status,
                       setup_lines, stderr_bytes)
from tests.process import helperlib

PID = 86400
PACKET = 4800
DAY_FRAMES = 48000 * 86400
ZERO_AT = 1000
SILENT_EVERY = 7
FAIL_BUFFER_AT = 5000
PACKETS = DAY_FRAMES // PACKET + 1  # one more for the empty packet
STALL_LIMIT = 30.0  # seconds without a byte: the helper is stuck
TIME_LIMIT = 540.0  # fail with a progress report before CTest's own timeout
F_SETPIPE_SZ = 1031


@unittest.skipIf(WINE, "native only")
class SoakTests(unittest.TestCase):
    def test_a_day_of_audio(self):
        plan = packet_plan(PACKET, PACKETS, SILENT_EVERY, ZERO_AT)
        verifier = RampVerifier(plan, RAMP_PERIOD)
        total = len(HEADER) + sum(count for _, count, _ in packet_plan(PACKET, PACKETS, 0, ZERO_AT)) * FRAME
        self.assertGreaterEqual((total - len(HEADER)) // FRAME, DAY_FRAMES)
        sim = ("source=ramp,period=0,frames=%d,burst=3,silent_every=%d,zero_packet_at=%d,fail_buffer_at=%d,"
               "packets=%d" % (PACKET, SILENT_EVERY, ZERO_AT, FAIL_BUFFER_AT, PACKETS))
        helper = Helper(self, args=[str(PID)], sim=sim, stdout="manual")
        fd = helper.proc.stdout.fileno()
        try:
            fcntl.fcntl(fd, F_SETPIPE_SZ, 1 << 20)  # fewer, larger reads
        except OSError:
            pass
        helper.wait_line(15)

        buffer = bytearray(1 << 20)
        seen = 0
        started = last_data = time.monotonic()
        baseline = None
        while seen < total:
            now = time.monotonic()
            self.assertLess(now - last_data, STALL_LIMIT, "no output for %.0f s at byte %d of %d (packet %d)"
                            % (now - last_data, seen, total, verifier.packets))
            self.assertLess(now - started, TIME_LIMIT, "only %d of %d bytes in %.0f s" % (seen, total, now - started))
            if not select.select([fd], [], [], 1.0)[0]:
                continue
            size = os.readv(fd, [buffer])
            self.assertGreater(size, 0, "stdout ended at byte %d of %d" % (seen, total))
            verifier.feed(buffer, size)
            seen += size
            last_data = time.monotonic()
            if baseline is None and seen > total // 10:
                baseline = proc_status(helper.pid)
        elapsed = time.monotonic() - started
        final = proc_status(helper.pid)

        # Nothing may follow the last packet: stop, and check the rest too.
        helper.signal(signal.SIGINT)
        while select.select([fd], [], [], 30)[0]:
            size = os.readv(fd, [buffer])
            if not size:
                break
            verifier.feed(buffer, size)
        self.assertEqual(helper.finish(), 0)
        self.assertTrue(verifier.complete())
        self.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(PID)))
        print("\nsoak: %d bytes (%d frames) in %.1f s, %.2f GB/s; helper VmHWM %d kB (%d kB at 10%%), VmRSS %d kB"
              % (total, (total - len(HEADER)) // FRAME, elapsed, total / elapsed / 1e9, final["VmHWM"],
                 baseline["VmHWM"], final["VmRSS"]), file=sys.stderr)
        self.assertLess(final["VmHWM"] - baseline["VmHWM"], 2048, "the helper's memory grew during the soak")


if __name__ == "__main__":
    helperlib.main()
