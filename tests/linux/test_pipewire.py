"""The real program on a private PipeWire server (with WirePlumber and pipewire-pulse): what it hears from
real player processes, how it ends when the server goes, and what it says when there is none.

    test_pipewire.py          everything but the minute-long tone
    test_pipewire.py --long   only the minute-long tone
"""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from tests.process import helperlib
from testkit.audio import (RATE, SinkMonitor, block_amplitudes, change_sinks, db, level, player, ramp,
                                  ramp_breaks, ramp_indices, ramp_shifts, ramp_value, split_stream, steady_level,
                                  tone)
from tests.linux.linuxcase import (SERVICE_NOT_RUNNING, SharedServerCase, bystander, check_excluded_absent,
                                   check_mono_16k, check_no_server, check_trees, run, wait_exit)
from testkit.servers import PipeWireServer, wait_until

HELPER = os.environ["AUDIO_HELPER_LINUX"]
HIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hide_libraries.sh")
PIPEWIRE, PULSE = "libpipewire-0.3.so.0", "libpulse.so.0"
ABSENT = 1e-10  # -200 dBFS


class Capture:
    """The real helper running against `server`, excluding `pid`'s tree."""

    def __init__(self, test, server, pid):
        os.environ.update(server.env)
        self.helper = helperlib.Helper(test, args=(str(pid),), exe=HELPER)
        self.helper.wait_line(15)
        self.helper.wait_stdout(16)
        self.started = time.monotonic()

    def frames(self):
        return (len(self.helper.out) - 16) // 8

    def ahead(self):
        """Seconds of stream written beyond the wall time since the header."""
        return self.frames() / RATE - (time.monotonic() - self.started)

    def wait_frames(self, count):
        self.helper.wait_stdout(16 + 8 * count, timeout=60)

    def stop(self, test):
        self.helper.signal(signal.SIGINT)
        test.assertEqual(self.helper.finish(), 0)
        return split_stream(self.helper.out)


def status_capture(test, env, pid):
    """The helper excluding `pid`'s tree with its status channel on: (helper, the events so far)."""
    read_end, write_end = os.pipe()
    os.environ.update(env)
    helper = helperlib.Helper(test, args=[str(pid), "--status-fd", str(write_end)], exe=HELPER, pass_fds=(write_end,))
    os.close(write_end)
    events = []
    threading.Thread(target=lambda: events.extend(json.loads(line) for line in os.fdopen(read_end, "rb")),
                     daemon=True).start()
    helper.wait_line(15)
    return helper, events


def node_named(env, name):
    """The objects of the graph, and the id of the node named `name`."""
    objects = json.loads(subprocess.run(["pw-dump"], env=env, check=True, capture_output=True, text=True).stdout)
    return objects, next(o["id"] for o in objects if o.get("type") == "PipeWire:Interface:Node"
                         and (o.get("info") or {}).get("props", {}).get("node.name") == name)


class PipeWireCapture(SharedServerCase):
    files_prefix = "pw-tones."

    @classmethod
    def make_server(cls):
        return PipeWireServer(sinks=("sink-a", "sink-b"))

    def test_excluded_tree_is_absent_and_kept_tones_keep_the_monitor_level(self):
        env = self.server.env
        excluded = {440: tone(self.path("x440.wav"), 440, 7), 550: tone(self.path("x550.wav"), 550, 5)}
        kept = {  # frequency: (player, file): 44.1 and 48 kHz, mono, stereo and surround, on either sink
            1000: ("paplay", tone(self.path("k1000.wav"), 1000, 3, rate=44100, channels=1, amplitude=0.3)),
            2000: ("pw-play", tone(self.path("k2000.wav"), 2000, 3, rate=48000, channels=2, amplitude=0.2)),
            3000: ("pw-play", tone(self.path("k3000.wav"), 3000, 3, rate=44100, channels=1, amplitude=0.15)),
            1500: ("paplay -d sink-b", tone(self.path("k1500.wav"), 1500, 3, rate=48000, channels=2, amplitude=0.1)),
            2500: ("pw-play", tone(self.path("k2500.wav"), 2500, 3, rate=48000, channels=6, amplitude=0.1)),  # 5.1
        }
        # The target plays through pw-play itself. Its child starts a grandchild a second later (after the
        # capture has started) and exits; the grandchild then plays through paplay, an orphan.
        target = player(["sh", "-c", '(sleep 1; sh -c "sleep 2; exec paplay %s" & sleep 1.2) & exec pw-play %s'
                         % (excluded[550], excluded[440])], env)
        capture = Capture(self, self.server, target.pid)
        monitors = {sink: SinkMonitor(env, sink, self.path(sink + ".wav")) for sink in ("sink-a", "sink-b")}
        # While only the excluded tree plays, the capture is exactly zero.
        wait_until(lambda: len(self.server.streams() or ()) == 2, "both excluded streams")
        capture.wait_frames(capture.frames() + RATE // 2)
        alone = capture.frames()
        players = [player(tool.split() + [path], env) for tool, path in kept.values()]
        wait_exit(self, players + [target])
        heard_on = {sink: monitor.stop() for sink, monitor in monitors.items()}
        monitor_left = heard_on["sink-a"][0]
        left, right = capture.stop(self)

        for freq in excluded:
            self.assertGreater(steady_level(monitor_left, freq), 0.05, "the sink played %d Hz" % freq)
        self.assertGreater(alone, RATE // 2)
        self.assertFalse(any(left[:alone]) or any(right[:alone]), "the excluded tree was captured")
        for freq in kept:
            sink = "sink-b" if "sink-b" in kept[freq][0] else "sink-a"
            for channel, heard_in, monitor_in in (("left", left, heard_on[sink][0]), ("right", right, heard_on[sink][1])):
                heard, reference = db(steady_level(heard_in, freq)), db(steady_level(monitor_in, freq))
                self.assertLess(abs(heard - reference), 0.05, "%d Hz %s: %.3f dB captured, %.3f dB on the monitor"
                                % (freq, channel, heard, reference))
        # Later, the excluded tones stay out while the kept ones play steadily.
        check_excluded_absent(self, left, right, alone, kept, excluded)

    def test_several_trees_included_and_excluded(self):
        # Native and PulseAudio-protocol players: the server's pid and the one a client declares.
        # Each player names the sink it plays on: the move test before may have left a remembered target.
        check_trees(self, self.server.env, [["pw-play", "--target", "sink-a"], ["paplay", "-d", "sink-a"],
                                            ["pw-play", "--target", "sink-a"]], self.sink_monitor, self.path)

    def test_16_khz_mono_is_the_mean_of_the_channels_at_the_right_rate(self):
        check_mono_16k(self, self.server.env, ["pw-play", "--target", "sink-a"], self.sink_monitor, self.path)

    def test_a_kept_player_whose_link_is_destroyed_raises_silent_capture(self):
        # The player plays on while another client destroys its links into the capture: after 3 s of zeros
        # the status channel says so, and says it is over once the player ends.
        env = self.server.env
        helper, events = status_capture(self, env, bystander(self))
        tone_player = player(["pw-play", "--target", "sink-a", tone(self.path("unheard.wav"), 1000, 30)], env)
        self.addCleanup(tone_player.kill)
        wait_until(lambda: any(helper.out[-4000:]), "the tone captured")
        objects, capture = node_named(env, "audio-helper")
        links = [o["id"] for o in objects if o.get("type") == "PipeWire:Interface:Link"
                 and (o.get("info") or {}).get("input-node-id") == capture]
        self.assertTrue(links, "no link into the capture")
        for link in links:
            subprocess.run(["pw-cli", "destroy", str(link)], env=env, check=True, capture_output=True)
        wait_until(lambda: any(event["event"] == "silent-capture" for event in list(events)), "silent-capture",
                   timeout=10)
        tone_player.kill()
        wait_until(lambda: any(event["event"] == "silent-capture-end" for event in list(events)),
                   "silent-capture-end", timeout=10)
        helper.signal(signal.SIGINT)
        self.assertEqual(helper.finish(), 0)
        wait_until(lambda: events and events[-1]["event"] == "end", "the end event")
        raised = next(event for event in events if event["event"] == "silent-capture")
        self.assertGreaterEqual(raised["silent_ms"], 3000)

    def sink_monitor(self, name):
        return SinkMonitor(self.server.env, "sink-a", self.path(name + ".wav"))

    @unittest.skipUnless(os.environ.get("JACK_TONE"), "no JACK client was built: the JACK library is missing")
    def test_a_jack_client_is_heard_out_of_the_tree_and_absent_in_it(self):
        env = self.server.env
        for inside in (False, True):
            with self.subTest(inside=inside):
                jack = ["pw-jack", os.environ["JACK_TONE"], "1000", "0.25", "2", "sink-a"]
                target = player(jack, env) if inside else None
                capture = Capture(self, self.server, target.pid if inside else bystander(self))
                monitor = SinkMonitor(env, "sink-a", self.path("jack.wav"))
                wait_exit(self, [target or player(jack, env)])
                heard = monitor.stop()
                left, right = capture.stop(self)
                reference = db(steady_level(heard[0], 1000))
                self.assertGreater(reference, db(0.2), "the sink played the JACK client")
                for channel in (left, right):
                    if inside:
                        self.assertFalse(any(channel), "the excluded JACK client was captured")
                    else:
                        self.assertLess(abs(db(steady_level(channel, 1000)) - reference), 0.05)

    def check_ramp(self, left, right, monitors):
        first, breaks = ramp_breaks(left)
        self.assertEqual(first, ramp_value(0), "the ramp's first samples were lost")
        self.assertEqual(breaks[:5], [], "lost or repeated samples")
        # As many as the sinks played (a player may leave out its last partial cycle).
        played = sum(sum(1 for v in monitor[0] if v != 0.0) for monitor in monitors)
        self.assertGreaterEqual(sum(1 for v in left if v != 0.0), played)
        self.assertEqual(list(right), [-v for v in left])

    def test_streams_starting_mid_capture_lose_nothing(self):
        # Moves are checked against what the sinks play (the test below): on a move the server itself may
        # drop a cycle of the stream, which no capture can have.
        env = self.server.env
        ramp(self.path("ramp.wav"), 3)
        for tool in ("pw-play", "paplay"):
            with self.subTest(tool=tool):
                capture = Capture(self, self.server, bystander(self))
                capture.wait_frames(RATE // 5)  # mid-capture
                monitors = [SinkMonitor(env, sink, self.path(sink + ".wav")) for sink in ("sink-a", "sink-b")]
                wait_exit(self, [player([tool, self.path("ramp.wav")], env)])
                capture.wait_frames(capture.frames() + RATE // 5)
                heard = [monitor.stop() for monitor in monitors]
                self.check_ramp(*capture.stop(self), heard)

    def test_moves_and_default_sink_changes_lose_nothing_the_sinks_play(self):
        env = self.server.env
        frames = ramp(self.path("ramp.wav"), 8)

        def play(with_helper):
            capture = Capture(self, self.server, bystander(self)) if with_helper else None
            monitors = [SinkMonitor(env, sink, self.path(sink + ".wav")) for sink in ("sink-a", "sink-b")]
            started = time.monotonic()
            ramp_player = player(["paplay", self.path("ramp.wav")], env)
            changes = ["set-default-sink"] * 10 + ["move-sink-input"] * 10
            # The last change 6 s into the 8 s ramp: every change finds the stream playing.
            change_sinks(env, self.server.stream_of(ramp_player.pid), changes, 0.3)
            wait_exit(self, [ramp_player])
            took = time.monotonic() - started
            played = set()
            for monitor in monitors:
                played.update(ramp_indices(monitor.stop()[0]))
            if capture is None:
                return took, played, None
            # The graph's cycles ran faster than time on each quantum change: the silence after the ramp
            # brings the stream back to the wall clock.
            ahead = capture.ahead()
            wait_until(lambda: capture.ahead() < 0.1, "the stream back on the wall clock", timeout=8)
            print("the stream was %.3f s ahead of the wall clock after the ramp" % ahead)
            return took, played, capture.stop(self)[0]

        alone, played_alone, _ = play(False)
        took, played, left = play(True)
        print("player %.3f s alone, %.3f s captured; the sinks played %d and %d of %d frames"
              % (alone, took, len(played_alone), len(played), frames))
        captured = ramp_indices(left)
        self.assertEqual(captured, sorted(set(captured)), "frames repeated or out of order")
        self.assertEqual(sorted(played - set(captured)), [], "frames the sinks played were not captured")
        # Not checked, as they do not hold in every run: the player's time and what the sinks play are the
        # same with and without the capture (in some runs the sinks lose up to 60,000 more frames with it,
        # or the player takes 4 % longer).

    def test_a_stalled_helper_writes_each_frame_at_its_place(self):
        # The frames the server delivered after the stall must follow the zeros standing for what it lost,
        # never precede them.
        ramp(self.path("ramp.wav"), 3)
        for stall in (0.3, 1.0):
            with self.subTest(stall=stall):
                capture = Capture(self, self.server, bystander(self))
                ramp_player = player(["pw-play", self.path("ramp.wav")], self.server.env)
                wait_until(lambda: capture.frames() > RATE // 2 and any(capture.helper.out[-8000:]), "the ramp")
                capture.helper.proc.send_signal(signal.SIGSTOP)
                time.sleep(stall)
                capture.helper.proc.send_signal(signal.SIGCONT)
                wait_exit(self, [ramp_player])
                capture.wait_frames(capture.frames() + RATE // 5)
                left, right = capture.stop(self)
                _, breaks = ramp_breaks(left)
                self.assertTrue(breaks, "the stall lost nothing: it tested nothing")
                # Within 50 ms of its place (the server's cycle times place what it lost to a few ms; frames
                # from after the stall written before its zeros stood ~0.3 s early).
                shifts = ramp_shifts(left)
                self.assertLess(max(map(abs, shifts)), RATE // 20, "frames moved by the stall: %s" % sorted(shifts))

    def test_silence_is_zero_frames_at_full_rate(self):
        capture = Capture(self, self.server, os.getpid())
        capture.wait_frames(RATE // 10)
        start, first = time.monotonic(), capture.frames()
        capture.wait_frames(first + 2 * RATE)
        elapsed, got = time.monotonic() - start, capture.frames() - first
        # The stream keeps pace with the clock: within a few packets of the wall time the wait took.
        self.assertGreater(got, (elapsed - 0.1) * RATE)
        left, right = capture.stop(self)
        self.assertEqual(bytes(capture.helper.err), helperlib.stderr_bytes(helperlib.setup_lines(os.getpid())))
        self.assertTrue(all(v == 0.0 for v in left) and all(v == 0.0 for v in right), "silence is zeros")


class ServerLifetime(unittest.TestCase):
    def test_server_killed_or_capture_node_destroyed_ends_with_exit_0(self):
        def kill_server(server):
            os.kill(server.pid_of("pipewire"), signal.SIGKILL)

        def destroy_node(server):  # another client removes the capture's node: its stream goes UNCONNECTED
            _, node = node_named(server.env, "audio-helper")
            subprocess.run(["pw-cli", "destroy", str(node)], env=server.env, check=True, capture_output=True)

        # How each loss ends: exit 0 within 2 s, the stage lines only, and on the status channel the
        # engine's own error before the end.
        for lose, error in ((kill_server, {"call": "pw_core", "errno": 32}),
                            (destroy_node, {"call": "pw_stream", "text": "the capture node was removed: the "
                                                                         "stream went unconnected"})):
            with self.subTest(lose=lose.__name__), PipeWireServer() as server:
                helper, events = status_capture(self, server.env, 1)
                helper.wait_stdout(16 + 8 * RATE // 10)
                lost = time.monotonic()
                lose(server)
                self.assertEqual(helper.finish(), 0)
                took = helper.ended - lost
                print("%s: exit %.0f ms after" % (lose.__name__, took * 1000))
                self.assertLess(took, 2.0)
                self.assertEqual(bytes(helper.err), helperlib.stderr_bytes(helperlib.setup_lines(1, argc=4)))
                wait_until(lambda: events and events[-1]["event"] == "end", "the end event")
                errors = [event for event in events if event["event"] == "error"]
                self.assertTrue(any(error.items() <= event.items() for event in errors), errors)
                self.assertEqual(events[-1]["reason"], "device-lost")

    def test_no_server_gives_lines_9_and_10_and_exit_4(self):
        check_no_server(self, HELPER)


def library_file(soname):
    """Where the loader finds `soname` here (the file its links end at)."""
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    return os.path.realpath(re.search(r"^\s*%s \(.*x86-64.*\) => (\S+)$" % re.escape(soname), listing, re.M).group(1))


class MissingLibraries(unittest.TestCase):
    def test_a_missing_server_library_leaves_the_other_engine(self):
        # PipeWire with its pulse server answers both engines: without one library the other engine
        # captures; without both, no server can be reached.
        with PipeWireServer() as server:
            os.environ.update(server.env)
            for hidden, code in (((PIPEWIRE,), 0), ((PULSE,), 0), ((PIPEWIRE, PULSE), 4)):
                with self.subTest(hidden=hidden):
                    files = [library_file(soname) for soname in hidden]
                    helper = helperlib.Helper(self, exe="unshare", args=["--mount", HIDE] + files + ["--", HELPER, "1"])
                    if code == 0:
                        helper.wait_stdout(16 + 8 * RATE // 10, timeout=30)
                        helper.signal(signal.SIGINT)
                    self.assertEqual(helper.finish(), code)
                    lines = helperlib.setup_lines(1) if code == 0 else [
                        helperlib.line(1, 2), helperlib.line(3, 1), helperlib.line(5), helperlib.line(7),
                        helperlib.line(9, helperlib.hx(SERVICE_NOT_RUNNING)),
                        helperlib.line(10, helperlib.hx(SERVICE_NOT_RUNNING))]
                    self.assertEqual(bytes(helper.err), helperlib.stderr_bytes(lines))


class OtherGraphRate(unittest.TestCase):
    def test_a_44100_hz_graph_is_captured_at_48000_hz(self):
        with PipeWireServer(rate=44100) as server, tempfile.TemporaryDirectory() as files:
            path = tone(os.path.join(files, "t.wav"), 1000, 2, rate=44100, amplitude=0.25)
            capture = Capture(self, server, bystander(self))
            capture.wait_frames(RATE // 10)
            start, first = time.monotonic(), capture.frames()
            wait_exit(self, [player(["pw-play", path], server.env)])
            elapsed, got = time.monotonic() - start, capture.frames() - first
            left, _ = capture.stop(self)
        self.assertGreater(got, (elapsed - 0.1) * RATE)
        self.assertLess(got, (elapsed + 0.2) * RATE)
        # At 1000 Hz of a 48 kHz stream: the resampler's level, within its passband ripple.
        self.assertLess(abs(db(steady_level(left, 1000)) - db(0.25)), 0.05)


class MinuteLongTone(unittest.TestCase):
    def test_a_minute_of_tone_has_no_gap(self):
        with PipeWireServer() as server, tempfile.TemporaryDirectory() as files:
            seconds, freq, amplitude = 60, 1000, 0.25
            path = tone(os.path.join(files, "long.wav"), freq, seconds, amplitude=amplitude)
            capture = Capture(self, server, bystander(self))
            wait_exit(self, [player(["pw-play", path], server.env)], timeout=seconds + 60)
            capture.wait_frames(capture.frames() + RATE // 2)  # what the graph still holds
            left, _ = capture.stop(self)
        blocks = block_amplitudes(left, freq)
        playing = [i for i, a in enumerate(blocks) if a > amplitude / 2]
        print("%d blocks of 10 ms hold the tone" % len(playing))
        self.assertGreater(len(playing), seconds * 100 - 5)
        # Every block between the first and the last whole one holds the tone at its level.
        inner = blocks[playing[0] + 1: playing[-1]]
        worst = min(range(len(inner)), key=lambda i: inner[i])
        self.assertGreater(inner[worst], amplitude * 0.99, "gap at %.2f s" % ((playing[0] + 1 + worst) / 100))
        self.assertLess(max(inner), amplitude * 1.01)


if __name__ == "__main__":
    run(sys.modules[__name__], [PipeWireCapture, ServerLifetime, MissingLibraries, OtherGraphRate], MinuteLongTone)
