"""The demo behind scripts/demo.sh: an "application" process tree plays 440 Hz, an unrelated process plays
1000 Hz, and the helper captures everything except the application's tree.

    demo.py HELPER LBAS2WAV SECONDS OUTPUT.wav
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from testkit.audio import db, split_stream, steady_level, tone
from testkit.servers import PipeWireServer, PulseAudioServer, quiet

APP_TONE, OTHER_TONE = 440, 1000


def running_server():
    """Whether a server answers here: PulseAudio, or PipeWire through its pulse server."""
    return quiet(["pactl", "info"], dict(os.environ), timeout=3) is not None


def wav_samples(path):
    with open(path, "rb") as f:
        data = f.read()
    start = data.index(b"data") + 8
    return split_stream(bytes.fromhex("4C424153 80BB0000 02000000 20000000") + data[start:])


def demo(helper, lbas2wav, seconds, output, env):
    files = tempfile.mkdtemp(prefix="demo-tones.")
    app_file = tone(os.path.join(files, "app.wav"), APP_TONE, seconds + 3)
    other_file = tone(os.path.join(files, "other.wav"), OTHER_TONE, seconds + 3)
    quiet_io = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                    start_new_session=True)
    # The application: a shell whose child plays its tone. Each player leads a process group of its own, so
    # ending the group at the end ends the child too, and the demo leaves nothing playing behind it.
    players, tools = [], []
    try:
        app = subprocess.Popen(["sh", "-c", 'paplay "$0"; :', app_file], **quiet_io)
        players.append(app)
        other = subprocess.Popen(["paplay", other_file], **quiet_io)
        players.append(other)
        print("application tree: pid %d playing %d Hz; unrelated process: pid %d playing %d Hz"
              % (app.pid, APP_TONE, other.pid, OTHER_TONE))
        time.sleep(0.5)
        with open(os.path.join(files, "helper.err"), "wb") as err:
            capture = subprocess.Popen([helper, str(app.pid)], stdout=subprocess.PIPE, stderr=err, env=env)
            tools.append(capture)
            convert = subprocess.Popen([lbas2wav, "-", output], stdin=capture.stdout, env=env)
            tools.append(convert)
            capture.stdout.close()
            time.sleep(seconds)
            capture.send_signal(signal.SIGINT)  # as a parent stops it: Ctrl+C
            code = capture.wait(30)
            convert.wait(30)
    finally:
        # A capture or conversion that did not end in time is not left running either.
        for proc in tools:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        for proc in players:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
    with open(os.path.join(files, "helper.err"), "rb") as f:
        sys.stderr.write(f.read().decode("utf-16-le", errors="replace").replace("\r\n", "\n"))
    subprocess.run(["rm", "-rf", files])
    if code != 0:
        print("capture failed with exit code %d" % code, file=sys.stderr)
        return code
    left, _ = wav_samples(output)
    print("\nheard in %s (%.1f s):" % (os.path.abspath(output), len(left) / 48000))
    # The first and last 200 ms are left out: the kept tone's first links, and the stop, are steps whose
    # splatter reaches every frequency, and would read as a trace of the excluded tone.
    steady = left[9600:-9600]
    for freq, who in ((APP_TONE, "application tree, excluded"), (OTHER_TONE, "unrelated process, kept")):
        heard = steady_level(steady, freq)
        text = "absent" if heard < 1e-6 else "%.1f dBFS" % db(heard)
        print("  %5d Hz  %-28s %s" % (freq, who, text))
    return 0


def main():
    helper, lbas2wav, seconds, output = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
    if running_server():
        print("using the running audio server")
        return demo(helper, lbas2wav, seconds, output, dict(os.environ))
    # A private server of the kind installed here: set-up adds none where one is installed.
    if all(shutil.which(p) for p in ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon")):
        print("no audio server running: starting a private PipeWire with a null sink")
        server = PipeWireServer(sinks=("demo-sink",))
    elif shutil.which("pulseaudio"):
        print("no audio server running: starting a private PulseAudio with a null sink")
        server = PulseAudioServer(sinks=(("demo-sink", 48000),))
    else:
        print("no audio server running, and none installed to start privately: run scripts/setup.sh demo",
              file=sys.stderr)
        return 1
    with server:
        return demo(helper, lbas2wav, seconds, output, server.env)


if __name__ == "__main__":
    sys.exit(main())
