"""A helper whose parent dies stops as after a console close: exit 0, the whole shutdown, no orphan left
capturing into a pipe nobody reads. The parent here is a small process between the test and the helper; the
test makes itself a subreaper, so the orphan comes to it and its exit code can be read."""

import ctypes
import fcntl
import os
import platform
import select
import subprocess
import sys
import threading
import time
import unittest

from tests.process.helperlib import (FRAME, HEADER, HELPER, START_SLACK, Helper, TempDirMixin, check_trace, full_trace,
                       read_trace, setup_lines, sim_with_trace, stderr_bytes)
from tests.process import helperlib

PID = 555
CAPTURING = len(HEADER) + 4 * 480 * FRAME
# Starts the helper from its main thread, tells the test its process id, then waits to be killed.
PARENT = """
import os, signal, subprocess, sys
child = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL)
with open(sys.argv[1] + ".new", "w") as f:
    f.write(str(child.pid))
os.rename(sys.argv[1] + ".new", sys.argv[1])
signal.pause()
"""
PR_SET_CHILD_SUBREAPER = 36
F_SETPIPE_SZ = 1031
WRITE_SYSCALL = {"x86_64": 1, "aarch64": 64}.get(platform.machine(), 1)


def setUpModule():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_CHILD_SUBREAPER")


class OrphanTests(TempDirMixin, unittest.TestCase):
    def parent_args(self):
        self.runs = getattr(self, "runs", 0) + 1
        self.pid_path = self.temp_path("helper-%d.pid" % self.runs)
        return ["-c", PARENT, self.pid_path, HELPER, str(PID)]

    def helper_pid(self, parent):
        deadline = time.monotonic() + START_SLACK
        while not os.path.exists(self.pid_path):
            self.assertIsNone(parent.poll(), "the parent ended before starting the helper")
            self.assertLess(time.monotonic(), deadline, "the parent did not start the helper")
            time.sleep(0.01)
        with open(self.pid_path) as f:
            pid = int(f.read())
        self.pidfd = os.pidfd_open(pid)
        self.addCleanup(os.close, self.pidfd)
        self.addCleanup(self.reap, pid)
        return pid

    def reap(self, pid):
        """Kills a helper that is still running and collects it (it is ours once its parent is gone)."""
        try:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass

    def exit_of_orphan(self, pid, timeout):
        """Waits for the orphan's exit; returns (exit code, seconds waited)."""
        start = time.monotonic()
        ready, _, _ = select.select([self.pidfd], [], [], timeout)
        waited = time.monotonic() - start
        self.assertTrue(ready, "the orphan was still running %.0f s after its parent died" % timeout)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), waited

    def test_parent_killed_stops_the_helper(self):
        # (scenario, what shows the helper is where the case wants it, frames expected, longest stop).
        # During set-up the stop is seen once the slow step is over, at the capture loop's first test.
        cases = [
            ("", "capture", True, 1.0),
            ("stall=coinit:1500", "CoInitializeEx", False, START_SLACK),  # the handler comes just before it
        ]
        for sim, where, frames_expected, longest in cases:
            with self.subTest(sim or "capturing"):
                trace_path = self.temp_path("trace-%s.txt" % where)
                parent = Helper(self, args=self.parent_args(), sim=sim_with_trace(sim, trace_path), exe=sys.executable)
                pid = self.helper_pid(parent.proc)
                if where == "capture":
                    parent.wait_line(15)
                    parent.wait_stdout(CAPTURING)
                else:
                    helperlib.wait_for(lambda: where in text_of(trace_path), "the helper to enter " + where)
                parent.proc.kill()
                parent.proc.wait(START_SLACK)
                code, waited = self.exit_of_orphan(pid, START_SLACK)
                self.assertEqual(code, 0)
                self.assertLess(waited, longest, "the orphan took %.2f s to stop" % waited)
                parent.finish()
                helperlib.check_orderly_stop_output(self, parent, PID, trace_path, frames_expected, CAPTURING)

    def test_parent_dead_before_the_handler_is_registered(self):
        # The helper's first line goes into a full pipe, so it waits there, before its console handler
        # exists, while the parent dies. Once the pipe is read it must notice and stop at its first test.
        trace_path = self.temp_path("trace.txt")
        err_read, err_write = os.pipe()
        fcntl.fcntl(err_write, F_SETPIPE_SZ, 4096)
        filler = b"\xff" * 4096
        os.write(err_write, filler)
        env = {key: value for key, value in os.environ.items() if key != "AUDIO_HELPER_SIM"}
        env["AUDIO_HELPER_SIM"] = sim_with_trace("", trace_path)
        parent = subprocess.Popen([sys.executable] + self.parent_args(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=err_write, env=env, start_new_session=True)
        os.close(err_write)
        self.addCleanup(lambda: parent.poll() is None and parent.kill())
        pid = self.helper_pid(parent)
        helperlib.wait_for(lambda: self.blocked_writing_stderr(pid), "the helper to block writing line 1")
        parent.kill()
        parent.wait(START_SLACK)

        collected = {}
        readers = [threading.Thread(target=lambda: collected.update(err=read_all(err_read))),
                   threading.Thread(target=lambda: collected.update(out=read_all(parent.stdout.fileno())))]
        for reader in readers:
            reader.start()
        code, _ = self.exit_of_orphan(pid, START_SLACK)
        for reader in readers:
            reader.join(START_SLACK)
        os.close(err_read)
        parent.stdout.close()
        self.assertEqual(code, 0)
        self.assertEqual(collected["err"], filler + stderr_bytes(setup_lines(PID)))
        self.assertEqual(collected["out"], HEADER, "frames written after a stop during set-up")
        check_trace(self, read_trace(trace_path), full_trace(PID, waits=[]))  # stopped before the first wait

    @staticmethod
    def blocked_writing_stderr(pid):
        try:
            return text_of("/proc/%d/syscall" % pid).startswith("%d 0x2 " % WRITE_SYSCALL)
        except PermissionError:
            # Where the call in progress cannot be read: sleeping in the helper's own image, whose first
            # sleep is that write.
            state = text_of("/proc/%d/stat" % pid).rsplit(")", 1)[-1].split()[:1]
            return state == ["S"] and os.path.realpath("/proc/%d/exe" % pid) == os.path.realpath(HELPER)


def text_of(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def read_all(fd):
    data = bytearray()
    while True:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk


if __name__ == "__main__":
    helperlib.main()
