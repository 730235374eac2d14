"""Shared helpers for the lbas2wav process tests: stream builders, a strict WAV parser, runners.

Every test script takes the lbas2wav binary as its first argument.
"""

import array
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

FRAME_SIZE = 8
TIMEOUT = 120  # seconds for any single process; generous for a slow shared machine

LBAS2WAV = None  # set by main()


def header(rate=48000, channels=2, bits=32, magic=b"LBAS"):
    return magic + struct.pack("<III", rate, channels, bits)


def frames_from_floats(left, right):
    """Interleaves two channels into little-endian float32 frames."""
    data = array.array("f", (v for pair in zip(left, right) for v in pair))
    if sys.byteorder != "little":
        data.byteswap()
    return data.tobytes()


def ramp_frames(count, start=0):
    """Frame n = (n mod 2^24, -(n mod 2^24)), as the helper's ramp source makes them."""
    values = [float(n % (1 << 24)) for n in range(start, start + count)]
    return frames_from_floats(values, [-v for v in values])


class Wav:
    def __init__(self, data):
        self.data = data
        self.frames = len(data) // FRAME_SIZE


def read_wav(path, rate=48000, channels=2):
    """Parses a WAV strictly: every size field must agree with the file. Raises AssertionError."""
    with open(path, "rb") as f:
        blob = f.read()
    assert len(blob) >= 12, "file shorter than a RIFF header"
    assert blob[0:4] == b"RIFF" and blob[8:12] == b"WAVE", "not a RIFF/WAVE file"
    riff_size = struct.unpack_from("<I", blob, 4)[0]
    assert riff_size == len(blob) - 8, f"RIFF size {riff_size} but file has {len(blob) - 8} bytes after it"
    chunks = {}
    pos = 12
    while pos < len(blob):
        assert pos + 8 <= len(blob), f"chunk header cut short at {pos}"
        tag = blob[pos:pos + 4]
        size = struct.unpack_from("<I", blob, pos + 4)[0]
        body = blob[pos + 8:pos + 8 + size]
        assert len(body) == size, f"chunk {tag!r} claims {size} bytes, file has {len(body)}"
        assert tag not in chunks, f"duplicate chunk {tag!r}"
        chunks[tag] = body
        pos += 8 + size + (size & 1)
    assert pos == len(blob), "trailing bytes after the last chunk"
    for tag in (b"fmt ", b"fact", b"data"):
        assert tag in chunks, f"missing {tag!r} chunk"
    fmt_keys = ("format", "channels", "rate", "byte_rate", "block_align", "bits")
    fmt = dict(zip(fmt_keys, struct.unpack_from("<HHIIHH", chunks[b"fmt "])))
    frame_size = 4 * channels
    assert fmt == {"format": 3, "channels": channels, "rate": rate, "byte_rate": rate * frame_size,
                   "block_align": frame_size, "bits": 32}, f"unexpected fmt chunk {fmt}"
    data = chunks[b"data"]
    assert len(data) % frame_size == 0, f"data size {len(data)} is not whole frames"
    fact_frames = struct.unpack_from("<I", chunks[b"fact"])[0]
    assert fact_frames == len(data) // frame_size, f"fact says {fact_frames} frames, data holds {len(data) // frame_size}"
    return Wav(data)


def pipe_pending(fd):
    """Bytes still waiting in a pipe, asked through our end of it."""
    n = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, n, True)
    return n[0]


def wait_until(predicate, what, timeout=TIMEOUT, interval=0.01):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class ToolTest(unittest.TestCase):
    """Gives each test a scratch directory and a way to run lbas2wav."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="lbas2wav_test.")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_input(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def run_tool(self, *args, stdin_data=None, **kwargs):
        return subprocess.run([LBAS2WAV, *args], input=stdin_data,
                              stdin=None if stdin_data is not None else subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT, **kwargs)

    def assert_one_error_line(self, result, *phrases):
        lines = [ln for ln in result.stderr.decode().splitlines() if "error:" in ln]
        self.assertEqual(len(lines), 1, f"expected one error line, stderr was:\n{result.stderr.decode()}")
        for phrase in phrases:
            self.assertIn(phrase, lines[0])


def main(extra_args=0):
    """Runs the tests; argv: lbas2wav path, then `extra_args` more paths, returned to the caller."""
    global LBAS2WAV
    if len(sys.argv) < 2:
        sys.exit(f"usage: {sys.argv[0]} LBAS2WAV" + " PATH" * extra_args)
    LBAS2WAV = os.path.abspath(sys.argv[1])
    extra = (sys.argv[2:2 + extra_args] + [None] * extra_args)[:extra_args]
    unittest_argv = [sys.argv[0]] + sys.argv[2 + extra_args:]
    return extra, unittest_argv
