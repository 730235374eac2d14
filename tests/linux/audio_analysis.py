"""Tone and ramp files, recorders for raw streams, and the analysis the real-server tests assert on.
Pure Python (no NumPy), so a fresh machine needs nothing more."""

import array
import math
import struct
import subprocess
import threading
import time

RATE = 48000
FRAME = 8  # stereo float32
HEADER = bytes.fromhex("4C424153 80BB0000 02000000 20000000")
RAMP_SCALE = 1 << 24  # ramp sample k is k / 2**24: exact in float32, and exactly recovered


def write_wav(path, rate, channels, samples, float32=True):
    """Interleaved samples (floats in [-1, 1]) as a float32 or 16-bit PCM WAV file."""
    if float32:
        data = array.array("f", samples).tobytes()
        fmt, bits = 3, 32
    else:
        data = array.array("h", (int(round(s * 32767)) for s in samples)).tobytes()
        fmt, bits = 1, 16
    block = channels * bits // 8
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, fmt, channels, rate, rate * block, block, bits))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def tone_wav(path, frequency, seconds, amplitude, rate=RATE, channels=1, float32=True):
    """An integer-frequency sine: one second is built once and repeated."""
    second = [amplitude * math.sin(2 * math.pi * frequency * n / rate) for n in range(rate)]
    if channels == 2:
        second = [s for v in second for s in (v, v)]
    write_wav(path, rate, channels, second * int(seconds), float32)


def ramp_wav(path, seconds):
    """Stereo 48 kHz float ramp: left k / 2**24 for frame k (from 1), right its negative."""
    frames = int(seconds * RATE)
    samples = array.array("f", bytes(frames * FRAME))
    for k in range(frames):
        value = (k + 1) / RAMP_SCALE
        samples[2 * k] = value
        samples[2 * k + 1] = -value
    write_wav(path, RATE, 2, samples)


class Recorder:
    """Reads a process's raw stereo float output on a thread, noting when each byte arrived."""

    def __init__(self, process, header=b""):
        self.process = process
        self.header = header
        self.data = bytearray()
        self.arrivals = []  # (monotonic time, bytes so far)
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        out = self.process.stdout
        while True:
            chunk = out.read1(65536) if hasattr(out, "read1") else out.read(65536)
            if not chunk:
                break
            with self.cond:
                self.data += chunk
                self.arrivals.append((time.monotonic(), len(self.data)))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def frames(self):
        with self.cond:
            return max(0, (len(self.data) - len(self.header)) // FRAME)

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0 or (not self.thread.is_alive() and not predicate()):
                    raise AssertionError(f"timed out waiting for {what}")
                self.cond.wait(min(left, 0.5))

    def wait_frames(self, count, timeout=30.0):
        self.wait(lambda: (len(self.data) - len(self.header)) // FRAME >= count, timeout, f"{count} frames")

    def frames_at(self, when):
        """Frames that had arrived by monotonic time `when`."""
        with self.cond:
            done = 0
            for t, size in self.arrivals:
                if t > when:
                    break
                done = size
            return max(0, (done - len(self.header)) // FRAME)

    def left(self, start=0, count=None):
        """Left-channel samples of frames [start, start + count)."""
        with self.cond:
            body = bytes(self.data[len(self.header):])
        samples = array.array("f")
        samples.frombytes(body[: len(body) // FRAME * FRAME])
        left = samples[0::2]
        end = len(left) if count is None else start + count
        return left[start:end]

    def finish(self):
        self.thread.join(timeout=10)


def start_parec(env, source):
    process = subprocess.Popen(
        ["parec", "-d", source, "--raw", "--format=float32le", "--rate=48000", "--channels=2",
         "--latency-msec=10"], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        start_new_session=True)
    return process, Recorder(process)


def _tables(frequency, count):
    w = 2 * math.pi * frequency / RATE
    return [math.cos(w * n) for n in range(count)], [math.sin(w * n) for n in range(count)]


def amplitude_phase(samples, frequency, tables=None):
    """Amplitude and phase of an integer number of cycles of `frequency` in samples (a DFT bin)."""
    cos_t, sin_t = tables or _tables(frequency, len(samples))
    c = sum(map(float.__mul__, samples, cos_t))
    s = sum(map(float.__mul__, samples, sin_t))
    return 2 * math.hypot(c, s) / len(samples), math.atan2(s, c)


def level_db(samples, frequency):
    """Level of an integer-Hz tone over a whole number of seconds, in dBFS (of amplitude 1)."""
    amplitude, _ = amplitude_phase(list(samples), frequency)
    return 20 * math.log10(amplitude) if amplitude > 0 else -math.inf


def windows_fit(samples, frequency, window=480):
    """Per-window (10 ms) amplitude and phase against the stream's own sample index. The frequency must
    make whole cycles per window, so every window shares one table and phases line up across windows."""
    assert (frequency * window) % RATE == 0
    tables = _tables(frequency, window)
    values = list(samples)
    return [amplitude_phase(values[i:i + window], frequency, tables)
            for i in range(0, len(values) - window + 1, window)]


def phase_difference(a, b):
    d = a - b
    return (d + math.pi) % (2 * math.pi) - math.pi


def ramp_runs(samples):
    """The ramp's frame numbers in the stream, as runs of consecutive numbers: [(first, last, position)].
    Zero samples (silence) end a run without starting one."""
    runs = []
    for position, value in enumerate(samples):
        if value == 0.0:
            continue
        k = int(round(value * RAMP_SCALE))
        if runs and k == runs[-1][1] + 1 and position == runs[-1][3] + 1:
            runs[-1][1], runs[-1][3] = k, position
        else:
            runs.append([k, k, position, position])
    return [(first, last, start) for first, last, start, _ in runs]
