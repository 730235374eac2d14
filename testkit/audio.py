"""Test audio for the real-engine tests, the benchmarks and the demo: tone and ramp files, players that are
real processes, and analysis of a captured stream (levels per frequency, per-10-ms amplitude fit, ramp
continuity)."""

import array
import math
import os
import struct
import subprocess
import time

RATE = 48000
HEADER = bytes.fromhex("4C424153 80BB0000 02000000 20000000")
RAMP_STEP = 1.0 / 65536  # exactly representable, so a float path that does not touch it keeps it exact
RAMP_PERIOD = 32768


def write_wav(path, channels_data, rate):
    """A 32-bit float WAV file from one array of samples per channel."""
    channels = len(channels_data)
    frames = len(channels_data[0])
    samples = array.array("f", bytes(4 * frames * channels))
    for index, data in enumerate(channels_data):
        samples[index::channels] = array.array("f", data)
    payload = samples.tobytes()
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 26 + 8 + len(payload)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHHH", 18, 3, channels, rate, rate * 4 * channels, 4 * channels, 32, 0))
        f.write(b"data" + struct.pack("<I", len(payload)) + payload)


def tone(path, freq, seconds, rate=RATE, channels=2, amplitude=0.25):
    """A sine tone file made with sox."""
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-e", "floating-point", "-b", "32", path,
                    "synth", str(seconds), "sine", str(freq), "vol", str(amplitude)], check=True,
                   capture_output=True)
    return path


def ramp_value(frame):
    return ((frame % RAMP_PERIOD) + 1) * RAMP_STEP


def ramp(path, seconds):
    """Stereo: frame n holds ramp_value(n) on the left, its negation on the right."""
    frames = int(seconds * RATE)
    left = array.array("f", (ramp_value(n) for n in range(frames)))
    write_wav(path, [left, array.array("f", (-v for v in left))], RATE)
    return frames


def split_stream(data):
    """Header check, then (left, right) float arrays of a captured stream."""
    if bytes(data[:16]) != HEADER:
        raise AssertionError("not the stream header: %r" % bytes(data[:16]))
    payload = bytes(data[16: 16 + (len(data) - 16) // 8 * 8])
    samples = array.array("f")
    samples.frombytes(payload)
    return samples[0::2], samples[1::2]


def split_any_stream(data):
    """(rate, channels, [samples of each channel]) of a captured stream of any format its header announces."""
    if bytes(data[:4]) != b"LBAS" or struct.unpack("<I", bytes(data[12:16]))[0] != 32:
        raise AssertionError("not a float stream header: %r" % bytes(data[:16]))
    rate, channels = struct.unpack("<II", bytes(data[4:12]))
    samples = array.array("f")
    samples.frombytes(bytes(data[16: 16 + (len(data) - 16) // (4 * channels) * 4 * channels]))
    return rate, channels, [samples[c::channels] for c in range(channels)]


def level(samples, freq, start=0, count=None, rate=RATE):
    """Amplitude of the sine at `freq` in samples[start:start+count], by projection (exact for whole periods)."""
    count = len(samples) - start if count is None else count
    step = 2 * math.pi * freq / rate
    s = c = 0.0
    for i in range(count):
        v = samples[start + i]
        s += v * math.sin(step * i)
        c += v * math.cos(step * i)
    return 2 * math.hypot(s, c) / count if count else 0.0


def db(amplitude):
    return 20 * math.log10(amplitude) if amplitude > 0 else float("-inf")


def steady_level(samples, freq, window=4800, rate=RATE):
    """The median level over windows of 100 ms where the tone plays: its level once steady."""
    levels = sorted(level(samples, freq, start, window, rate) for start in range(0, len(samples) - window + 1, window))
    playing = [value for value in levels if value > 1e-4]
    return playing[len(playing) // 2] if playing else (levels[-1] if levels else 0.0)


def block_amplitudes(samples, freq, block=480):
    """Fitted amplitude of `freq` in each 10 ms block (freq a multiple of 100 Hz: whole periods per block)."""
    step = 2 * math.pi * freq / RATE
    sines = [math.sin(step * i) for i in range(block)]
    cosines = [math.cos(step * i) for i in range(block)]
    result = []
    for start in range(0, len(samples) - block + 1, block):
        chunk = samples[start: start + block]
        s = sum(map(float.__mul__, chunk, sines))
        c = sum(map(float.__mul__, chunk, cosines))
        result.append(2 * math.hypot(s, c) / block)
    return result


def ramp_breaks(left):
    """Where a captured ramp does not step by exactly one frame: (index, value, previous) for each break.
    Before the first ramp sample and after the last, zeros are allowed."""
    breaks = []
    values = [v for v in left]
    first = next((i for i, v in enumerate(values) if v != 0.0), None)
    if first is None:
        return None, breaks
    last = max(i for i, v in enumerate(values) if v != 0.0)
    for i in range(first + 1, last + 1):
        previous, value = values[i - 1], values[i]
        expected = previous + RAMP_STEP if previous < RAMP_PERIOD * RAMP_STEP else RAMP_STEP
        if value != expected:
            breaks.append((i, value, previous))
    return values[first], breaks


def ramp_indices(samples):
    """The ramp frame index of each nonzero sample: of those its value stands for (one per ramp period), the
    one nearest to where the sample before it places it (silence between counts as time passing)."""
    indices, previous = [], None
    for position, v in enumerate(samples):
        if v == 0.0:
            continue
        index = round(v / RAMP_STEP) - 1
        if previous is not None:
            expected = indices[-1] + position - previous
            index += round((expected - index) / RAMP_PERIOD) * RAMP_PERIOD
        indices.append(index)
        previous = position
    return indices


def ramp_shifts(left):
    """How far each captured ramp sample stands from where the first one places it, in frames (within half
    the ramp's period): {0} when every frame is at its place, whatever went missing between."""
    offsets = [(i - round(v / RAMP_STEP) + 1) % RAMP_PERIOD for i, v in enumerate(left) if v != 0.0]
    return {(o - offsets[0] + RAMP_PERIOD // 2) % RAMP_PERIOD - RAMP_PERIOD // 2 for o in offsets}


def player(args, env, **kwargs):
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, **kwargs)


def change_sinks(env, stream, changes, interval):
    """Takes `stream` from sink-a to sink-b and back, change k at k `interval`s from now for each item of
    `changes`: "move-sink-input" moves the stream itself, "set-default-sink" moves the default sink it
    follows until it is moved itself. On the clock, not one sleep after another: on a loaded machine each
    pactl takes tens of milliseconds, which would push the last changes past the end of the stream."""
    sink = "sink-a"
    start = time.monotonic()
    for k, change in enumerate(changes, 1):
        time.sleep(max(0.0, start + k * interval - time.monotonic()))
        sink = "sink-b" if sink == "sink-a" else "sink-a"
        args = [sink] if change == "set-default-sink" else [stream, sink]
        subprocess.run(["pactl", change] + args, env=env, check=True)


class SinkMonitor:
    """pw-record of a sink's monitor into a WAV file: what the sink itself played."""

    count = 0
    # Recorders a failed test left running: ended before the next test, whose files they would write into.
    running = set()

    def __init__(self, env, sink, path):
        self.path = path
        # Linked here, never by the session manager: it stays on its sink whatever the default sink does.
        SinkMonitor.count += 1
        name = "sink-monitor-%d-%d" % (os.getpid(), SinkMonitor.count)
        self.proc = subprocess.Popen(["pw-record", "-P", "{ node.name = %s node.autoconnect = false }" % name,
                                      "--format", "f32", "--rate", str(RATE), "--channels", "2", path], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        SinkMonitor.running.add(self.proc)
        deadline = time.monotonic() + 30
        for channel in ("FL", "FR"):
            while subprocess.run(["pw-link", "%s:monitor_%s" % (sink, channel), "%s:input_%s" % (name, channel)],
                                 env=env, capture_output=True).returncode != 0:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    SinkMonitor.end_leftovers()
                    raise RuntimeError("could not link the monitor of " + sink)
                time.sleep(0.02)

    def stop(self):
        """(left, right) of what was recorded."""
        self.proc.send_signal(2)
        self.proc.wait(30)
        SinkMonitor.running.discard(self.proc)
        with open(self.path, "rb") as f:
            data = f.read()
        start = data.index(b"data") + 8
        return split_stream(HEADER + data[start:])

    @classmethod
    def end_leftovers(cls):
        for proc in cls.running:
            proc.kill()
            proc.wait()
        cls.running.clear()
