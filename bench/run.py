#!/usr/bin/env python3
"""Runs the benchmarks of the helper and prints one table. Figures, not pass/fail: the exit code is non-zero
only when a section could not run. A run without --quick puts each section's rows, with its date and
machine, into bench/README.md; the raw rows go to build/bench/results.json.

    python3 -m bench.run [--quick] [--only SECTION,...] [--helper PATH] [--program PATH] [--windows-exe PATH]

Without --helper/--program/--windows-exe the programs are built into build/bench/ with the presets' settings,
tests left out, so a tree whose tests are mid-edit still benchmarks. Sections:
  throughput, realtime, syscalls, stop, size  the simulated engine and the Windows exe (the default)
  pipewire, pipewire-formats, pipewire-moves  the real program on a private PipeWire
  pulse, pulse-load                           the real program on a private PulseAudio"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from dataclasses import asdict

from bench import common, pipewire, pulse, sim
from bench.common import ROOT, TOOLS, BenchError, Row, ratio

BENCH = os.path.join(ROOT, "bench")
MINGW = "x86_64-w64-mingw32"
# Present on every Windows 10 installation; anything else would have to ship beside the exe.
SYSTEM_DLLS = {"kernel32.dll", "ole32.dll", "mmdevapi.dll", "avrt.dll", "msvcrt.dll", "user32.dll", "advapi32.dll",
               "oleaut32.dll", "ntdll.dll", "ucrtbase.dll"}


def imported_dlls(objdump_output: str) -> list[str]:
    return [line.split("DLL Name:", 1)[1].strip() for line in objdump_output.splitlines() if "DLL Name:" in line]


def size(ctx) -> list[Row]:
    """The Windows exe stripped and its imported DLLs, against the smallest program the same toolchain makes."""
    if ctx.windows_exe is None:
        return [Row("size", "Windows exe", None, "bytes", note=ctx.windows_note or "no Windows build")]
    compiler = shutil.which(f"{MINGW}-gcc-win32") or shutil.which(f"{MINGW}-gcc")
    if compiler is None:
        raise BenchError(f"{MINGW}-gcc missing (apt-get install gcc-mingw-w64-x86-64)")
    with tempfile.TemporaryDirectory() as tmp:
        stripped, minimal = os.path.join(tmp, "audio-helper.exe"), os.path.join(tmp, "minimal.exe")
        for argv in ([f"{MINGW}-strip", "-o", stripped, ctx.windows_exe],
                     [compiler, "-Os", "-s", "-static", "-ffunction-sections", "-fdata-sections", "-Wl,--gc-sections",
                      "-o", minimal, os.path.join(BENCH, "tools", "minimal_win.c")]):
            subprocess.run(argv, check=True, capture_output=True, timeout=120)
        dlls, min_dlls = (imported_dlls(subprocess.run([f"{MINGW}-objdump", "-p", exe], capture_output=True, text=True,
                                                       check=True, timeout=60).stdout) for exe in (stripped, minimal))
        sizes = [os.path.getsize(p) for p in (stripped, minimal, ctx.windows_exe)]
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
    return [Row("size", "audio-helper.exe, stripped", sizes[0], "bytes", sizes[1],
                "minimal static MinGW exe writing 16 bytes", ratio(sizes[0], sizes[1]),
                note=f"as built {sizes[2]} B" + (" (already stripped)" if sizes[2] == sizes[0] else "")),
            Row("size", "imported DLLs", len(dlls), "DLLs", len(min_dlls), "minimal exe's imports",
                ratio(len(dlls), len(min_dlls)), "system DLLs only", not foreign,
                ", ".join(dlls) + (f"; not part of Windows: {', '.join(foreign)}" if foreign else ""))]


SECTIONS = {"throughput": sim.throughput, "realtime": sim.realtime, "syscalls": sim.syscalls, "stop": sim.stop_start,
            "size": size, "pipewire": pipewire.cpu, "pipewire-formats": pipewire.formats,
            "pipewire-moves": pipewire.moves, "pulse": pulse.cpu, "pulse-load": pulse.load}
DEFAULT = ("throughput", "realtime", "syscalls", "stop", "size")
REAL = {"pipewire", "pipewire-formats", "pipewire-moves", "pulse", "pulse-load"}
# name: (source, pkg-config modules, extra flags); built only for the sections that use them.
TOOL_SOURCES = {"countreader": ("countreader.c", (), ()), "pipewriter": ("pipewriter.c", (), ()),
                "tickwriter": ("tickwriter.c", (), ()), "alloc_count.so": ("alloc_count.c", (), ("-shared", "-fPIC")),
                "pw_click": ("pw_click.c", ("libpipewire-0.3",), ()),
                "pa_click": ("pa_click.c", ("libpulse-simple", "libpulse"), ())}
OPTIONAL = {"strace": "syscalls", "perf": "engine share in throughput (linux-perf)", "gdb": "allocation sites",
            "parec": "parec reference in realtime (pulseaudio-utils)", f"{MINGW}-g++-win32": "size (g++-mingw-w64)"}
README = os.path.join(BENCH, "README.md")
BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"


def _preset(name: str) -> dict:
    with open(os.path.join(ROOT, "CMakePresets.json")) as f:
        presets = {p["name"]: p for p in json.load(f)["configurePresets"]}
    preset, cache = dict(presets[name]), {}
    inherits = preset.get("inherits", [])
    for parent in [inherits] if isinstance(inherits, str) else inherits:
        inherited = _preset(parent)
        cache.update(inherited["cacheVariables"])
        for key in ("generator", "toolchainFile"):
            preset.setdefault(key, inherited.get(key))
    preset["cacheVariables"] = {**cache, **preset.get("cacheVariables", {})}
    return preset


def _build(preset_name: str, targets: list[str]) -> list[str]:
    """Configures and builds targets with the preset's settings into build/bench/<preset>, tests left out."""
    preset = _preset(preset_name)
    build_dir = os.path.join(ROOT, "build", "bench", preset_name)
    configure = ["cmake", "-S", ROOT, "-B", build_dir, "-G", preset.get("generator") or "Ninja", "-DBUILD_TESTING=OFF",
                 *(f"-D{key}={value}" for key, value in preset["cacheVariables"].items())]
    if preset.get("toolchainFile"):
        configure.append("-DCMAKE_TOOLCHAIN_FILE=" + preset["toolchainFile"].replace("${sourceDir}", ROOT))
    for step in (configure, ["cmake", "--build", build_dir, "--target", *targets]):
        result = subprocess.run(step, capture_output=True, text=True, timeout=900)
        if result.returncode != 0:
            raise BenchError(f"{' '.join(step[:3])} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
    return [os.path.join(build_dir, target + (".exe" if preset.get("toolchainFile") else "")) for target in targets]


def _compile_tools(names) -> dict[str, str]:
    os.makedirs(TOOLS, exist_ok=True)
    tools = {}
    for name in names:
        source, modules, flags = TOOL_SOURCES[name]
        libs = subprocess.run(["pkg-config", "--cflags", "--libs", *modules], capture_output=True, text=True,
                              check=True).stdout.split() if modules else []
        out = os.path.join(TOOLS, name)
        result = subprocess.run(["gcc", "-O2", "-Wall", "-Wextra", *flags, "-o", out, os.path.join(BENCH, "tools", source),
                                 *libs], capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise BenchError(f"building {name} failed: {result.stderr[-1000:]}")
        tools[name.removesuffix(".so")] = out
    return tools


def _fmt(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}".replace(",", " ")
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}" if abs(value) >= 10 else f"{value:.3g}"


def table(rows: list[Row]) -> str:
    lines = ["| Figure | Value | Reference | Ratio | Goal | Met | Notes |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        value = f"{_fmt(r.value)} {r.unit}".strip() if r.value is not None else "-"
        reference = f"{_fmt(r.reference)} ({r.reference_label})" if r.reference is not None else "-"
        met = "" if r.met is None else "yes" if r.met else "**no**"
        lines.append(f"| {r.figure} | {value} | {reference} | {_fmt(r.ratio)} | {r.goal} | {met} | "
                     f"{r.note.replace('|', '/')} |")
    return "\n".join(lines)


def _machine() -> str:
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return f"{date}, {os.cpu_count()} x {model}, Linux {platform.release()}"


def update_readme(text: str, blocks: dict[str, str]) -> str:
    """The README with each section's block (a '#### section: date, machine' heading and its table) replaced
    by the new one, the others kept, in the sections' order."""
    head, rest = text.split(BEGIN, 1)
    old, tail = rest.split(END, 1)
    kept = dict(re.findall(r"^#### ([\w-]+)(.*?)(?=^#### |\Z)", old, re.S | re.M))
    kept = {name: f"#### {name}{body.strip()}" for name, body in kept.items()}
    kept.update(blocks)
    body = "\n\n".join(kept[name] for name in SECTIONS if name in kept)
    return f"{head}{BEGIN}\n{body}\n{END}{tail}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short runs for a smoke test; the README is left as is")
    parser.add_argument("--only", default=",".join(DEFAULT), help="comma-separated sections (default: %(default)s)")
    parser.add_argument("--helper", help="this audio-helper-sim instead of building one")
    parser.add_argument("--program", help="this real audio-helper instead of building one (pipewire*, pulse*)")
    parser.add_argument("--windows-exe", help="this audio-helper.exe instead of building one")
    parser.add_argument("--rounds", type=int, help="interleaved CPU rounds on a real server (pipewire 5, pulse 3)")
    parser.add_argument("--streams", default="1,3,10", help="kept streams playing in the CPU rounds (%(default)s)")
    parser.add_argument("--runs", type=int, default=6, help="pairs of runs with and without the helper (moves)")
    parser.add_argument("--mode", choices=("move", "default"), default="move",
                        help="moves: move the stream, or change the default sink it follows")
    parser.add_argument("--quantum", type=int, default=0, help="moves: force the graph's quantum (0: leave it)")
    parser.add_argument("--no-readme", action="store_true", help="leave bench/README.md as it is")
    ctx = parser.parse_args()
    only = [s.strip() for s in ctx.only.split(",") if s.strip()]
    if unknown := [s for s in only if s not in SECTIONS]:
        parser.error(f"unknown section(s): {', '.join(unknown)}; known: {', '.join(SECTIONS)}")
    ctx.streams = sorted(int(n) for n in ctx.streams.split(","))
    for cmd, use in OPTIONAL.items():
        if shutil.which(cmd) is None:
            print(f"note: {cmd} not found, {use} skipped or reduced", file=sys.stderr)

    began = time.monotonic()
    ctx.windows_note = ""
    try:
        real = REAL.intersection(only)
        ctx.tools = _compile_tools([*TOOL_SOURCES][:4] + ["pw_click"] * any(s.startswith("pipewire") for s in real)
                                   + ["pa_click"] * any(s.startswith("pulse") for s in real))
        targets = ["audio-helper-sim"] * (ctx.helper is None and bool(set(only) - REAL - {"size"}))
        targets += ["audio-helper"] * (ctx.program is None and bool(real))
        built = dict(zip(targets, _build("native", targets))) if targets else {}
        ctx.helper = os.path.abspath(ctx.helper) if ctx.helper else built.get("audio-helper-sim")
        ctx.program = os.path.abspath(ctx.program) if ctx.program else built.get("audio-helper")
        if ctx.windows_exe or "size" not in only:
            ctx.windows_exe = ctx.windows_exe and os.path.abspath(ctx.windows_exe)
        elif shutil.which(f"{MINGW}-g++-win32") or shutil.which(f"{MINGW}-g++"):
            try:
                ctx.windows_exe = _build("windows", ["audio-helper"])[0]
            except BenchError as error:
                ctx.windows_exe, ctx.windows_note = None, str(error)
        else:
            ctx.windows_note = "MinGW-w64 missing (apt-get install g++-mingw-w64-x86-64-win32)"
    except (BenchError, subprocess.CalledProcessError) as error:
        print(f"build failed: {error}", file=sys.stderr)
        return 2
    print(f"built in {time.monotonic() - began:.0f} s", file=sys.stderr)

    machine, rows, failed = _machine(), {}, []
    for name in only:
        started = time.monotonic()
        print(f"== {name} ...", file=sys.stderr, flush=True)
        try:
            rows[name] = SECTIONS[name](ctx)
        except (BenchError, OSError, RuntimeError, subprocess.SubprocessError):
            traceback.print_exc()
            failed.append(name)
            rows[name] = [Row(name, "section failed", None, "", note=str(sys.exc_info()[1])[:300])]
        finally:
            common.end_all_children()
        print(f"   {name}: {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)

    blocks = {name: f"#### {name}: {machine}{' (--quick)' if ctx.quick else ''}\n\n{table(section_rows)}"
              for name, section_rows in rows.items()}
    print("\n\n".join(blocks.values()))
    out = os.path.join(ROOT, "build", "bench", "results.json")
    with open(out, "w") as f:
        json.dump({"machine": machine, "quick": ctx.quick, "rows": [asdict(r) for rs in rows.values() for r in rs]},
                  f, indent=1, default=str)
    if not ctx.quick and not ctx.no_readme:
        runs_well = {name: block for name, block in blocks.items() if name not in failed}
        with open(README) as f:
            text = update_readme(f.read(), runs_well)
        with open(README, "w") as f:
            f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        common.end_all_children()
        sys.exit(130)
