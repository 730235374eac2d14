"""The npm package with the helpers in it: clients/node as published, plus bin/linux-x64/audio-helper and
bin/win32-x64/audio-helper.exe from the native and windows builds, packed with `npm pack`.

    npm_package.py NATIVE_BUILD_DIR WINDOWS_BUILD_DIR OUTPUT_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
CLIENT = os.path.join(ROOT, "clients", "node")


def main():
    native, windows, out = (os.path.abspath(p) for p in sys.argv[1:4])
    with open(os.path.join(ROOT, "VERSION")) as f:
        version = f.read().strip()
    with open(os.path.join(CLIENT, "package.json")) as f:
        package = json.load(f)
    if package["version"] != version:
        raise SystemExit("npm_package: clients/node/package.json says %s, VERSION says %s" % (package["version"], version))
    stage = tempfile.mkdtemp(prefix="npm-stage.")
    try:
        for name in package["files"] + ["package.json", "README.md"]:
            source = os.path.join(CLIENT, name.rstrip("/"))
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(stage, name.rstrip("/")))
            elif os.path.exists(source):
                shutil.copy2(source, stage)
        linux = os.path.join(stage, "bin", "linux-x64", "audio-helper")
        win = os.path.join(stage, "bin", "win32-x64", "audio-helper.exe")
        for path in (linux, win):
            # bin/ is one of the package's files: a source tree that holds helpers already gave the folders.
            os.makedirs(os.path.dirname(path), exist_ok=True)
        # The native build keeps its debugging information; users get the program without it.
        subprocess.run(["strip", "-o", linux, os.path.join(native, "audio-helper")], check=True)
        shutil.copy2(os.path.join(windows, "audio-helper.exe"), win)
        os.chmod(linux, 0o755)
        os.makedirs(out, exist_ok=True)
        result = subprocess.run(["npm", "pack", "--json", "--pack-destination", out], cwd=stage, check=True,
                                capture_output=True, text=True, env=dict(os.environ, NO_UPDATE_NOTIFIER="1"))
        print(os.path.join(out, json.loads(result.stdout)[0]["filename"]))
    finally:
        shutil.rmtree(stage, ignore_errors=True)


if __name__ == "__main__":
    main()
