"""Size of the stripped Windows executable and the DLLs it imports, against the smallest program the same
toolchain makes with the same link flags."""
from __future__ import annotations

import shutil
import subprocess
import tempfile
from pathlib import Path

from bench.common import BenchError, Row, ratio

PREFIX = "x86_64-w64-mingw32"
# Present on every Windows 10 installation; anything else would have to ship beside the exe.
SYSTEM_DLLS = {"kernel32.dll", "ole32.dll", "mmdevapi.dll", "avrt.dll", "msvcrt.dll", "user32.dll", "advapi32.dll",
               "oleaut32.dll", "ntdll.dll", "ucrtbase.dll"}
SYSTEM_PREFIXES = ("api-ms-win-",)


def imported_dlls(objdump_output: str) -> list[str]:
    return [line.split("DLL Name:", 1)[1].strip() for line in objdump_output.splitlines() if "DLL Name:" in line]


def _strip_copy(exe: Path, tmp: Path) -> Path:
    out = tmp / exe.name
    subprocess.run([f"{PREFIX}-strip", "-o", str(out), str(exe)], check=True, capture_output=True, timeout=60)
    return out


def _minimal_exe(source: Path, tmp: Path) -> Path:
    out = tmp / "minimal.exe"
    compiler = shutil.which(f"{PREFIX}-gcc-win32") or shutil.which(f"{PREFIX}-gcc")
    if compiler is None:
        raise BenchError(f"{PREFIX}-gcc missing (apt-get install gcc-mingw-w64-x86-64)")
    subprocess.run([compiler, "-Os", "-s", "-static", "-ffunction-sections", "-fdata-sections",
                    "-Wl,--gc-sections", "-o", str(out), str(source)], check=True, capture_output=True, timeout=120)
    return out


def run(ctx) -> list[Row]:
    exe = ctx.windows_exe
    if exe is None or not exe.exists():
        return [Row("size", "Windows exe", None, "bytes", note=ctx.windows_note or "no Windows build")]
    with tempfile.TemporaryDirectory() as tmp_name:
        tmp = Path(tmp_name)
        stripped = _strip_copy(exe, tmp)
        minimal = _minimal_exe(ctx.bench_dir / "tools" / "minimal_win.c", tmp)  # linked with -s already
        dump = subprocess.run([f"{PREFIX}-objdump", "-p", str(stripped)], capture_output=True, text=True,
                              check=True, timeout=60).stdout
        min_dump = subprocess.run([f"{PREFIX}-objdump", "-p", str(minimal)], capture_output=True, text=True,
                                  check=True, timeout=60).stdout
        size, min_size, built = stripped.stat().st_size, minimal.stat().st_size, exe.stat().st_size
    dlls = imported_dlls(dump)
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith(SYSTEM_PREFIXES)]
    return [
        Row("size", "audio-helper.exe, stripped", size, "bytes", min_size,
            "minimal static MinGW exe writing 16 bytes", ratio(size, min_size), "", None,
            f"as built {built} B" + (" (already stripped)" if built == size else ""),
            extra={"as_built": built, "minimal_dlls": imported_dlls(min_dump)}),
        Row("size", "imported DLLs", len(dlls), "DLLs", len(imported_dlls(min_dump)), "minimal exe's imports",
            ratio(len(dlls), len(imported_dlls(min_dump))), "system DLLs only", not foreign,
            ", ".join(dlls) + (f"; not part of Windows: {', '.join(foreign)}" if foreign else ""),
            extra={"dlls": dlls}),
    ]
