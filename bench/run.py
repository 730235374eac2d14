#!/usr/bin/env python3
"""Runs every benchmark of the helper, prints one table and writes build/bench/results.json and the table in
bench/README.md. Figures, not pass/fail: the exit code is non-zero only when a section could not run.

    python3 -m bench.run [--quick] [--only SECTION,...] [--helper PATH] [--windows-exe PATH] [--no-readme]

Without --helper the native and Windows programs are built into build/bench/ from the presets' settings,
tests left out, so a tree whose tests are mid-edit still benchmarks."""
from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import platform
import shutil
import subprocess
import sys
import time
import traceback
from dataclasses import asdict
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
from bench import common
from bench.common import BenchError, Row

SECTIONS = ("throughput", "realtime", "syscalls", "stop", "size")
REQUIRED = {"cmake": "cmake", "ninja": "ninja-build", "gcc": "gcc", "taskset": "util-linux"}
OPTIONAL = {
    "strace": ("strace", "syscalls"),
    "perf": ("linux-perf", "engine share in throughput"),
    "pulseaudio": ("pulseaudio", "parec reference in realtime"),
    "parec": ("pulseaudio-utils", "parec reference in realtime"),
    "pactl": ("pulseaudio-utils", "parec reference in realtime"),
    "gdb": ("gdb", "allocation sites in syscalls"),
    "x86_64-w64-mingw32-objdump": ("binutils-mingw-w64-x86-64", "size"),
    "x86_64-w64-mingw32-g++-win32": ("g++-mingw-w64-x86-64-win32", "size (Windows build)"),
}
README_BEGIN = "<!-- results:begin -->"
README_END = "<!-- results:end -->"


class Context:
    def __init__(self, args):
        self.quick = args.quick
        self.bench_dir = BENCH
        self.helper: Path | None = None
        self.windows_exe: Path | None = None
        self.windows_note = ""
        self.tools: dict[str, Path] = {}


def _preset(name: str) -> dict:
    presets = {p["name"]: p for p in json.loads((ROOT / "CMakePresets.json").read_text())["configurePresets"]}
    preset = dict(presets[name])
    cache = {}
    for parent in ([preset["inherits"]] if isinstance(preset.get("inherits"), str) else preset.get("inherits", [])):
        inherited = _preset(parent)
        cache.update(inherited.get("cacheVariables", {}))
        for key in ("generator", "toolchainFile"):
            preset.setdefault(key, inherited.get(key))
    cache.update(preset.get("cacheVariables", {}))
    preset["cacheVariables"] = cache
    return preset


def _build(preset_name: str, target: str) -> Path:
    """Configures and builds one target with the preset's settings into build/bench/<preset>."""
    preset = _preset(preset_name)
    build_dir = ROOT / "build" / "bench" / preset_name
    argv = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", preset.get("generator") or "Ninja",
            "-DBUILD_TESTING=OFF"]
    for key, value in preset["cacheVariables"].items():
        argv.append(f"-D{key}={value}")
    if preset.get("toolchainFile"):
        argv.append("-DCMAKE_TOOLCHAIN_FILE=" + preset["toolchainFile"].replace("${sourceDir}", str(ROOT)))
    for step in (argv, ["cmake", "--build", str(build_dir), "--target", target]):
        result = subprocess.run(step, capture_output=True, text=True, timeout=900)
        if result.returncode != 0:
            raise BenchError(f"{' '.join(step[:3])} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
    suffix = ".exe" if preset.get("toolchainFile") else ""
    return build_dir / f"{target}{suffix}"


def _compile_tools(ctx: Context) -> None:
    out = ROOT / "build" / "bench" / "tools"
    out.mkdir(parents=True, exist_ok=True)
    src = BENCH / "tools"
    jobs = {
        "countreader": ["gcc", "-O2", "-Wall", "-Wextra", "-o", str(out / "countreader"), str(src / "countreader.c")],
        "pipewriter": ["gcc", "-O2", "-Wall", "-Wextra", "-o", str(out / "pipewriter"), str(src / "pipewriter.c")],
        "tickwriter": ["gcc", "-O2", "-Wall", "-Wextra", "-o", str(out / "tickwriter"), str(src / "tickwriter.c")],
        "alloc_count": ["gcc", "-O2", "-Wall", "-Wextra", "-shared", "-fPIC", "-o", str(out / "alloc_count.so"),
                        str(src / "alloc_count.c")],
    }
    for name, argv in jobs.items():
        result = subprocess.run(argv, capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise BenchError(f"building {name} failed: {result.stderr[-1000:]}")
        ctx.tools[name] = Path(argv[argv.index("-o") + 1])


def _machine() -> dict:
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "python": platform.python_version()}


def _fmt(value, digits=3) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{int(value):,}".replace(",", " ")
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.{digits}g}"


def table(rows: list[Row]) -> str:
    lines = ["| Section | Figure | Value | Reference | Ratio | Goal | Met | Notes |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        value = f"{_fmt(r.value)} {r.unit}".strip() if r.value is not None else "-"
        reference = f"{_fmt(r.reference)} ({r.reference_label})" if r.reference is not None else "-"
        met = "" if r.met is None else ("yes" if r.met else "**no**")
        lines.append(f"| {r.section} | {r.figure} | {value} | {reference} | {_fmt(r.ratio)} | {r.goal} | {met} | "
                     f"{r.note.replace('|', '/')} |")
    return "\n".join(lines)


def _update_readme(text: str) -> None:
    readme = BENCH / "README.md"
    if not readme.exists():
        return
    content = readme.read_text()
    if README_BEGIN not in content or README_END not in content:
        return
    head, rest = content.split(README_BEGIN, 1)
    _, tail = rest.split(README_END, 1)
    readme.write_text(f"{head}{README_BEGIN}\n{text}\n{README_END}{tail}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short runs for a smoke test (about 1 min)")
    parser.add_argument("--only", default=",".join(SECTIONS), help="comma-separated: " + ", ".join(SECTIONS))
    parser.add_argument("--helper", type=Path, help="use this native audio-helper-sim instead of building one")
    parser.add_argument("--windows-exe", type=Path, help="use this audio-helper.exe instead of building one")
    parser.add_argument("--json", type=Path, default=ROOT / "build" / "bench" / "results.json",
                        help="where the raw results go (not kept in the tree: the README's table is the record)")
    parser.add_argument("--no-readme", action="store_true", help="leave bench/README.md as it is")
    args = parser.parse_args()
    only = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in only if s not in SECTIONS]
    if unknown:
        parser.error(f"unknown section(s): {', '.join(unknown)}")

    missing = common.missing_tools(REQUIRED)
    if missing:
        print("missing required tools: " + "; ".join(missing), file=sys.stderr)
        return 2
    for cmd, (pkg, use) in OPTIONAL.items():
        if shutil.which(cmd) is None:
            print(f"note: {cmd} not found, {use} skipped or reduced (apt-get install {pkg})", file=sys.stderr)

    began = time.monotonic()
    ctx = Context(args)
    try:
        _compile_tools(ctx)
        ctx.helper = args.helper.resolve() if args.helper else _build("native", "audio-helper-sim")
        if "size" in only:
            if args.windows_exe:
                ctx.windows_exe = args.windows_exe.resolve()
            elif shutil.which("x86_64-w64-mingw32-g++-win32") or shutil.which("x86_64-w64-mingw32-g++"):
                try:
                    ctx.windows_exe = _build("windows", "audio-helper")
                except BenchError as error:
                    ctx.windows_note = str(error)
            else:
                ctx.windows_note = "MinGW-w64 missing (apt-get install g++-mingw-w64-x86-64-win32)"
    except BenchError as error:
        print(f"build failed: {error}", file=sys.stderr)
        return 2
    print(f"helper: {ctx.helper}\nbuild/tools ready in {time.monotonic() - began:.0f} s", file=sys.stderr)

    rows: list[Row] = []
    failed = []
    timings = {}
    for name in only:
        module = importlib.import_module("bench." + {"stop": "stop_start"}.get(name, name))
        started = time.monotonic()
        print(f"== {name} ...", file=sys.stderr, flush=True)
        try:
            section_rows = module.run(ctx)
        except (BenchError, OSError, subprocess.SubprocessError) as error:
            traceback.print_exc()
            failed.append(name)
            section_rows = [Row(name, "section failed", None, "", note=str(error)[:300])]
        finally:
            common.end_all_children()
        timings[name] = round(time.monotonic() - started, 1)
        print(f"   {name}: {timings[name]} s", file=sys.stderr, flush=True)
        rows.extend(section_rows)

    machine = _machine()
    total = round(time.monotonic() - began, 1)
    text = table(rows)
    header = (f"Ran {machine['date']} on {machine['nproc']} x {machine['cpu']}, Linux {machine['kernel']}"
              f"{' (--quick)' if args.quick else ''}; whole run {total:.0f} s.")
    print(header)
    print(text)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({
        "machine": machine, "quick": args.quick, "sections_seconds": timings, "total_seconds": total,
        "helper": str(ctx.helper), "windows_exe": str(ctx.windows_exe) if ctx.windows_exe else None,
        "rows": [asdict(r) for r in rows]}, indent=2, default=str) + "\n")
    if not args.no_readme and set(only) == set(SECTIONS):
        _update_readme(f"{header}\n\n{text}")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        common.end_all_children()
        sys.exit(130)
