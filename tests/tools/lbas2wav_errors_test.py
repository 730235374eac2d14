"""Bad input, bad arguments and I/O failures: a clear error, a distinct exit code, never a corrupt WAV."""

import os
import resource
import signal
import unittest

from tests.tools import lbas_testlib as lib

EXIT_USAGE, EXIT_NO_HEADER, EXIT_TRUNCATED, EXIT_READ, EXIT_WRITE = 1, 2, 3, 4, 5


class BadHeaders(lib.ToolTest):
    FRAMES = lib.ramp_frames(100)
    CASES = [
        ("empty", b"", "empty stream"),
        ("cut short", lib.header()[:5], "got 5 of 16 bytes"),
        ("wav given", b"RIFF" + bytes(12) + FRAMES, "already a RIFF/WAV file"),
        ("other magic", b"LBAT" + lib.header()[4:] + FRAMES, 'bad magic "LBAT"'),
        ("no rate", lib.header(rate=0) + FRAMES, "sample rate 0"),
        ("rate", lib.header(rate=1000000) + FRAMES, "sample rate 1000000"),
        ("channels", lib.header(channels=3) + FRAMES, "channel count 3"),
        ("sample size", lib.header(bits=16) + FRAMES, "sample size 16"),
    ]

    def test_each_gives_its_own_error_and_creates_nothing(self):
        for name, stream, phrase in self.CASES:
            with self.subTest(name):
                out = self.path(f"{name}.wav")
                r = self.run_tool(self.write_input("in.lbas", stream), out)
                self.assertEqual(r.returncode, EXIT_NO_HEADER, r.stderr.decode())
                self.assert_one_error_line(r, phrase, "nothing written")
                self.assertFalse(os.path.exists(out))

    def test_existing_output_is_left_alone(self):
        out = self.write_input("keep.wav", b"precious")
        r = self.run_tool(self.write_input("in.lbas", lib.header(channels=0)), out)
        self.assertEqual(r.returncode, EXIT_NO_HEADER)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"precious")


class TruncatedStream(lib.ToolTest):
    def test_partial_last_frame_is_reported_and_dropped(self):
        frames = lib.ramp_frames(1000)
        for cut in (1, 4, 7):
            with self.subTest(cut=cut):
                out = self.path("t.wav")
                r = self.run_tool(self.write_input("in.lbas", lib.header() + frames[:-cut]), out)
                self.assertEqual(r.returncode, EXIT_TRUNCATED, r.stderr.decode())
                self.assert_one_error_line(r, "inside a frame", f"dropped {8 - cut} trailing byte")
                self.assertEqual(lib.read_wav(out).data, frames[:-8])


class Arguments(lib.ToolTest):
    def test_usage_errors(self):
        cases = [
            ([], "missing OUTPUT"),
            (["a", "b", "c"], "too many arguments"),
            (["--bogus", "o.wav"], "unknown option '--bogus'"),
            (["in", "-"], "OUTPUT must be a file"),
            (["o.wav", "--svg"], "--svg needs a file name"),
        ]
        # Every pair of paths naming one file, in any spelling, whether or not it exists yet: writing one
        # of them would destroy the other.
        stream = lib.header() + lib.ramp_frames(10)
        same = self.write_input("same.lbas", stream)
        cases += [
            ([same, same], "INPUT and OUTPUT are the same file"),
            (["same.lbas", "./same.lbas"], "INPUT and OUTPUT are the same file"),
            (["--svg", same, same, "o.wav"], "--svg FILE and INPUT are the same file"),
            (["--svg", "o.wav", same, "o.wav"], "--svg FILE and OUTPUT are the same file"),
            (["--svg=./o.wav", same, self.path("o.wav")], "--svg FILE and OUTPUT are the same file"),
            (["--svg", "same.lbas", same, "same.lbas"], "INPUT and OUTPUT are the same file"),
        ]
        for args, phrase in cases:
            with self.subTest(args=args):
                r = self.run_tool(*args, cwd=self.dir)
                self.assertEqual(r.returncode, EXIT_USAGE)
                self.assert_one_error_line(r, phrase)
                self.assertEqual(os.listdir(self.dir), ["same.lbas"])
        with open(same, "rb") as f:
            self.assertEqual(f.read(), stream)

class InputOutputFailures(lib.ToolTest):
    def test_missing_input(self):
        r = self.run_tool(self.path("nope.lbas"), self.path("o.wav"))
        self.assertEqual(r.returncode, EXIT_READ)
        self.assert_one_error_line(r, "cannot open", "No such file or directory")
        self.assertFalse(os.path.exists(self.path("o.wav")))

    def test_unreadable_input(self):
        # A directory opens but cannot be read.
        r = self.run_tool(self.dir, self.path("o.wav"))
        self.assertEqual(r.returncode, EXIT_READ)
        self.assert_one_error_line(r, "cannot read input", "Is a directory")

    def test_output_cannot_be_created(self):
        data = self.write_input("in.lbas", lib.header() + lib.ramp_frames(10))
        fifo = self.path("fifo")
        os.mkfifo(fifo)  # opening it would block until a reader came: it must be refused, not opened
        for out, phrase in ((self.path("no/such/dir.wav"), "No such file or directory"),
                            (self.dir, "not a regular file"), (fifo, "not a regular file")):
            with self.subTest(out=out):
                r = self.run_tool(data, out)
                self.assertEqual(r.returncode, EXIT_WRITE)
                self.assert_one_error_line(r, "cannot create", phrase)
        self.assertEqual(sorted(os.listdir(self.dir)), ["fifo", "in.lbas"])

    def run_with_file_size_limit(self, limit, stream, out):
        """A file size limit makes writes fail part-way (EFBIG), as a full disk would."""
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

        return self.run_tool(self.write_input("in.lbas", stream), out, preexec_fn=limit_file_size)

    def test_write_failure_keeps_a_valid_wav_of_what_was_written(self):
        frames = lib.ramp_frames(400000)
        out = self.path("o.wav")
        r = self.run_with_file_size_limit(58 + 8 * 150000 + 5, lib.header() + frames, out)
        self.assertEqual(r.returncode, EXIT_WRITE, r.stderr.decode())
        self.assert_one_error_line(r, "cannot write", "File too large", "cut back to the 150000 frames")
        self.assertEqual(lib.read_wav(out).data, frames[:8 * 150000])

    def test_output_is_removed_when_not_even_the_wav_header_fits(self):
        out = self.path("o.wav")
        r = self.run_with_file_size_limit(20, lib.header() + lib.ramp_frames(10), out)
        self.assertEqual(r.returncode, EXIT_WRITE, r.stderr.decode())
        self.assert_one_error_line(r, "File too large")
        self.assertFalse(os.path.exists(out))

    def test_svg_write_failure(self):
        out = self.path("o.wav")
        r = self.run_tool("--svg", self.path("no/dir.svg"),
                          self.write_input("in.lbas", lib.header() + lib.ramp_frames(10)), out)
        self.assertEqual(r.returncode, EXIT_WRITE)
        self.assert_one_error_line(r, "cannot write", "dir.svg")
        self.assertEqual(lib.read_wav(out).frames, 10)


if __name__ == "__main__":
    _, argv = lib.main()
    unittest.main(argv=argv)
