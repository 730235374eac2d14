"""The Windows release: audio-helper.exe, lbas2wav.exe, the docs as text and SHA256SUMS, in a zip whose bytes
depend only on its contents (fixed entry times, order and attributes).

    windows_zip.py WINDOWS_BUILD_DIR OUTPUT_DIR
"""

import glob
import hashlib
import os
import sys
import time
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def version():
    with open(os.path.join(ROOT, "VERSION")) as f:
        return f.read().strip()


def entries(build):
    """(name in the zip, bytes) for every file, sums last."""
    files = {}
    for exe in ("audio-helper.exe", "lbas2wav.exe"):
        matches = glob.glob(os.path.join(build, exe)) or glob.glob(os.path.join(build, "**", exe), recursive=True)
        if len(matches) != 1:
            raise SystemExit("windows_zip: %s not found once in %s (build the windows preset)" % (exe, build))
        with open(matches[0], "rb") as f:
            files[exe] = f.read()
    # Text with Windows line ends, so Notepad shows it as written.
    for source in ["README.md"] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md"))):
        with open(os.path.join(ROOT, source), "rb") as f:
            text = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        name = os.path.basename(source)[:-3] + ".txt"
        files[name if source == "README.md" else "docs/" + name] = text
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in sorted(files.items()))
    return sorted(files.items()) + [("SHA256SUMS", sums.encode())]


def main():
    build, out = sys.argv[1], sys.argv[2]
    # SOURCE_DATE_EPOCH, when set, dates every entry; else a fixed date: the bytes never depend on the clock.
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    top = "audio-helper-%s-windows-x64" % version()
    path = os.path.join(out, top + ".zip")
    os.makedirs(out, exist_ok=True)
    with zipfile.ZipFile(path + ".part", "w") as z:
        for name, data in entries(build):
            info = zipfile.ZipInfo("%s/%s" % (top, name), date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            z.writestr(info, data, compresslevel=9)
    os.replace(path + ".part", path)
    print(path)


if __name__ == "__main__":
    main()
