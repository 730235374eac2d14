"""The real program on private PipeWire and PulseAudio servers: which process ids leave a stream out. A
target that is not a live process leaves nothing out; a pid given to another process, or one a client
reports from inside its own PID namespace, does not take that process's sound out of the capture.

Pids are handed out again on purpose through /proc/sys/kernel/ns_last_pid (root only).
"""

import os
import signal
import subprocess
import sys
import tempfile

from tests.process import helperlib
from testkit.audio import RATE, block_amplitudes, player, split_stream, tone
from tests.linux.linuxcase import SharedServerCase, check_excluded_absent, run
from testkit.servers import PipeWireServer, PulseAudioServer, wait_until

HELPER = os.environ["AUDIO_HELPER_LINUX"]
SANDBOX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sandbox.sh")
AMPLITUDE = 0.25
NS_LAST_PID = "/proc/sys/kernel/ns_last_pid"
# In a new PID namespace of its own, the player gets local pid argv[1] and plays argv[2:].
IN_NAMESPACE = ("import subprocess, sys\n"
                "open('%s', 'w').write(str(int(sys.argv[1]) - 1))\n"
                "p = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL)\n"
                "print(p.pid, flush=True)\n"
                "sys.exit(p.wait())\n" % NS_LAST_PID)


def spawn_at(pid, args, env):
    """`args` started as process `pid`, which must be free: the kernel hands out the pid after the last."""
    for _ in range(50):
        with open(NS_LAST_PID, "w") as f:
            f.write(str(pid - 1))
        proc = player(args, env)
        if proc.pid == pid:
            return proc
        proc.kill()
        proc.wait()
    raise AssertionError("pid %d was not handed out again" % pid)


def wait_gone(pid):
    wait_until(lambda: not os.path.exists("/proc/%d" % pid), "pid %d to be free" % pid)


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().rstrip(b"\0").replace(b"\0", b" ").decode()
    except OSError:
        return ""


def children(pid):
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % name) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(name))
        except (OSError, IndexError, ValueError):
            pass
    return found


class TreeCases:
    """Run against the class's server; `players` are the tools that play there by pid."""

    players = ()

    def setUp(self):
        if not os.access(NS_LAST_PID, os.W_OK):
            self.skipTest("handing out a chosen pid needs root")

    def capture(self, arg):
        os.environ.update(self.server.env)
        os.environ.pop("AUDIO_HELPER_ENGINE", None)
        helper = helperlib.Helper(self, args=(arg,), exe=HELPER)
        helper.wait_stdout(16 + 8, timeout=60)  # streaming: the tree is recorded
        return helper

    def stop(self, helper):
        """Stops the capture once what was played has arrived: (left, right)."""
        helper.wait_stdout(len(helper.out) + 8 * RATE // 2, timeout=60)
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        return split_stream(helper.out)

    def tone(self, freq, seconds=1.5):
        return tone(self.path("t%d-%g.wav" % (freq, seconds)), freq, seconds, amplitude=AMPLITUDE)

    def assert_heard(self, helper, freqs):
        left, _ = self.stop(helper)
        for freq in freqs:
            self.assertGreater(max(block_amplitudes(left, freq) or [0.0]), AMPLITUDE * 0.9, "%d Hz was left out" % freq)

    def test_a_target_that_is_not_a_process_leaves_nothing_out(self):
        for arg in ("0", "abc", "4194303"):
            with self.subTest(arg=arg):
                helper = self.capture(arg)
                played = {1000 + 500 * i: tool for i, tool in enumerate(self.players)}
                procs = [player([tool, self.tone(freq)], self.server.env) for freq, tool in played.items()]
                for proc in procs:
                    self.assertEqual(proc.wait(60), 0)
                self.assert_heard(helper, played)

    def test_the_targets_pid_given_to_another_player(self):
        target = subprocess.Popen(["sleep", "600"])
        self.addCleanup(target.wait)
        self.addCleanup(target.kill)
        helper = self.capture(str(target.pid))
        target.kill()
        target.wait()
        reused = spawn_at(target.pid, [self.players[0], self.tone(1000)], self.server.env)
        self.assertEqual(reused.wait(60), 0)
        self.assert_heard(helper, [1000])

    def test_a_members_pid_given_to_a_shell_whose_child_plays(self):
        # The target's child is a member when the capture starts; then it ends and its pid is reused.
        target = subprocess.Popen([sys.executable, "-c", "import subprocess, time\n"
                                   "p = subprocess.Popen(['sleep', '600']); print(p.pid, flush=True)\n"
                                   "p.wait(); time.sleep(600)"], stdout=subprocess.PIPE)
        self.addCleanup(target.stdout.close)
        self.addCleanup(target.wait)
        self.addCleanup(target.kill)
        member = int(target.stdout.readline())
        helper = self.capture(str(target.pid))
        os.kill(member, signal.SIGKILL)
        wait_gone(member)
        played = {1000 + 500 * i: tool for i, tool in enumerate(self.players)}
        script = "; ".join("%s %s" % (tool, self.tone(freq)) for freq, tool in played.items()) + "; true"
        shell = spawn_at(member, ["sh", "-c", script], self.server.env)
        self.assertEqual(shell.wait(60), 0)
        self.assert_heard(helper, played)

    def test_a_namespace_local_pid_equal_to_the_target(self):
        target = subprocess.Popen(["sleep", "600"])
        self.addCleanup(target.wait)
        self.addCleanup(target.kill)
        helper = self.capture(str(target.pid))
        # The PulseAudio protocol carries only the pid the client sets: here the target's number.
        # --kill-child: ending unshare ends the namespace's first process, and with it every process inside.
        contained = subprocess.Popen(["unshare", "--pid", "--kill-child", "--mount-proc", sys.executable, "-c",
                                      IN_NAMESPACE, str(target.pid), "paplay", self.tone(1000)],
                                     env=self.server.env, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(contained.stdout.close)
        self.addCleanup(contained.wait)
        self.addCleanup(contained.kill)
        self.assertEqual(int(contained.stdout.readline()), target.pid)
        self.assertEqual(contained.wait(60), 0)
        self.assert_heard(helper, [1000])


class PipeWireTree(TreeCases, SharedServerCase):
    files_prefix = "tree-pw."
    players = ("pw-play", "paplay")  # native clients by the socket's pid, pulse clients by the one they set

    @classmethod
    def make_server(cls):
        return PipeWireServer()

    def test_a_sandboxed_client_of_the_tree_is_left_out(self):
        # The pulse server marks a client in a sandbox with the application's id; its pid is local to the sandbox.
        # The sandbox's first process starts the target (local pid 2), then, once the capture runs, the
        # player: below the target, or beside it in the same sandbox. A player on the host is kept.
        for below in (True, False):
            with self.subTest(below=below), tempfile.TemporaryDirectory(dir=self.files) as root:
                go = root + ".go"
                wait_go = "while [ ! -e %s ]; do sleep 0.02; done" % go
                play = "paplay %s" % self.tone(1000)
                script = ("%s; exec %s" % (wait_go, play) if below
                          else "sleep 600 & %s; %s; kill $!" % (wait_go, play))
                sandbox = subprocess.Popen(["unshare", "--mount", "--pid", "--kill-child", SANDBOX, root, "org.test.App",
                                            "sh", "-c", script], env=self.server.env, stdin=subprocess.DEVNULL)
                self.addCleanup(sandbox.wait)
                self.addCleanup(sandbox.kill)
                if below:
                    target = sandbox.pid
                else:
                    def sleeper():
                        inside = children(sandbox.pid)
                        found = [pid for pid in children(inside[0]) if cmdline(pid) == "sleep 600"] if inside else []
                        return found[0] if found else None
                    wait_until(sleeper, "the sandbox's target")
                    target = sleeper()
                helper = self.capture(str(target))
                open(go, "w").close()
                kept = player(["paplay", self.tone(1500, 4)], self.server.env)
                self.assertEqual(sandbox.wait(60), 0)
                self.assertEqual(kept.wait(60), 0)
                left, right = self.stop(helper)
                check_excluded_absent(self, left, right, 0, [1500], [1000])


class PulseTree(TreeCases, SharedServerCase):
    files_prefix = "tree-pulse."
    players = ("paplay",)

    @classmethod
    def make_server(cls):
        return PulseAudioServer()


if __name__ == "__main__":
    run(sys.modules[__name__], [PipeWireTree, PulseTree], None)
