"""The Debian package: its name, files and Depends; installed into a scratch root, the program captures from
a private PipeWire, lbas2wav converts and names the version, both manual pages render; `cmake --install`
gives the same layout.

    deb_test.py PACKAGES_DIR NATIVE_BUILD_DIR
"""

import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

from tests.packaging import pkglib

PACKAGES, BUILD = sys.argv[1:3]
del sys.argv[1:3]


def listing(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)


class DebTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="deb-test.")
        debs = glob.glob(os.path.join(PACKAGES, "*.deb"))
        assert len(debs) == 1, "one package expected in %s, found %s" % (PACKAGES, debs)
        cls.deb = debs[0]
        cls.root = os.path.join(cls.dir, "root")
        subprocess.run(["dpkg", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.dir])

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_name_version_and_files(self):
        self.assertEqual(os.path.basename(self.deb), "audio-helper_%s_amd64.deb" % pkglib.VERSION)
        self.assertEqual(self.field("Version"), pkglib.VERSION)
        files = listing(self.root)
        for path in ("usr/bin/audio-helper", "usr/bin/lbas2wav", "usr/share/man/man1/audio-helper.1.gz",
                     "usr/share/man/man1/lbas2wav.1.gz", "usr/share/doc/audio-helper/stream-format.md",
                     "usr/share/doc/audio-helper/helper-diagnostics.md"):
            self.assertIn(path, files)
        self.assertFalse([f for f in files if "sim" in os.path.basename(f)], files)
        version = subprocess.run([os.path.join(self.root, "usr/bin/lbas2wav"), "--version"], capture_output=True,
                                 text=True)
        self.assertEqual((version.returncode, version.stdout, version.stderr),
                         (0, "lbas2wav %s\n" % pkglib.VERSION, ""))

    def test_depends_on_the_package_of_every_linked_library(self):
        # The server libraries are opened at run time: either one, as alternatives.
        self.assertIn("libpipewire-0.3-0 | libpulse0", self.field("Depends").split(", "))
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        for binary in ("audio-helper", "lbas2wav"):
            path = os.path.join(self.root, "usr/bin", binary)
            # The libraries the binary itself names (not theirs), where the loader finds them here.
            needed = re.findall(r"\(NEEDED\).*\[(.*)\]", subprocess.run(["readelf", "-d", path], capture_output=True,
                                                                        text=True, check=True).stdout)
            found = dict(re.findall(r"^\s*(\S+) => (/\S+)", subprocess.run(["ldd", path], capture_output=True, text=True,
                                                                           check=True).stdout, re.M))
            self.assertNotIn("libpipewire-0.3.so.0", needed)
            self.assertNotIn("libpulse.so.0", needed)
            for library in needed:
                owner = subprocess.run(["dpkg", "-S", found[library]], capture_output=True, text=True)
                if owner.returncode != 0:
                    owner = subprocess.run(["dpkg", "-S", os.path.realpath(found[library])], capture_output=True,
                                           text=True, check=True)
                with self.subTest(binary=binary, library=library):
                    self.assertIn(owner.stdout.split(":")[0], depends)

    def test_manual_pages_render(self):
        for page, words in (("audio-helper", ("SYNOPSIS", "STREAM FORMAT", "EXIT STATUS", "SIGNALS",
                                              "ENVIRONMENT", "EXAMPLES", "AUDIO_HELPER_ENGINE")),
                            ("lbas2wav", ("SYNOPSIS", "EXIT STATUS", "SIGNALS", "--version", "EXAMPLES"))):
            with self.subTest(page=page):
                r = subprocess.run(["man", "--warnings", "-l", os.path.join(self.root, "usr/share/man/man1",
                                                                              page + ".1.gz")],
                                   capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""))
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                text = re.sub(r".\x08", "", r.stdout).replace("\u2010", "-")
                for word in words + (pkglib.VERSION,):
                    self.assertIn(word, text)

    def test_cmake_install_gives_the_same_layout(self):
        prefix = os.path.join(self.dir, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True)
        self.assertEqual(listing(prefix), [os.path.relpath(f, "usr") for f in listing(self.root)])

    def test_installed_program_captures(self):
        helper, lbas2wav = (os.path.join(self.root, "usr/bin", b) for b in ("audio-helper", "lbas2wav"))
        with pkglib.PipeWireServer(sinks=("deb-sink",)) as server:
            player = pkglib.play_tone(server, self.dir)
            excluded = pkglib.bystander()
            capture = None
            try:
                capture = subprocess.Popen([helper, str(excluded.pid)], stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL, env=server.env)
                stream = b""
                wanted = 16 + 8 * 48000 * 3 // 2
                while len(stream) < wanted:
                    chunk = capture.stdout.read1(65536)
                    if not chunk:
                        break
                    stream += chunk
                capture.send_signal(signal.SIGINT)
                stream += capture.stdout.read()
                capture.stdout.close()
                self.assertEqual(capture.wait(30), 0)
            finally:
                # A capture that failed its checks is ended too, not left running on its pipe.
                for proc in filter(None, (capture, player, excluded)):
                    proc.kill()
                    proc.wait()
                if capture is not None:
                    capture.stdout.close()
        pkglib.assert_hears_tone(self, stream)
        wav = os.path.join(self.dir, "capture.wav")
        r = subprocess.run([lbas2wav, "-q", "-", wav], input=stream, capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        with open(wav, "rb") as f:
            data = f.read()
        at = data.index(b"data")
        self.assertEqual(data[at + 8:], stream[16:16 + (len(stream) - 16) // 8 * 8])


if __name__ == "__main__":
    unittest.main()
