"""A live capture stopped by a signal still leaves a valid WAV of everything that was read."""

import os
import signal
import subprocess
import threading
import unittest

from tests.tools import lbas_testlib as lib


class Interrupt(lib.ToolTest):
    def start(self, out, *extra):
        """Starts lbas2wav reading a pipe that this test keeps open; stderr goes to a file."""
        self.err_path = self.path(os.path.basename(out) + ".stderr")
        with open(self.err_path, "wb") as err:
            proc = subprocess.Popen([lib.LBAS2WAV, *extra, "-", out], stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, stderr=err)
        self.addCleanup(proc.stdin.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    def stop(self, proc, sig):
        """Signals lbas2wav and waits for it with its input still open, so only the signal ends it."""
        proc.send_signal(sig)
        proc.wait(timeout=lib.TIMEOUT)
        with open(self.err_path, "rb") as f:
            return f.read().decode()

    def feed_and_drain(self, proc, data):
        """Writes `data` into the pipe and waits until lbas2wav has read all of it."""
        writer = threading.Thread(target=lambda: (proc.stdin.write(data), proc.stdin.flush()))
        writer.start()
        writer.join(lib.TIMEOUT)
        self.assertFalse(writer.is_alive(), "lbas2wav stopped reading")
        lib.wait_until(lambda: lib.pipe_pending(proc.stdin.fileno()) == 0, "lbas2wav to read the pipe")

    def test_stop_signals_finish_the_wav(self):
        # 300000 frames (2.4 MB) is more than the write buffer, and the stream stops inside a frame.
        frames = lib.ramp_frames(300000)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                out = self.path(f"{sig.name}.wav")
                proc = self.start(out, "--progress")
                self.feed_and_drain(proc, lib.header() + frames + b"\x01\x02\x03")
                err = self.stop(proc, sig)
                self.assertEqual(proc.returncode, 0, err)
                self.assertIn("300000 frames (stopped by signal)", err)
                self.assertNotIn("error", err)
                self.assertEqual(lib.read_wav(out).data, frames)

    def test_stop_while_input_is_always_ready(self):
        # A regular file never blocks a read, so the stop cannot rely on an interrupted read: it
        # must be noticed between reads. The input is 1 GiB of silence, sparse so it costs no disk.
        src = self.write_input("big.lbas", lib.header())
        os.truncate(src, 1 << 30)
        out = self.path("big.wav")
        with open(self.path("big.stderr"), "w+b") as err:
            proc = subprocess.Popen([lib.LBAS2WAV, src, out], stdin=subprocess.DEVNULL, stderr=err)
            self.addCleanup(lambda: proc.poll() is None and proc.kill())
            lib.wait_until(lambda: os.path.exists(out) and os.path.getsize(out) > 4 << 20, "the WAV to grow",
                           interval=0.002)
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=lib.TIMEOUT)
            err.seek(0)
            text = err.read().decode()
        self.assertEqual(proc.returncode, 0, text)
        self.assertIn("(stopped by signal)", text)
        wav = lib.read_wav(out)
        self.assertGreater(wav.frames, 0)
        self.assertLess(len(wav.data), 1 << 29, "the stop came long before the end of the input")
        self.assertEqual(wav.data.count(0), len(wav.data))

    def test_stop_while_waiting_for_a_fifo_writer(self):
        # Nobody ever opens the FIFO for writing: only the signal can end the wait.
        fifo = self.path("in.fifo")
        os.mkfifo(fifo)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                out = self.path(f"{sig.name}.wav")
                err_path = self.path(f"{sig.name}.stderr")
                with open(err_path, "wb") as err:
                    proc = subprocess.Popen([lib.LBAS2WAV, fifo, out], stdin=subprocess.DEVNULL, stderr=err)
                self.addCleanup(lambda proc=proc: proc.poll() is None and proc.kill())
                lib.wait_until(lambda: caught_signals(proc.pid) & (1 << (sig - 1)), "lbas2wav to catch " + sig.name)
                proc.send_signal(sig)
                proc.wait(timeout=30)
                with open(err_path) as f:
                    text = f.read()
                self.assertEqual(proc.returncode, 2, text)
                self.assertIn("stopped before the stream header arrived", text)
                self.assertFalse(os.path.exists(out))

    def test_stop_before_the_header_writes_nothing(self):
        out = self.path("o.wav")
        proc = self.start(out)
        self.feed_and_drain(proc, lib.header()[:5])
        err = self.stop(proc, signal.SIGINT)
        self.assertEqual(proc.returncode, 2, err)
        self.assertIn("stopped before the stream header arrived", err)
        self.assertFalse(os.path.exists(out))


def caught_signals(pid):
    """The signals a process has handlers for (SigCgt in /proc/PID/status), as a bit mask."""
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1], 16) for line in f if line.startswith("SigCgt:"))


if __name__ == "__main__":
    _, argv = lib.main()
    unittest.main(argv=argv)
