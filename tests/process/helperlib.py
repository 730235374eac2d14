"""Shared helpers for the audio-helper process tests: running the helper, its stderr catalogue, traces,
and the expected ramp stream.

Configuration comes from the environment (set by CMake):
  AUDIO_HELPER         the program on the simulated engine (audio-helper-sim, natively or as .exe)
  AUDIO_HELPER_RUNNER  optional runner to start it with (wine-run.sh for the Windows builds)
  AUDIO_HELPER_REAL    optional: the real-audio audio-helper.exe (Windows tree only)
"""

import array
import concurrent.futures
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HELPER = os.environ.get("AUDIO_HELPER", "")
RUNNER = [os.environ["AUDIO_HELPER_RUNNER"]] if os.environ.get("AUDIO_HELPER_RUNNER") else []
REAL_HELPER = os.environ.get("AUDIO_HELPER_REAL", "")
WINE = bool(RUNNER)
# A sanitizer build: its timing is not the program's own.
SANITIZED = bool(os.environ.get("AUDIO_HELPER_SANITIZED"))

# Wine starts a process in one to several seconds on a busy machine; everything waits generously.
START_SLACK = 45.0 if WINE else 15.0
PROCESS_TIMEOUT = 90.0 if WINE else 30.0
# How long stdout may flow while an awaited stderr line is missing before that counts as held back.
STDERR_GRACE = 10.0
# Parallel runs for table-driven cases that only run to an exit code.
WORKERS = 2 if WINE else 4

HEADER = bytes.fromhex("4C424153 80BB0000 02000000 20000000")  # "LBAS", 48000 Hz, 2 channels, 32 bits
FRAME = 8
RAMP_PERIOD = 1 << 24  # the ramp value is the frame number modulo this
JUNK = b"\xa5\xa5\xa5\xa5"  # what the engine leaves in a silent packet's buffer

CATALOGUE = {
    1: "[helper] Elindult, argc={}",
    2: "Usage: {} <exclude_pid>",
    3: "[helper] exclude_pid={}",
    4: "[helper] CoInitializeEx failed: {}",
    5: "[helper] COM inicializalva, aktivalas inditasa...",
    6: "ActivateAudioInterfaceAsync failed: {}",
    7: "[helper] ActivateAudioInterfaceAsync elindult, varakozas a befejezesre...",
    8: "[helper] Aktivalas timeout (nincs completion esemeny 5mp alatt)",
    9: "[helper] Aktivalas befejezve, eredmeny: {}",
    10: "Activation failed: {} (Windows 10 2004+ szukseges)",
    11: "AudioClient Initialize failed: {}",
    12: "[helper] AudioClient inicializalva",
    13: "GetService(IAudioCaptureClient) failed: {}",
    14: "AudioClient Start failed: {}",
    15: "[helper] Rogzites elindult, fejlec elkuldve.",
}


def hx(status):
    """A status as the helper prints it: 0x and 8 lower-case digits of the 32-bit value."""
    return "0x%08x" % (status & 0xFFFFFFFF)


def line(number, arg=None):
    text = CATALOGUE[number]
    return text.format(arg) if "{}" in text else text


def prefix(number):
    return CATALOGUE[number].split("{")[0]


def stderr_bytes(lines):
    return "".join(text + "\r\n" for text in lines).encode("utf-16-le")


def setup_lines(pid, argc=2):
    """Lines 1, 3, 5, 7, 9 (S_OK), 12 and 15: a set-up that got all the way to capture."""
    return [line(1, argc), line(3, pid), line(5), line(7), line(9, hx(0)), line(12), line(15)]


def describe_lines(data):
    return "\n".join(repr(text) for text in split_lines(data)[0]) or "(nothing)"


def split_lines(data):
    """Complete CRLF-terminated UTF-16LE lines, and whatever trails them."""
    text = bytes(data[: len(data) & ~1]).decode("utf-16-le", errors="replace")
    parts = text.split("\r\n")
    return parts[:-1], parts[-1]


def windows_path(path):
    """The path a Windows program sees for a host path under Wine (drive Z: is the host root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\") if WINE else path


def proc_fields(pid, name, keys):
    """Numeric fields of /proc/PID/<name> (status: kB values; io: counts)."""
    with open("/proc/%d/%s" % (pid, name)) as f:
        pairs = (text.split(":", 1) for text in f)
        return {key: int(value.split()[0]) for key, value in pairs if key in keys}


def proc_status(pid):
    return proc_fields(pid, "status", ("VmRSS", "VmHWM"))


def blocked_on_stdout(pid):
    """Whether the helper's writer waits for its reader: in the write to a pipe or socket itself, or in the
    wait for it that a write which gives way to a stop makes."""
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/wchan" % (pid, task)) as f:
                where = f.read()
        except FileNotFoundError:
            continue
        if any(place in where for place in ("pipe_write", "sock_alloc_send", "poll")):
            return True
    return False


def write_syscalls(pid):
    return proc_fields(pid, "io", ("syscw",))["syscw"]


class Helper:
    """One run of the helper. Both pipes are drained on threads, so it never blocks on us, unless the test
    takes stdout itself (stdout="manual")."""

    def __init__(self, test, args=("4242",), sim=None, exe=None, stdout="collect", stdin=subprocess.DEVNULL,
                 pass_fds=()):
        env = {key: value for key, value in os.environ.items() if key != "AUDIO_HELPER_SIM"}
        if sim is not None:
            env["AUDIO_HELPER_SIM"] = sim
        self.cond = threading.Condition()
        self.err, self.out = bytearray(), bytearray()
        self.err_eof = self.out_eof = False
        self.out_since = None  # when stdout first carried data
        self.line_times = []  # when each complete stderr line arrived
        self.err_closed_at = None
        self.started, self.ended = time.monotonic(), None
        self.proc = subprocess.Popen(RUNNER + [exe or HELPER] + list(args), stdin=stdin,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                     start_new_session=True, pass_fds=pass_fds)
        if test is not None:
            test.addCleanup(self.kill)
        pipes = [(self.proc.stderr, "err")] + ([(self.proc.stdout, "out")] if stdout != "manual" else [])
        self.threads = [threading.Thread(target=self._drain, args=pipe, daemon=True) for pipe in pipes]
        for thread in self.threads:
            thread.start()

    @property
    def pid(self):
        return self.proc.pid

    def _drain(self, pipe, name):
        buffer = bytearray(1 << 20)  # reused: a fresh megabyte per read would cost more than the copy
        while True:
            try:
                size = os.readv(pipe.fileno(), [buffer])
            except (OSError, ValueError):  # the test closed the pipe
                size = 0
            with self.cond:
                if size == 0:
                    setattr(self, name + "_eof", True)
                    if name == "err":
                        self.err_closed_at = time.monotonic()  # the process has ended
                else:
                    getattr(self, name).extend(memoryview(buffer)[:size])
                    if name == "err":
                        complete = len(split_lines(self.err)[0])
                        self.line_times += [time.monotonic()] * (complete - len(self.line_times))
                    if name == "out" and self.out_since is None:
                        self.out_since = time.monotonic()
                self.cond.notify_all()
            if size == 0:
                return

    def lines(self):
        with self.cond:
            return split_lines(self.err)[0]

    def _wait(self, done, timeout, what, early=lambda now: None):
        """Waits for done(); fails on time-out with what(), or as soon as early(now) names a problem."""
        timeout = timeout or START_SLACK
        deadline = time.monotonic() + timeout
        with self.cond:
            while not done():
                now = time.monotonic()
                problem = early(now) or (now >= deadline and "timed out after %.0f s waiting for %s" % (timeout, what()))
                if problem:
                    raise AssertionError("%s; stderr so far:\n%s" % (problem, describe_lines(self.err)))
                self.cond.wait(min(deadline - now, 0.5))

    def line_time(self, number):
        """When catalogue line `number` arrived complete (it must have)."""
        with self.cond:
            index = next(i for i, text in enumerate(split_lines(self.err)[0]) if text.startswith(prefix(number)))
            return self.line_times[index]

    def wait_line(self, number, timeout=None):
        """Waits until catalogue line `number` is complete on stderr."""
        def early(now):
            if self.err_eof:
                return "stderr ended (exit %s) before line %d" % (self.proc.poll(), number)
            if self.out_since is not None and now - self.out_since > STDERR_GRACE:
                return "stdout has flowed for %.0f s but stderr line %d is held back" % (now - self.out_since, number)
            return None
        self._wait(lambda: any(text.startswith(prefix(number)) for text in split_lines(self.err)[0]), timeout,
                   lambda: "stderr line %d" % number, early)

    def wait_stdout(self, count, timeout=None):
        self._wait(lambda: len(self.out) >= count, timeout, lambda: "%d bytes on stdout (have %d)" % (count, len(self.out)),
                   lambda now: self.out_eof and "stdout ended after %d bytes, expected %d" % (len(self.out), count))

    def signal(self, number=signal.SIGINT):
        os.kill(self.proc.pid, number)

    def finish(self, timeout=None):
        """Waits for the exit and for the pipes to end; returns the exit code."""
        try:
            code = self.proc.wait(timeout or PROCESS_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the helper did not exit within %.0f s; stderr:\n%s"
                                 % (timeout or PROCESS_TIMEOUT, describe_lines(self.err)))
        self.ended = time.monotonic()
        for thread in self.threads:
            thread.join(30)
            if thread.is_alive():
                raise AssertionError("a pipe stayed open after the helper exited")
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(30)
        for thread in self.threads:
            thread.join(10)
        self.proc.stdout.close()
        self.proc.stderr.close()
        if self.proc.stdin is not None:
            self.proc.stdin.close()


class TempDirMixin:
    def temp_path(self, name):
        if not hasattr(self, "_tempdir"):
            self._tempdir = tempfile.TemporaryDirectory(prefix="helper-test-")
            self.addCleanup(self._tempdir.cleanup)
        return os.path.join(self._tempdir.name, name)


def sim_with_trace(sim, path):
    return (sim + "," if sim else "") + "trace=" + windows_path(path)


def read_trace(path):
    with open(path) as f:
        return f.read().splitlines()


# Releases of the audio client. One of them belongs to the operation, which lets the client go when it
# goes itself: on the program's release of the operation or, later, when the engine's completion thread
# drops its own reference. Its place and its count (1, or 2 while a capture client holds one) vary.
CLIENT_RELEASE = "Release client -> "


def check_trace(test, trace, expected):
    """Compares a trace with the expected lines: everything but the client releases in exact order
    ("Release operation -> *" matches either count); the client releases by number, the handler's first,
    the program's own inside the shutdown, and a freed client's last one at 0."""
    dump = "trace:\n%s\nexpected:\n%s" % ("\n".join(trace), "\n".join(expected))
    got = [text for text in trace if not text.startswith(CLIENT_RELEASE)]
    want = [text for text in expected if not text.startswith(CLIENT_RELEASE)]
    test.assertEqual(len(got), len(want), dump)
    for have, expect in zip(got, want):
        if expect == "Release operation -> *":
            test.assertRegex(have, r"\ARelease operation -> [01]\Z", dump)
        else:
            test.assertEqual(have, expect, dump)

    got_releases = [i for i, text in enumerate(trace) if text.startswith(CLIENT_RELEASE)]
    want_releases = [text for text in expected if text.startswith(CLIENT_RELEASE)]
    test.assertEqual(len(got_releases), len(want_releases), dump)
    if want_releases[:1] == ["Release client -> 2"]:
        # The handler's, in the completion callback: before the program goes on.
        operation = next(i for i, text in enumerate(trace) if text.startswith("Release operation"))
        test.assertEqual(trace[got_releases[0]], "Release client -> 2", dump)
        test.assertLess(got_releases[0], operation, dump)
    if "Release capture -> 0" in expected:
        uninit = next(i for i, text in enumerate(trace) if text.startswith("CoUninitialize"))
        between = trace[trace.index("Release capture -> 0"):uninit]
        test.assertTrue(any(text.startswith(CLIENT_RELEASE) for text in between),
                        "the program did not release the client between capture client and COM:\n" + dump)
    if want_releases and want_releases[-1] == "Release client -> 0":
        test.assertEqual(trace[got_releases[-1]], "Release client -> 0", dump)


def activation_trace(pid, client=True):
    """The trace up to a completed activation."""
    lines = ["CoInitializeEx model=0", "CreateEventW completion event",
             "ActivateAudioInterfaceAsync pid=%d mode=1" % pid, "WaitForSingleObject completion event ms=5000"]
    if client:
        lines += ["Release client -> 2", "Release client -> 1"]
    return lines + ["Release operation -> *"]


SET_UP_CALLS = ["Initialize mode=0 flags=0x00060000 duration=200000 periodicity=0"
                " format=tag3/ch2/48000Hz/384000B/s/align8/bits32/cb0 session=null",
                "CreateEventW capture event", "SetEventHandle set", "GetService", "Start"]
CAPTURE_WAIT = "WaitForSingleObject capture event ms=500"
# The shutdown order: the engine drops its own reference to the capture event when the program releases
# the audio client, the program closes its handle next, and only then releases the handler.
SHUTDOWN = ["Stop", "Release capture -> 0", "CloseHandle capture event by the engine", "Release client -> 0",
            "CloseHandle capture event by the program (handler refs=2)", "CoUninitialize (handler refs=1)"]


def full_trace(pid, live="live operation=0 client=0 capture=0 com=0", waits=(CAPTURE_WAIT,)):
    """The whole trace of a run that captured and shut down in order; `waits` are the capture-loop lines
    (none when a stop came before the first wait)."""
    return activation_trace(pid) + SET_UP_CALLS + list(waits) + SHUTDOWN + [live, "handler refs=1"]


def check_orderly_stop_output(test, helper, pid, trace_path, frames_expected, capturing):
    """After a stop that is no failure: the set-up lines only, the header then whole frames (at least
    `capturing` bytes if it stopped while capturing, none if during set-up), and a complete trace."""
    test.assertEqual(bytes(helper.err), stderr_bytes(setup_lines(pid)), describe_lines(helper.err))
    out = bytes(helper.out)
    test.assertEqual(out[:len(HEADER)], HEADER)
    test.assertEqual((len(out) - len(HEADER)) % FRAME, 0, "partial frame at the end")
    if frames_expected:
        test.assertGreaterEqual(len(out), capturing)
    else:
        test.assertEqual(out, HEADER, "frames written after a stop during set-up")
    check_trace(test, read_trace(trace_path), full_trace(pid, waits=[CAPTURE_WAIT] if frames_expected else []))


def ramp_bytes(first, count):
    """Frames first..first+count-1 of the ramp: (v, -v) with v = frame mod 2^24, as float32 LE."""
    out = bytearray()
    while count > 0:
        start = first % RAMP_PERIOD
        run = min(count, RAMP_PERIOD - start)
        samples = array.array("f", bytes(8 * run))
        samples[0::2] = array.array("f", range(start, start + run))
        samples[1::2] = array.array("f", range(-start, -start - run, -1))
        if start == 0:
            samples[1] = -0.0  # the engine negates a float: frame 0 carries -0.0
        if sys.byteorder != "little":
            samples.byteswap()
        out += samples.tobytes()
        first += run
        count -= run
    return bytes(out)


def format_header(rate, channels):
    """The stream header for `rate` and `channels`."""
    return b"LBAS" + struct.pack("<III", rate, channels, 32)


def format_ramp(first, count, channels, scale=1):
    """The ramp of frames first..first+count-1 in `channels` channels (mono: n alone), times `scale`."""
    if channels == 2 and scale == 1:
        return ramp_bytes(first, count)
    values = [scale * float(n % RAMP_PERIOD) for n in range(first, first + count)]
    if channels == 2:
        values = [v for value in values for v in (value, -value)]
    samples = array.array("f", values)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def packet_plan(frames, packets, silent_every=0, zero_packet_at=0):
    """(first frame, frames, silent) for each packet the engine makes: numbered from 1, a silent packet
    still advances the ramp, the zero-frame packet does not."""
    first = 0
    for number in range(1, packets + 1):
        count = 0 if number == zero_packet_at else frames
        yield first, count, bool(silent_every) and number % silent_every == 0
        first += count


def expected_stream(plan):
    parts = [bytes(FRAME * count) if silent else ramp_bytes(first, count) for first, count, silent in plan]
    return b"".join(parts)


def first_difference(expected, got, skew=0, first_frame=0):
    """A readable account of where two frame streams part; `skew` is how far into a frame they begin and
    `first_frame` the number of the frame they begin in."""
    limit = min(len(expected), len(got))
    block = next((i for i in range(0, limit, 4096) if expected[i:i + 4096] != got[i:i + 4096]), None)
    if block is None:
        return "streams agree for %d bytes; expected %d bytes, got %d" % (limit, len(expected), len(got))
    index = next(i for i in range(block, block + 4096) if expected[i] != got[i])
    start = max(0, index - (index + skew) % FRAME)

    def frame(data):
        chunk = bytes(data[start:start + FRAME])
        return tuple(array.array("f", chunk)) if len(chunk) == FRAME else chunk.hex()
    junk = " (the engine's junk for a silent packet)" if JUNK in bytes(got[start:start + FRAME]) else ""
    return "first difference in frame %d: expected %s, got %s%s" % (
        first_frame + (start + skew) // FRAME, frame(expected), frame(got), junk)


def stream_difference(expected, got):
    """first_difference for whole stdout streams, header first."""
    if got[:len(HEADER)] != expected[:len(HEADER)]:
        return "header: expected %s, got %s" % (expected[:len(HEADER)].hex(), got[:len(HEADER)].hex())
    return first_difference(expected[len(HEADER):], got[len(HEADER):])


def ramp_timeline(test, payload, packet_frames, first=0):
    """Checks a ramp stream against the time each frame stands for: the stream's frame i is engine frame
    first + i, so every packet-sized slot holds exactly the ramp of its own time or, where the engine dropped
    audio or delivered nothing, all zeros. Returns the number of runs of zero slots."""
    test.assertEqual(len(payload) % FRAME, 0, "the stream is not a whole number of frames")
    slot = packet_frames * FRAME
    runs = 0
    zero_slot = bytes(slot)
    in_run = False
    for start in range(0, len(payload), slot):
        got = payload[start:start + slot]
        if got == zero_slot[:len(got)]:
            runs += not in_run
            in_run = True
            continue
        in_run = False
        frame = start // FRAME
        expected = ramp_bytes(first + frame, len(got) // FRAME)
        if got != expected:
            test.fail("stream frame %d is not the ramp at its time: %s"
                      % (frame, first_difference(expected, got, first_frame=frame)))
    return runs


class RampVerifier:
    """Checks a stdout stream (header included) against a packet plan as it arrives, comparing whole
    slices with a precomputed ramp table so it keeps up with a fast pipe."""

    def __init__(self, plan, table_frames, table=None):
        """`table`: ramp_bytes(0, table_frames) made before, to share between verifiers."""
        self.table = table if table is not None else ramp_bytes(0, min(table_frames, RAMP_PERIOD))
        self.table_len = len(self.table)
        self.zeros = b""
        self.plan = iter(plan)
        self.header_left = len(HEADER)
        self.segment = None  # [first frame, bytes left, silent, bytes done]
        self.position = 0  # stream bytes checked, header included
        self.packets = 0

    def _next_segment(self):
        for first, count, silent in self.plan:
            self.packets += 1
            if count:
                self.segment = [first, count * FRAME, silent, 0]
                return True
        return False

    def _expected(self, first, done, take, silent):
        if silent:
            if len(self.zeros) < take:
                self.zeros = bytes(take)
            return self.zeros[:take]
        offset = (first % RAMP_PERIOD) * FRAME + done
        if offset + take <= self.table_len:
            return self.table[offset:offset + take]
        # Past the table, or across the ramp's wrap: work the piece out (the read may split a frame).
        skip = done % FRAME
        return ramp_bytes(first + done // FRAME, (skip + take + FRAME - 1) // FRAME)[skip:skip + take]

    def feed(self, data, size=None):
        """Checks the next `size` bytes of `data` (bytes or bytearray: their slices compare at memcmp
        speed, a memoryview's do not)."""
        size = len(data) if size is None else size
        view = 0
        if self.header_left:
            take = min(self.header_left, size)
            start = len(HEADER) - self.header_left
            if data[:take] != HEADER[start:start + take]:
                raise AssertionError("bad header: %r" % data[:take])
            self.header_left -= take
            view = take
        while view < size:
            if self.segment is None and not self._next_segment():
                raise AssertionError("%d bytes beyond the last packet (stream byte %d)"
                                     % (size - view, self.position + view))
            first, left, silent, done = self.segment
            take = min(left, size - view)
            piece = data[view:view + take]
            expected = self._expected(first, done, take, silent)
            if piece != expected:
                raise AssertionError("packet %d (%s, frames from %d) wrong at stream byte %d: %s"
                                     % (self.packets, "silent" if silent else "ramp", first, self.position + view,
                                        first_difference(expected, piece, done % FRAME, first + done // FRAME)))
            view += take
            if take == left:
                self.segment = None
            else:
                self.segment = [first, left - take, silent, done + take]
        self.position += size

    def complete(self):
        """True when the header and every planned packet have been seen."""
        return self.header_left == 0 and self.segment is None and not self._next_segment()


def read_until(test, helper, size, seconds, pause_at=None, pause_s=0.0):
    """Reads the helper's standard output (stdout="manual") until it holds `size` bytes, failing after
    `seconds` plus the start slack; once `pause_at` bytes have come, reads nothing for `pause_s` (a stalled
    reader). Returns what came."""
    fd, data, paused = helper.proc.stdout.fileno(), bytearray(), pause_at is None
    deadline = time.monotonic() + seconds + pause_s + START_SLACK
    while len(data) < size:
        test.assertLess(time.monotonic(), deadline, "only %d bytes arrived" % len(data))
        if not paused and len(data) >= pause_at:
            paused = True
            time.sleep(pause_s)
        if select.select([fd], [], [], 1.0)[0]:
            chunk = os.read(fd, 1 << 16)
            test.assertTrue(chunk, "stdout ended early")
            data += chunk
    return data


def read_rest(helper, data):
    """Appends what the helper still writes to standard output (read by the test itself) until it ends."""
    fd = helper.proc.stdout.fileno()
    while select.select([fd], [], [], PROCESS_TIMEOUT)[0]:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            break
        data += chunk


def wait_for(condition, what, timeout=None):
    """Polls condition() until it holds; fails after `timeout` (START_SLACK) naming `what`."""
    deadline = time.monotonic() + (timeout or START_SLACK)
    while not condition():
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def run_parallel(function, cases):
    """function(case) for every case, several at a time (start-up dominates); results in order."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as pool:
        return list(pool.map(function, cases))


def run_to_exit(args, sim=None, exe=None):
    """Runs the helper to its exit with no test attached; returns (code, stdout, stderr)."""
    helper = Helper(None, args=args, sim=sim, exe=exe)
    try:
        code = helper.finish()
        return code, bytes(helper.out), bytes(helper.err)
    finally:
        helper.kill()


def main():
    if not HELPER or not os.path.exists(HELPER):
        print("AUDIO_HELPER must name the helper binary (got %r)" % HELPER, file=sys.stderr)
        sys.exit(2)
    unittest.main(verbosity=2)
