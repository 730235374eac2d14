"""lbas2wav turns well-formed streams into WAV files that match them sample for sample."""

import array
import math
import re
import shutil
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ET

from tests.tools import lbas_testlib as lib


class RoundTrip(lib.ToolTest):
    FRAMES = 300000  # 2.4 MB: crosses the writer's 1 MiB buffer more than once

    def setUp(self):
        super().setUp()
        self.frames = lib.ramp_frames(self.FRAMES)
        self.input = self.write_input("in.lbas", lib.header() + self.frames)

    def test_file_input(self):
        out = self.path("out.wav")
        r = self.run_tool(self.input, out)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(lib.read_wav(out).data, self.frames)
        self.assertIn(f"{self.FRAMES} frames", r.stderr.decode())

    def test_the_header_sets_the_wavs_rate_and_channels(self):
        # 16 kHz mono and 44.1 kHz stereo: the WAV's format is the stream's, its samples the stream's, and
        # the summary's seconds and channels follow the header.
        for rate, channels in ((16000, 1), (44100, 2)):
            with self.subTest(rate=rate, channels=channels):
                samples = struct.pack("<%df" % (rate * channels), *[float(n % 1000) / 1000 for n in range(rate * channels)])
                out = self.path("format.wav")
                r = self.run_tool(self.write_input("f.lbas", lib.header(rate=rate, channels=channels) + samples), out)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assertEqual(lib.read_wav(out, rate, channels).data, samples)
                summary = r.stderr.decode()
                self.assertIn("1.000 s, %d frames" % rate, summary)
                self.assertEqual(summary.count("channel "), channels)

    def test_standard_input_with_and_without_dash(self):
        for args in (["-"], []):
            with self.subTest(args=args):
                out = self.path("stdin.wav")
                r = self.run_tool(*args, out, stdin_data=lib.header() + self.frames)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assertEqual(lib.read_wav(out).data, self.frames)

    def test_pipe_with_odd_write_sizes(self):
        # Small, uneven writes split the header and frames at many offsets on the way in.
        stream = lib.header() + self.frames
        out = self.path("pipe.wav")
        with open(self.path("stderr"), "w+b") as err:
            proc = subprocess.Popen([lib.LBAS2WAV, "-", out], stdin=subprocess.PIPE, stderr=err)
            pos, step = 0, 1
            while pos < len(stream):
                proc.stdin.write(stream[pos:pos + step])
                proc.stdin.flush()
                pos += step
                step = step * 3 % 65521 + 1
            proc.stdin.close()
            proc.wait(timeout=lib.TIMEOUT)
            err.seek(0)
            self.assertEqual(proc.returncode, 0, err.read().decode())
        self.assertEqual(lib.read_wav(out).data, self.frames)

    def test_sox_reads_it_as_48k_stereo_float_with_the_same_samples(self):
        if shutil.which("sox") is None:
            self.skipTest("sox is not installed (Debian package 'sox'); cannot cross-check with another reader")
        # sox converts through 32-bit integers and clips at full scale, so these samples are
        # multiples of 2^-23 inside (-1, 1), which survive that exactly.
        left = [(i % (1 << 23)) / (1 << 23) for i in range(self.FRAMES)]
        frames = lib.frames_from_floats(left, [-v for v in left])
        out, raw = self.path("scaled.wav"), self.path("sox.raw")
        self.assertEqual(self.run_tool(self.write_input("s.lbas", lib.header() + frames), out).returncode, 0)
        info = subprocess.run(["sox", "--i", out], capture_output=True, text=True, timeout=lib.TIMEOUT)
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertRegex(info.stdout, r"Channels\s*:\s*2\n")
        self.assertRegex(info.stdout, r"Sample Rate\s*:\s*48000\n")
        self.assertRegex(info.stdout, r"Sample Encoding\s*:\s*32-bit Floating Point PCM")
        self.assertRegex(info.stdout, rf"= {self.FRAMES} samples")
        conv = subprocess.run(["sox", out, "-t", "raw", "-e", "floating-point", "-b", "32", "-L", raw],
                              capture_output=True, text=True, timeout=lib.TIMEOUT)
        self.assertEqual(conv.returncode, 0, conv.stderr)
        with open(raw, "rb") as f:
            decoded = array.array("f", f.read())
        self.assertEqual(decoded, array.array("f", frames))  # by value: sox does not keep -0.0


class Content(lib.ToolTest):
    def test_header_only_stream_gives_an_empty_valid_wav(self):
        out = self.path("empty.wav")
        r = self.run_tool(self.write_input("h.lbas", lib.header()), out)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(lib.read_wav(out).frames, 0)

    def test_summary_reports_levels_silence_and_nan_per_channel(self):
        n, nan = 48000, float("nan")
        cases = [
            # Channel 0: a 1 kHz sine at 0.5 over whole periods. Channel 1: half digital silence, then 0.1.
            ([0.5 * math.sin(2 * math.pi * 1000 * i / 48000) for i in range(n)], [0.0] * (n // 2) + [0.1] * (n // 2),
             "peak -6.02 dBFS, RMS -9.03 dBFS, digital silence 0.0 %",
             "peak -20.00 dBFS, RMS -23.01 dBFS, digital silence 50.0 %"),
            # NaNs have no level: the levels are those of the numbers, and the NaNs are counted.
            ([nan] * n, [nan] * (n // 2) + [0.1] * (n // 2),
             "peak NaN, RMS NaN, digital silence 0.0 %, NaN 100.0 %",
             "peak -20.00 dBFS, RMS -20.00 dBFS, digital silence 0.0 %, NaN 50.0 %"),
        ]
        for left, right, line0, line1 in cases:
            with self.subTest(line0):
                out = self.path("levels.wav")
                r = self.run_tool(self.write_input("s.lbas", lib.header() + lib.frames_from_floats(left, right)), out)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                err = r.stderr.decode()
                self.assertIn("1.000 s, 48000 frames", err)
                self.assertIn("\n  channel 0: %s\n" % line0, err)
                self.assertIn("\n  channel 1: %s\n" % line1, err)

    def test_svg_is_well_formed_with_a_lane_per_channel(self):
        left = [0.5] * 48000 + [0.0] * 48000
        right = [0.01] * 96000
        out, svg = self.path("o.wav"), self.path("peaks.svg")
        r = self.run_tool("--svg", svg, self.write_input("p.lbas", lib.header() + lib.frames_from_floats(left, right)),
                          out)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        root = ET.parse(svg).getroot()
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        paths = root.findall(".//{http://www.w3.org/2000/svg}path")
        self.assertEqual(len(paths), 2)
        # Channel 0 is loud for the first half and silent after: its path must reach both levels.
        ys = {float(v) for v in re.findall(r"L[\d.]+ ([\d.]+)", paths[0].get("d"))}
        self.assertGreater(max(ys) - min(ys), 50)

    def test_progress_only_when_asked_on_a_pipe(self):
        data = self.write_input("in.lbas", lib.header() + lib.ramp_frames(48000))
        quiet = self.run_tool(data, self.path("a.wav"))
        self.assertNotIn("captured", quiet.stderr.decode())
        loud = self.run_tool("--progress", data, self.path("b.wav"))
        self.assertRegex(loud.stderr.decode(), r"lbas2wav: [\d.]+ s captured, peak ")
        silent = self.run_tool("--quiet", data, self.path("c.wav"))
        self.assertEqual(silent.stderr, b"")

if __name__ == "__main__":
    _, argv = lib.main()
    unittest.main(argv=argv)
