"""Checks of the text parsers the benchmarks rely on, on canned tool output.

    python3 -m bench.test_parsers      (from the repository root)"""
import unittest

from bench import size, strace_parse, syscalls, throughput
from bench.common import Row
from bench.run import table

TRACE = """\
100 10.000000 execve("/x/audio-helper", [...], 0x1 /* 3 vars */) = 0
100 10.100000 write(1, ""..., 16) = 16
101 10.100100 futex(0x10, FUTEX_WAIT_BITSET_PRIVATE, 0, {tv_sec=1, tv_nsec=2}, FUTEX_BITSET_MATCH_ANY) = -1 ETIMEDOUT (Connection timed out)
100 11.000000 write(1, ""..., 3840 <unfinished ...>
101 11.000010 futex(0x20, FUTEX_WAKE_PRIVATE, 1) = 1
100 11.000020 <... write resumed>) = 3840
100 11.010000 futex(0x30, FUTEX_WAIT_BITSET_PRIVATE, 0, NULL, FUTEX_BITSET_MATCH_ANY) = 0
100 11.010100 write(1, ""..., 3840) = 3840
100 11.020000 brk(NULL) = 0x55f4dde60000
100 12.000000 --- SIGINT {si_signo=SIGINT, si_code=SI_USER, si_pid=1, si_uid=0} ---
101 12.000100 +++ exited with 0 +++
"""


class StraceParseTest(unittest.TestCase):
    def test_joins_unfinished_calls_and_keeps_their_start_time(self):
        trace = strace_parse.parse(TRACE)
        writes = [c for c in trace.calls if c.name == "write"]
        self.assertEqual([c.ret for c in writes], [16, 3840, 3840])
        self.assertEqual(writes[1].time, 11.0)
        self.assertEqual(trace.signals, [(100, 12.0, "SIGINT")])

    def test_window_runs_from_header_to_signal_and_splits_threads(self):
        trace = strace_parse.parse(TRACE)
        window = strace_parse.steady_window(trace, 100, 0.5, 0.0)
        self.assertEqual(window, (10.6, 12.0))
        summary = strace_parse.summarize(trace, 100, window, 3840)
        self.assertEqual(summary["packets"], 2)
        self.assertEqual(summary["stdout_writes"], 2)
        self.assertEqual(summary["calls"]["capture"], {"write": 2, "futex": 1, "brk": 1})
        self.assertEqual(summary["calls"]["engine"], {"futex": 1})
        self.assertEqual(summary["memory_calls"], {"brk": 1})

    def test_skipping_writes_moves_the_window_start(self):
        trace = strace_parse.parse(TRACE)
        self.assertEqual(strace_parse.steady_window(trace, 100, 0.0, 0.0, skip_writes=1)[0], 11.0)
        self.assertIsNone(strace_parse.steady_window(trace, 100, 0.0, 0.0, skip_writes=3))


class PerfReportTest(unittest.TestCase):
    def test_engine_kernel_and_user_shares(self):
        text = """\
# Overhead  Shared Object  Symbol
    40.00%  [kernel.kallsyms]  [k] pvm_irq_enable
    30.00%  libm.so.6          [.] __sin_fma
    20.00%  audio-helper       [.] simaudio::PacketSource::render
    10.00%  libc.so.6          [.] __GI___libc_write
"""
        share = throughput.classify_perf_report(text)
        self.assertAlmostEqual(share["engine"], 0.5)
        self.assertAlmostEqual(share["kernel"], 0.4)
        self.assertAlmostEqual(share["user"], 0.1)
        self.assertEqual(share["top_engine"][0], "30.0% __sin_fma")

    def test_empty_report(self):
        self.assertIsNone(throughput.classify_perf_report("")["engine"])


class BacktraceTest(unittest.TestCase):
    def test_first_project_frame_skips_library_frames(self):
        text = """\
#0  __GI___libc_malloc (bytes=504) at ./malloc/malloc.c:3288
#1  0x00007ffff7ca958c in operator new(unsigned long) () from /lib/x86_64-linux-gnu/libstdc++.so.6
#2  0x000055555556036a in std::__new_allocator<simaudio::Packet>::allocate (this=<optimized out>, __n=21) at /usr/include/c++/12/bits/new_allocator.h:112
#3  simaudio::Engine::produceBatch (this=this@entry=0x55555557db80) at /work/main/simaudio/engine.cpp:67
#0  __GI___libc_malloc (bytes=64) at ./malloc/malloc.c:3288
#1  0x0000555555556000 in (anonymous namespace)::drainPackets (captureClient=0x1, silence=...) at /w/driver/audio-helper.cpp:80
"""
        self.assertEqual(syscalls.parse_backtraces(text),
                         ["simaudio::Engine::produceBatch (engine.cpp:67)",
                          "(anonymous namespace)::drainPackets (audio-helper.cpp:80)"])


class SizeTest(unittest.TestCase):
    def test_dll_names(self):
        dump = "\tDLL Name: KERNEL32.dll\n\tvma:  Hint/Ord Member-Name\n\tDLL Name: ole32.dll\n"
        self.assertEqual(size.imported_dlls(dump), ["KERNEL32.dll", "ole32.dll"])


class TableTest(unittest.TestCase):
    def test_row_formatting(self):
        rows = [Row("s", "fig", 1234.5, "MB/s", 1000.0, "ref", 1.2345, ">= 0.8", True, "a|b"),
                Row("s", "missing", None, "ms", note="skipped")]
        lines = table(rows).splitlines()
        self.assertEqual(lines[2], "| s | fig | 1234 MB/s | 1000 (ref) | 1.23 | >= 0.8 | yes | a/b |")
        self.assertEqual(lines[3], "| s | missing | - | - | - |  |  | skipped |")


if __name__ == "__main__":
    unittest.main()
