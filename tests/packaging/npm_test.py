"""The npm package: its file list with both helpers, its version, and, installed from the tarball into a
scratch project with no network, a script there capturing from a private PipeWire with no helperPath.

    npm_test.py PACKAGES_DIR
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from tests.packaging import pkglib

PACKAGES = os.path.abspath(sys.argv.pop(1))
TARBALL = os.path.join(PACKAGES, "audio-helper-client-%s.tgz" % pkglib.VERSION)

SCRIPT = """
import { startCapture } from 'audio-helper-client';
import { writeFileSync } from 'node:fs';

const capture = startCapture({ excludePid: Number(process.argv[2]) });
const chunks = [];
let frames = 0;
for await (const samples of capture) {
  chunks.push(Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength));
  frames += samples.length / 2;
  if (frames >= 72000) capture.stop();
}
const end = await capture.ended;
writeFileSync(process.argv[3], Buffer.concat(chunks));
console.log(JSON.stringify({ exitCode: end.exitCode, error: end.error && end.error.message }));
"""


class NpmTests(unittest.TestCase):
    def test_file_list_and_version(self):
        with tarfile.open(TARBALL) as t:
            members = {m.name: m for m in t.getmembers()}
            package = json.load(t.extractfile("package/package.json"))
        self.assertEqual(sorted(members), sorted(
            "package/" + f for f in ["README.md", "package.json", "index.d.ts", "examples/record-wav.js",
                                     "bin/linux-x64/audio-helper", "bin/win32-x64/audio-helper.exe"]
            + ["src/" + s for s in os.listdir(os.path.join(pkglib.ROOT, "clients", "node", "src"))]))
        self.assertEqual(package["version"], pkglib.VERSION)
        self.assertEqual(members["package/bin/linux-x64/audio-helper"].mode & 0o111, 0o111)

    def test_installed_package_captures_with_no_helper_path(self):
        project = tempfile.mkdtemp(prefix="npm-test.")
        self.addCleanup(shutil.rmtree, project, ignore_errors=True)
        with open(os.path.join(project, "package.json"), "w") as f:
            json.dump({"name": "scratch", "version": "1.0.0", "private": True, "type": "module"}, f)
        with open(os.path.join(project, "capture.mjs"), "w") as f:
            f.write(SCRIPT)
        # No network: an unreachable registry, and npm told not to try.
        npm_env = dict(os.environ, npm_config_registry="http://127.0.0.1:9/", npm_config_offline="true",
                       npm_config_audit="false", npm_config_fund="false", NO_UPDATE_NOTIFIER="1",
                       npm_config_cache=os.path.join(project, ".npm"))
        subprocess.run(["npm", "install", TARBALL], cwd=project, env=npm_env, check=True, capture_output=True,
                       timeout=120)
        out = os.path.join(project, "capture.raw")
        with pkglib.PipeWireServer(sinks=("npm-sink",)) as server:
            env = {k: v for k, v in server.env.items() if k != "AUDIO_HELPER_PATH"}
            player = pkglib.play_tone(server, project)
            excluded = pkglib.bystander()
            try:
                r = subprocess.run(["node", "capture.mjs", str(excluded.pid), out], cwd=project, env=env,
                                   capture_output=True, text=True, timeout=60)
            finally:
                for proc in (player, excluded):
                    proc.kill()
                    proc.wait()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout), {"exitCode": 0, "error": None})
        with open(out, "rb") as f:
            pkglib.assert_hears_tone(self, pkglib.HEADER + f.read())


if __name__ == "__main__":
    unittest.main()
