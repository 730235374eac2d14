"""The Windows zip: its files and their sums, the docs as text, lbas2wav.exe from it converting a stream file
under Wine, and the same bytes again from a second build of the same sources.

    zip_test.py PACKAGES_DIR WINE_RUN
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from tests.packaging import pkglib

PACKAGES, WINE_RUN = (os.path.abspath(p) for p in sys.argv[1:3])
del sys.argv[1:3]
TOP = "audio-helper-%s-windows-x64/" % pkglib.VERSION
ZIP = os.path.join(PACKAGES, TOP[:-1] + ".zip")


class ZipTests(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zip-test.")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_files_sums_and_text(self):
        with zipfile.ZipFile(ZIP) as z:
            names = z.namelist()
            files = {n[len(TOP):]: z.read(n) for n in names}
        self.assertTrue(all(n.startswith(TOP) for n in names), names)
        docs = sorted("docs/%s.txt" % f[:-3] for f in os.listdir(os.path.join(pkglib.ROOT, "docs")) if f.endswith(".md"))
        self.assertEqual(sorted(files), sorted(["SHA256SUMS", "README.txt", "audio-helper.exe", "lbas2wav.exe"] + docs))
        sums = dict(line.split("  ")[::-1] for line in files["SHA256SUMS"].decode().splitlines())
        self.assertEqual(set(sums), set(files) - {"SHA256SUMS"})
        for name, digest in sums.items():
            self.assertEqual(hashlib.sha256(files[name]).hexdigest(), digest, name)
        for name in ["README.txt"] + docs:
            self.assertEqual(files[name].count(b"\n"), files[name].count(b"\r\n"), name)
        for exe in ("audio-helper.exe", "lbas2wav.exe"):
            self.assertEqual(files[exe][:2], b"MZ")
        # The helper's output is fixed: the version is the packages' and lbas2wav's, never the helper's.
        self.assertNotIn(pkglib.VERSION.encode(), files["audio-helper.exe"])

    def test_lbas2wav_from_the_zip_converts_under_wine(self):
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(self.dir)
        exe = os.path.join(self.dir, TOP, "lbas2wav.exe")
        stream = pkglib.HEADER + bytes(range(256)) * 750  # every byte value, CR, LF and Ctrl+Z among them
        with open(os.path.join(self.dir, "in.lbas"), "wb") as f:
            f.write(stream)
        version = subprocess.run([WINE_RUN, exe, "--version"], capture_output=True, timeout=120)
        self.assertEqual(version.stdout.replace(b"\r\n", b"\n"), b"lbas2wav %s\n" % pkglib.VERSION.encode())
        r = subprocess.run([WINE_RUN, exe, "-q", "in.lbas", "out.wav"], cwd=self.dir, capture_output=True,
                           timeout=120)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        with open(os.path.join(self.dir, "out.wav"), "rb") as f:
            wav = f.read()
        self.assertEqual(wav[wav.index(b"data") + 8:], stream[16:])

    def test_same_sources_give_the_same_zip(self):
        # A second build of the same sources, in another directory, on another day as far as it knows.
        build = os.path.join(self.dir, "windows")
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        subprocess.run(["cmake", "-S", pkglib.ROOT, "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF",
                        "-DCMAKE_BUILD_TYPE=MinSizeRel",
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(pkglib.ROOT, "cmake", "mingw-w64.cmake")],
                       check=True, capture_output=True, env=env)
        subprocess.run(["cmake", "--build", build, "--target", "audio-helper", "lbas2wav"], check=True,
                       capture_output=True, env=env)
        out = os.path.join(self.dir, "out")
        for where in (out, os.path.join(self.dir, "again")):
            subprocess.run([sys.executable, os.path.join(pkglib.ROOT, "packaging", "windows_zip.py"), build, where],
                           check=True, capture_output=True)
        with open(os.path.join(out, os.path.basename(ZIP)), "rb") as f:
            second = f.read()
        with open(os.path.join(self.dir, "again", os.path.basename(ZIP)), "rb") as f:
            self.assertEqual(f.read(), second)
        with open(ZIP, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(second).hexdigest())


if __name__ == "__main__":
    unittest.main()
