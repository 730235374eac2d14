"""What the package tests share: the version, a private PipeWire with a tone playing, and reading a
capture until enough audio has arrived."""

import os
import subprocess
import time

from testkit.audio import HEADER, split_stream, steady_level, tone  # noqa: F401
from testkit.servers import PipeWireServer  # noqa: F401

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

with open(os.path.join(ROOT, "VERSION")) as f:
    VERSION = f.read().strip()

KEPT_TONE = 1000


def play_tone(server, directory, seconds=30):
    """An unrelated process playing KEPT_TONE on the private server, started once the stream is up."""
    path = tone(os.path.join(directory, "kept.wav"), KEPT_TONE, seconds)
    proc = subprocess.Popen(["paplay", path], env=server.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while proc.pid not in (server.streams() or {}).values():
        if time.monotonic() > deadline or proc.poll() is not None:
            proc.kill()
            proc.wait()
            raise AssertionError("the player's stream never appeared")
        time.sleep(0.05)
    return proc


def bystander():
    """A process with nothing playing, to exclude: the test's own tree holds the player."""
    return subprocess.Popen(["sleep", "300"], stdin=subprocess.DEVNULL)


def assert_hears_tone(test, stream, seconds=1.0):
    """The stream starts with the header and the kept tone is clearly heard in it."""
    left, _ = split_stream(stream)
    test.assertGreaterEqual(len(left), int(seconds * 48000))
    heard = steady_level(left[-24000:], KEPT_TONE)
    test.assertGreater(heard, 0.05, "the kept tone is missing (level %g)" % heard)
