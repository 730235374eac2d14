"""The text parsers and the README update the benchmarks rely on, on canned text.

    python3 -m bench.test_parsers      (from the repository root)"""
import unittest

from bench import pulse, run, sim
from bench.common import Row

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


class ParserTest(unittest.TestCase):
    def test_strace_joins_unfinished_calls_and_windows_from_header_to_signal(self):
        trace = sim.parse_strace(TRACE)
        self.assertEqual([(c.time, c.ret) for c in trace[0] if c.name == "write"],
                         [(10.1, 16), (11.0, 3840), (11.0101, 3840)])
        self.assertEqual(trace[1:], ([12.0], {"1"}))
        window = sim.steady_window(trace, 0.5, 0.0)
        self.assertEqual(window, (10.6, 12.0, 100))
        summary = sim.summarize(trace, window, 3840)
        self.assertEqual((summary["packets"], summary["stdout_writes"], summary["memory_calls"]), (2, 2, {"brk": 1}))
        self.assertEqual(summary["calls"], {"capture": {"write": 2, "futex": 1, "brk": 1}, "others": {"futex": 1}})
        self.assertEqual(sim.steady_window(trace, 0.0, 0.0, skip_writes=1)[0], 11.0)
        self.assertIsNone(sim.steady_window(trace, 0.0, 0.0, skip_writes=3))

    def test_a_reopened_standard_output_written_by_another_thread(self):
        trace = sim.parse_strace('1 1.0 openat(AT_FDCWD, "/proc/self/fd/1", O_WRONLY|O_CLOEXEC) = 3\n'
                                 '2 1.1 write(3, ""..., 16) = 16\n2 1.2 write(3, ""..., 3840) = 3840\n'
                                 '3 1.3 <... rt_sigtimedwait resumed>{si_signo=SIGINT, si_code=SI_USER}, NULL, 8) = 2\n')
        self.assertEqual(trace[1:], ([1.3], {"1", "3"}))
        self.assertEqual(sim.steady_window(trace, 0.0, 0.0), (1.1, 1.3, 2))

    def test_perf_shares(self):
        share = sim.classify_perf_report("# Overhead  Shared Object  Symbol\n"
                                         "    40.00%  [kernel.kallsyms]  [k] pvm_irq_enable\n"
                                         "    30.00%  libm.so.6          [.] __sin_fma\n"
                                         "    20.00%  audio-helper       [.] simaudio::PacketSource::render\n"
                                         "    10.00%  libc.so.6          [.] __GI___libc_write\n")
        self.assertEqual([round(share[k], 6) for k in ("engine", "kernel", "user")], [0.5, 0.4, 0.1])
        self.assertEqual(share["top_engine"][0], "30.0% __sin_fma")
        self.assertIsNone(sim.classify_perf_report("")["engine"])

    def test_first_project_frame_of_each_backtrace(self):
        text = """\
#0  __GI___libc_malloc (bytes=504) at ./malloc/malloc.c:3288
#1  0x00007ffff7ca958c in operator new(unsigned long) () from /lib/x86_64-linux-gnu/libstdc++.so.6
#2  0x000055555556036a in std::__new_allocator<simaudio::Packet>::allocate (this=<optimized out>, __n=21) at /usr/include/c++/12/bits/new_allocator.h:112
#3  simaudio::Engine::produceBatch (this=this@entry=0x55555557db80) at /work/main/simaudio/engine.cpp:67
#0  __GI___libc_malloc (bytes=64) at ./malloc/malloc.c:3288
#1  0x0000555555556000 in (anonymous namespace)::drainPackets (captureClient=0x1, silence=...) at /w/driver/audio-helper.cpp:80
"""
        self.assertEqual(sim.parse_backtraces(text), ["simaudio::Engine::produceBatch (engine.cpp:67)",
                                                      "(anonymous namespace)::drainPackets (audio-helper.cpp:80)"])

    def test_dll_names_and_dropouts(self):
        dump = "\tDLL Name: KERNEL32.dll\n\tvma:  Hint/Ord Member-Name\n\tDLL Name: ole32.dll\n"
        self.assertEqual(run.imported_dlls(dump), ["KERNEL32.dll", "ole32.dll"])
        tone = [0.5] * 100 + [0.0] * 15 + [0.5] * 10 + [0.0] * 16 + [0.5] * 48000
        stereo = [v for value in [0.0] * 30 + tone + [0.0] * 30 for v in (value, value)]
        self.assertEqual(pulse.dropouts(__import__("array").array("f", stereo).tobytes()),
                         (1, (len(tone) - 1) / 48000))


class ReadmeTest(unittest.TestCase):
    def test_rows_and_blocks(self):
        lines = run.table([Row("s", "fig", 1234.5, "MB/s", 1000.0, "ref", 1.2345, ">= 0.8", True, "a|b"),
                           Row("s", "missing", None, "ms", note="skipped")]).splitlines()
        self.assertEqual(lines[2:], ["| fig | 1234 MB/s | 1000 (ref) | 1.23 | >= 0.8 | yes | a/b |",
                                     "| missing | - | - | - |  |  | skipped |"])
        old = f"head\n{run.BEGIN}\n#### stop: day 1\n\nold stop\n\n#### size: day 1\n\nold size\n{run.END}\ntail"
        new = run.update_readme(old, {"throughput": "#### throughput: day 2\n\nnew", "stop": "#### stop: day 2\n\nnew"})
        self.assertEqual(new, f"head\n{run.BEGIN}\n#### throughput: day 2\n\nnew\n\n#### stop: day 2\n\nnew\n\n"
                              f"#### size: day 1\n\nold size\n{run.END}\ntail")


if __name__ == "__main__":
    unittest.main()
