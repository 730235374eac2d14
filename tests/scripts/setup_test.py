"""scripts/setup.sh against stand-ins for dpkg-query, apt-get and pactl: what it would install, and where it
stops before changing anything. Nothing on the machine is touched."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SETUP = os.path.join(ROOT, "scripts", "setup.sh")

STUBS = {
    "dpkg-query": """#!/bin/sh
for last; do :; done
case " $STUB_INSTALLED $(tr "\\n" " " < "$STUB_MACHINE" 2>/dev/null) " in *" $last "*) echo "install ok installed";; *) exit 1;; esac
""",
    # Plans from STUB_CONFLICT ("package:removed ..."); every call is logged.
    "apt-get": """#!/bin/sh
echo "$*" >> "$STUB_LOG"
case " $* " in *" -s "*) ;; *" install "*) printf '%s\n' "$@" >> "$STUB_MACHINE"; exit 0;; *) exit 0;; esac
status=0
for p; do
    for c in $STUB_CONFLICT; do
        if [ "${c%%:*}" = "$p" ]; then
            echo "Remv ${c#*:} [1.0]"
            case " $* " in *" --no-remove "*) status=100;; esac
        fi
    done
    case " $STUB_UNKNOWN " in *" $p "*) echo "E: Unable to locate package $p" >&2; status=100; continue;; esac
    case "$p" in -*|install) ;; *) echo "Inst $p (1.0 Debian:12)";; esac
done
exit $status
""",
    "pactl": '#!/bin/sh\n[ -n "$STUB_PACTL" ]\n',
    "sudo": '#!/bin/sh\nexec "$@"\n',
}

BASE = "cmake ninja-build g++ libgtest-dev googletest python3 pkg-config libpipewire-0.3-dev libpulse-dev"
TOOLS = BASE + " clang-format g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64" \
    " wine wine64 dpkg-dev man-db libjack-jackd2-dev pulseaudio-utils sox mmdebstrap"
SERVERS = "pipewire pipewire-bin pipewire-pulse wireplumber dbus pulseaudio pipewire-jack"


class SetupTests(unittest.TestCase):
    def run_setup(self, mode, installed="", conflict="", pactl=False, unknown="", machine=None):
        """`machine`: a folder that keeps what was installed, and set-up's own record, from run to run."""
        d = tempfile.mkdtemp(prefix="setup-test.")
        machine = machine or d
        bin_dir, runtime = os.path.join(d, "bin"), os.path.join(d, "run")
        os.makedirs(bin_dir)
        os.makedirs(runtime)
        for name, text in STUBS.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        log = os.path.join(d, "apt.log")
        open(log, "w").close()
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], XDG_RUNTIME_DIR=runtime,
                   STUB_INSTALLED=installed, STUB_CONFLICT=conflict, STUB_PACTL="1" if pactl else "",
                   STUB_LOG=log, STUB_UNKNOWN=unknown, STUB_MACHINE=os.path.join(machine, "installed"),
                   AUDIO_HELPER_SETUP_STATE=os.path.join(machine, "state", "installed-servers"))
        r = subprocess.run(["bash", SETUP] + ([mode] if mode else []), env=env, capture_output=True, text=True,
                           timeout=60)
        with open(log) as f:
            calls = f.read().splitlines()
        subprocess.run(["rm", "-rf", d])
        installs = [c.split() for c in calls if " install " in " %s " % c and " -s " not in " %s " % c]
        return r, calls, installs

    def test_what_each_machine_gets(self):
        # (mode, installed, pactl answers, servers installed?)
        for mode, installed, pactl, gets_servers in (
            ("demo", "", False, True),                 # no server at all: a private PipeWire's packages only
            ("demo", "pipewire-bin", False, False),    # a server installed: the demo uses it
            ("demo", "", True, False),                 # a server running (from elsewhere)
            ("native", "", False, False),              # build dependencies only
            ("", "", False, True),                     # the tests, on a fresh machine
        ):
            with self.subTest(mode=mode, installed=installed, pactl=pactl):
                r, calls, installs = self.run_setup(mode, installed, pactl=pactl)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(len(installs), 1, calls)
                self.assertIn("--no-remove", installs[0])
                self.assertTrue(any(" -s " in " %s " % c for c in calls), "no plan shown before installing")
                for server in ("pipewire", "wireplumber"):
                    self.assertEqual(server in installs[0], gets_servers, (server, installs[0]))
                # Plain PulseAudio is for the tests alone: the demo needs only a private PipeWire.
                self.assertEqual("pulseaudio" in installs[0], gets_servers and mode == "", installs[0])
                self.assertEqual("sox" in installs[0], mode != "native", installs[0])
                # A build of the program alone needs no test package.
                self.assertEqual("libgtest-dev" in installs[0], mode == "", installs[0])

    def test_stops_before_any_change(self):
        # (installed, conflict, the message must name)
        for installed, conflict, named in (
            (TOOLS + " pipewire-bin", "", "pulseaudio"),                   # a second server for the tests
            (TOOLS.replace(" man-db", "") + " " + SERVERS, "man-db:pipewire-alsa",
             "installing man-db would remove pipewire-alsa"),
            (BASE, "clang-format:pipewire-alsa", "installing clang-format would remove pipewire-alsa"),
        ):
            with self.subTest(conflict=conflict):
                r, calls, installs = self.run_setup("", installed, conflict)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertEqual(installs, [])
                self.assertIn(named, r.stderr)
                self.assertIn("stopping before any change", r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)

    def test_a_package_apt_cannot_find_is_named(self):
        r, calls, installs = self.run_setup("", TOOLS.replace(" sox", "") + " " + SERVERS, unknown="sox")
        self.assertEqual((r.returncode, installs), (1, []), r.stdout + r.stderr)
        self.assertIn("Unable to locate package sox", r.stderr)
        self.assertIn("stopping before any change: apt cannot install sox", r.stderr)

    def test_the_servers_set_up_installed_are_not_the_users(self):
        # The demo on a machine with no server installs a private PipeWire's packages and records them; the
        # tests' set-up after it completes the set. Without that record the same machine would be refused.
        with tempfile.TemporaryDirectory() as machine, tempfile.TemporaryDirectory() as unrecorded:
            r, _, installs = self.run_setup("demo", machine=machine)
            self.assertEqual((r.returncode, "pipewire-bin" in installs[0]), (0, True), r.stderr)
            shutil.copy(os.path.join(machine, "installed"), unrecorded)
            r, _, installs = self.run_setup("", machine=unrecorded)
            self.assertEqual((r.returncode, installs), (1, []), r.stderr)
            r, _, installs = self.run_setup("", machine=machine)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("pulseaudio", installs[0])

    def test_nothing_missing_touches_nothing(self):
        r, calls, _ = self.run_setup("", TOOLS + " " + SERVERS)
        self.assertEqual((r.returncode, calls), (0, []), r.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
