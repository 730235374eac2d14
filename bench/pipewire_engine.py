#!/usr/bin/env python3
"""The real program on a private PipeWire server: CPU per audio hour (the helper plus the server's
increase) against pw-record of the sink monitor in the same run, and against pw-record linked to the players
as the helper is, with 1, 3 and 10 kept streams playing;
latency from a sample played to its arrival on standard output, and heap calls per packet in steady state.
With --formats, only the CPU of 16 kHz mono against 48 kHz stereo (one stream playing), in interleaved
rounds, from a program that takes the options (--options-helper: the program by default), beside the program
itself at 48 kHz stereo.

    python3 -m bench.pipewire_engine [--quick] [--streams 1,3,10] [--helper build/native/audio-helper]
    python3 -m bench.pipewire_engine --formats [--rounds N]

Builds bench/tools/pw_click.c and alloc_count.c into build/bench/tools. Prints the figures as JSON.
"""

import argparse
import array
import json
import os
import statistics
import subprocess
import tempfile
import threading
import time

from bench.engine_common import (ROOT, TOOLS, bystander, click_latencies, cpu_seconds, cpu_summary,
                                 cpu_window)
from testkit.audio import player, tone
from testkit.servers import PipeWireServer


def build_tools():
    os.makedirs(TOOLS, exist_ok=True)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libpipewire-0.3"], check=True, capture_output=True,
                           text=True).stdout.split()
    subprocess.run(["gcc", "-O2", "-o", os.path.join(TOOLS, "pw_click"), os.path.join(ROOT, "bench/tools/pw_click.c")]
                   + flags, check=True)
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", os.path.join(TOOLS, "alloc_count.so"),
                    os.path.join(ROOT, "bench/tools/alloc_count.c")], check=True)


def servers_cpu(server):
    return sum(cpu_seconds(proc.pid) for proc in server.procs)


# pw-record scheduled as the helper's node is: always processed, unlinked by the session manager, and
# linked to each player's output (not the sink's monitor). Such a node runs after the players in each
# cycle, with the server waking once more to start it; the monitor's recorder runs beside them.
LINKED = "bench-linked"
LINKED_RECORDER = ["pw-record", "-P", "{ node.name = %s node.autoconnect = false node.always-process = true "
                   "node.want-driver = true }" % LINKED, "--format", "f32", "--rate", "48000", "--channels", "2", "-"]


def link_players(env):
    """Links every player's output ports to the linked recorder's inputs, channel by channel; False while
    the recorder has no ports yet."""
    dump = json.loads(subprocess.run(["pw-dump"], env=env, capture_output=True, text=True, timeout=10).stdout)
    nodes = {o["id"]: o["info"]["props"] for o in dump if o["type"] == "PipeWire:Interface:Node"}
    ports = [o for o in dump if o["type"] == "PipeWire:Interface:Port"]

    def of(port, key):
        return port["info"]["props"].get(key)

    inputs = {of(p, "audio.channel"): p["id"] for p in ports
              if nodes.get(of(p, "node.id"), {}).get("node.name") == LINKED and of(p, "port.direction") == "in"}
    if not inputs:
        return False
    for port in ports:
        node = nodes.get(of(port, "node.id"), {})
        if (node.get("media.class") == "Stream/Output/Audio" and of(port, "port.direction") == "out"
                and of(port, "audio.channel") in inputs):
            subprocess.run(["pw-link", str(port["id"]), str(inputs[of(port, "audio.channel")])], env=env,
                           capture_output=True, timeout=10)
    return True


def measure(server, argv, seconds):
    """CPU seconds of `argv` (None: nothing) and of the server over a window of `seconds`."""
    proc = subprocess.Popen(argv, env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) if argv else None
    if argv == LINKED_RECORDER:
        deadline = time.monotonic() + 10
        while not link_players(server.env) and time.monotonic() < deadline:
            time.sleep(0.1)
    time.sleep(1.0)  # past start-up
    return cpu_window(proc, lambda: servers_cpu(server), seconds)


def cpu_figures(server, helper, seconds, rounds):
    """`helper`: the helper's command line."""
    runs = {"idle": [], "helper": [], "pw-record": [], "pw-record-linked": []}
    commands = {"idle": None, "helper": helper,
                "pw-record": ["pw-record", "--target", "sink-a", "-P", "{ stream.capture.sink = true }",
                              "--format", "f32", "--rate", "48000", "--channels", "2", "-"],
                "pw-record-linked": LINKED_RECORDER}
    for _ in range(rounds):
        for name, argv in commands.items():  # interleaved, so drifts fall on all alike
            runs[name].append(measure(server, argv, seconds))
    figures = cpu_summary(runs, "pw-record")
    linked = cpu_summary(runs, "pw-record-linked")
    figures["pw-record-linked"], figures["ratio_to_linked"] = linked["pw-record-linked"], linked["ratio"]
    return figures


def format_figures(server, helper, options_helper, seconds, rounds):
    """CPU per audio hour (own, and own plus the server's increase over idle) of each format."""
    commands = {"idle": None, "program 48000/2": helper,
                "48000/2": options_helper + ["--rate", "48000", "--channels", "2"],
                "16000/1": options_helper + ["--rate", "16000", "--channels", "1"]}
    runs = {name: [] for name in commands}
    for _ in range(rounds):
        for name, argv in commands.items():  # interleaved, so drifts fall on all alike
            runs[name].append(measure(server, argv, seconds))
    idle_server = statistics.median(srv for _, srv in runs["idle"])
    figures = {}
    for name in list(commands)[1:]:
        totals = [own + srv - idle_server for own, srv in runs[name]]
        figures[name] = {"cpu_s_per_audio_hour": round(statistics.median(totals) * 3600, 1),
                         "own_s_per_audio_hour": round(statistics.median(own for own, _ in runs[name]) * 3600, 1),
                         "server_increase_s_per_audio_hour":
                             round(statistics.median(srv - idle_server for _, srv in runs[name]) * 3600, 1),
                         "rounds": [round(v * 3600, 1) for v in totals]}
    figures["ratio_16000/1_to_48000/2"] = round(figures["16000/1"]["cpu_s_per_audio_hour"]
                                                / figures["48000/2"]["cpu_s_per_audio_hour"], 2)
    return figures


def latency_figures(server, helper, clicks, quantum):
    proc = subprocess.Popen(helper, env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    arrivals = []
    header = os.read(proc.stdout.fileno(), 16)
    assert len(header) == 16

    def read():
        pending, above = b"", False
        while True:
            chunk = os.read(proc.stdout.fileno(), 65536)
            now = time.monotonic_ns()
            if not chunk:
                return
            data = pending + chunk
            whole = len(data) // 4 * 4
            samples = array.array("f", data[:whole])
            pending = data[whole:]
            for value in samples[0::2] if whole % 8 == 0 else samples:
                if value > 0.25 and not above:
                    arrivals.append(now)
                above = value > 0.25

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    time.sleep(0.5)
    click = subprocess.run([os.path.join(TOOLS, "pw_click"), str(clicks), "200", str(quantum)], env=server.env, capture_output=True,
                           text=True, timeout=120)
    time.sleep(0.3)
    proc.send_signal(2)
    proc.wait(10)
    reader.join(10)
    played = [int(line) for line in click.stdout.split()]
    return {"quantum": quantum, **click_latencies(played, arrivals)}


def alloc_figures(server, helper, seconds):
    out = tempfile.mktemp(prefix="alloc.")
    env = dict(server.env, LD_PRELOAD=os.path.join(TOOLS, "alloc_count.so"), BENCH_ALLOC_OUT=out)
    proc = subprocess.Popen(helper, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    proc.send_signal(2)
    proc.wait(10)
    with open(out) as f:
        report = json.loads(f.read())
    os.unlink(out)
    return report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, help="interleaved CPU rounds (default 5; 2 with --quick)")
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "native", "audio-helper"))
    parser.add_argument("--streams", default="1,3,10", help="kept streams playing during the CPU rounds")
    parser.add_argument("--formats", action="store_true", help="only 16 kHz mono against 48 kHz stereo")
    parser.add_argument("--options-helper", default=os.path.join(ROOT, "build", "native", "audio-helper"))
    args = parser.parse_args()
    if args.formats:
        seconds, rounds = (3, 2) if args.quick else (10, 5)
        with bystander() as excluded, PipeWireServer() as server, tempfile.TemporaryDirectory() as files:
            music = player(["pw-play", tone(os.path.join(files, "tone.wav"), 1000, 600, amplitude=0.1)], server.env)
            try:
                figures = format_figures(server, [os.path.abspath(args.helper), excluded],
                                         [os.path.abspath(args.options_helper), excluded], seconds,
                                         args.rounds or rounds)
            finally:
                music.kill()
                music.wait()
        print(json.dumps(figures, indent=2))
        return
    build_tools()
    seconds, rounds = (3, 2) if args.quick else (10, 5)
    rounds = args.rounds or rounds
    with bystander() as excluded, PipeWireServer() as server, tempfile.TemporaryDirectory() as files:
        helper = [os.path.abspath(args.helper), excluded]
        # Kept application streams play throughout, as in use; latency and heap calls with one.
        path = tone(os.path.join(files, "tone.wav"), 1000, 3600 if not args.quick else 600, amplitude=0.1)
        figures, music = {"cpu": {}}, []
        try:
            for count in sorted(int(n) for n in args.streams.split(",")):
                while len(music) < count:
                    music.append(player(["pw-play", path], server.env))
                figures["cpu"]["%d_streams" % count] = cpu_figures(server, helper, seconds, rounds)
            for extra in music[1:]:
                extra.kill()
                extra.wait()
            del music[1:]
            figures["latency"] = [latency_figures(server, helper, 10 if args.quick else 30, q) for q in (480, 1024)]
            figures["heap_calls_steady_state"] = alloc_figures(server, helper, 5)
        finally:
            for proc in music:
                proc.kill()
                proc.wait()
    print(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
