#!/usr/bin/env bash
# Mutation testing: applies each fault of scripts/mutants.txt, one at a time, to a scratch copy of the tree
# (build/mutants/wN/src, so the working tree is never changed, even when interrupted), rebuilds the
# native program there and runs the fault's tests, which must fail. Reports every fault that survives and
# exits non-zero on any survivor, on a fault whose original text is no longer in its file, or on one that
# does not build.
#
#   scripts/mutants.sh [-j JOBS] [-k TEXT]... [--suite-passed]
#       JOBS scratch trees side by side (2); -k: only faults whose name contains TEXT; --suite-passed: the
#       native suite has just passed on this tree (as in scripts/test.sh), so the faults' tests are not run
#       first on the unchanged tree, which takes each worker minutes
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PY'
import argparse, concurrent.futures, os, shutil, subprocess, sys, time

ROOT = os.getcwd()
LIST = os.path.join(ROOT, "scripts", "mutants.txt")
SCRATCH = os.path.join(ROOT, "build", "mutants")
TIMEOUT = {"process": 180, "unit": 20, "script": 180, "node": 120, "linux": 180, "fresh": 900}


def parse(path):
    mutants, current, mode, lines = [], None, None, []
    with open(path) as f:
        for number, text in enumerate(f.read().split("\n"), 1):
            if mode in ("original", "replacement"):
                if text.startswith("== "):
                    raise SystemExit("%s:%d: a fault begins inside the text of %r: its >>> is missing"
                                     % (path, number, current["name"]))
                if text in ("---", ">>>"):
                    current[mode] = "\n".join(lines) + ("\n" if lines else "")
                    lines, mode = [], ("replacement" if text == "---" else None)
                    if mode is None:
                        mutants.append(current)
                else:
                    lines.append(text)
            elif text.startswith("== "):
                current = {"name": text[3:].strip(), "line": number}
            elif text.startswith("file "):
                current["file"] = text[5:].strip()
            elif text.startswith("tests "):
                current["tests"] = text[6:].split()
            elif text == "<<<":
                if current is None or "original" in current:
                    raise SystemExit("%s:%d: text to change with no fault named before it" % (path, number))
                mode, lines = "original", []
            elif text.strip() and not text.startswith("#"):
                sys.exit("%s:%d: not understood: %r" % (path, number, text))
    for m in mutants:
        if not all(key in m for key in ("file", "tests", "original", "replacement")):
            sys.exit("%s:%d: mutant %r lacks a file, tests or text" % (path, m["line"], m["name"]))
    return mutants


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p and not p.startswith("build/") and os.path.isfile(p)]


def sync(src):
    """Makes `src` a copy of the working tree, rewriting only the files that differ (builds stay incremental)."""
    for path in tracked_files():
        target = os.path.join(src, path)
        with open(path, "rb") as f:
            data = f.read()
        try:
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        shutil.copymode(path, target)


class Worker:
    def __init__(self, index):
        self.src = os.path.join(SCRATCH, "w%d" % index, "src")
        self.build = os.path.join(SCRATCH, "w%d" % index, "build")

    def prepare(self):
        sync(self.src)
        if not os.path.exists(os.path.join(self.build, "build.ninja")):
            subprocess.run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
        targets = subprocess.run(["ninja", "-C", self.build, "-t", "targets", "all"], check=True,
                                 capture_output=True, text=True).stdout
        # The program on the simulated engine: audio-helper-sim where the native tree has a real one too.
        self.program = "audio-helper-sim" if "\naudio-helper-sim:" in "\n" + targets else "audio-helper"
        # The real Linux program beside it, for the process tests of what only it does.
        self.real = "audio-helper" if self.program == "audio-helper-sim" else None

    def targets(self, selectors):
        # A fault judged by unit tests alone rebuilds only them, not the programs.
        names = {s.split(":")[1] for s in selectors if s.startswith("unit:")}
        if any(not s.startswith("unit:") for s in selectors):
            names.update({self.program} | ({self.real} if self.real else set()))
        if any(s.startswith("linux:") for s in selectors):
            names.add("jack_tone")
        return sorted(names)

    def build_targets(self, selectors):
        result = subprocess.run(["nice", "ninja", "-C", self.build] + self.targets(selectors),
                                capture_output=True, text=True)
        return result.returncode == 0, result.stdout[-3000:]

    def run(self, selector):
        """True when the selected tests pass."""
        kind, _, what = selector.partition(":")
        # The scratch tree's helpers, imported as the package `tests`.
        env = dict(os.environ, PYTHONPATH=self.src, PYTHONDONTWRITEBYTECODE="1", PYTHONUNBUFFERED="1")
        env.pop("AUDIO_HELPER_SIM", None)
        if kind == "process":
            module, _, case = what.partition(".")
            env["AUDIO_HELPER"] = os.path.join(self.build, self.program)
            if self.real:
                env["AUDIO_HELPER_REAL"] = os.path.join(self.build, self.real)
            # -f: a table's first failing row decides; the rows after it would each wait out a hang.
            command = [sys.executable, os.path.join(self.src, "tests", "process", "test_%s.py" % module), "-f"]
            command += [case] if case else []
        elif kind == "unit":
            target, _, pattern = what.partition(":")
            command = [os.path.join(self.build, "tests", target)] + (["--gtest_filter=" + pattern] if pattern else [])
        elif kind == "linux":
            # The real program against private servers the test starts.
            module, _, case = what.partition(".")
            env["AUDIO_HELPER_LINUX"] = os.path.join(self.build, self.real or self.program)
            env["JACK_TONE"] = os.path.join(self.build, "tests", "linux", "jack_tone")
            command = [sys.executable, os.path.join(self.src, "tests", "linux", "test_%s.py" % module)]
            command += [case] if case else []
        elif kind == "script":
            env["AUDIO_HELPER_BUILD"] = self.build
            command = [sys.executable, os.path.join(self.src, what)]
        elif kind == "fresh":
            # The README's first command on a fresh root, from the scratch tree; the apt cache is shared.
            row, _, first = what.partition(":")
            env["AUDIO_HELPER_ROOTS"] = os.path.join(os.path.dirname(self.src), "fresh-roots")
            env["AUDIO_HELPER_APT_CACHE"] = os.path.join(ROOT, "build", "fresh-roots", "apt-archives")
            command = ["bash", os.path.join(self.src, "scripts", "fresh-roots.sh")]
            command += (["--first", first] if first else []) + [row]
        elif kind == "node":
            env["AUDIO_HELPER_PATH"] = os.path.join(self.build, self.program)
            command = ["node", "--test", os.path.join(self.src, "clients", "node", "test", what)]
        else:
            raise SystemExit("unknown test selector %r" % selector)
        try:
            return subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL, timeout=TIMEOUT[kind]).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def check(self, mutants, baseline):
        """(mutant, verdict) for each; verdicts: killed by ..., SURVIVED, STALE, DOES NOT BUILD."""
        self.prepare()
        selectors = sorted({s for m in mutants for s in m["tests"]})
        ok, log = self.build_targets(selectors)
        if not ok:
            raise SystemExit("the unchanged tree does not build:\n" + log)
        for selector in selectors if baseline else []:
            # A fresh root's row on the unchanged tree is the stage scripts/test.sh runs after this one: a
            # baseline here would build the same root twice.
            if selector.startswith("fresh:"):
                continue
            if not self.run(selector):
                raise SystemExit("%s fails on the unchanged tree; no mutant can be judged by it" % selector)
        results = []
        for m in mutants:
            path = os.path.join(self.src, m["file"])
            with open(path) as f:
                pristine = f.read()
            if pristine.count(m["original"]) != 1:
                results.append((m, "STALE: the original text occurs %d times in %s"
                                % (pristine.count(m["original"]), m["file"])))
                continue
            started = time.monotonic()
            try:
                with open(path, "w") as f:
                    f.write(pristine.replace(m["original"], m["replacement"]))
                ok, log = self.build_targets(m["tests"])
                if not ok:
                    verdict = "DOES NOT BUILD:\n" + log
                else:
                    killer = next((s for s in m["tests"] if not self.run(s)), None)
                    verdict = "killed by %s" % killer if killer else "SURVIVED"
            finally:
                with open(path, "w") as f:
                    f.write(pristine)
            results.append((m, "%s (%.0f s)" % (verdict, time.monotonic() - started)))
            print("%-60s %s" % (m["name"], results[-1][1].splitlines()[0]), flush=True)
        return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("-k", dest="only", action="append", default=[])
    parser.add_argument("--suite-passed", action="store_true")
    args = parser.parse_args()
    mutants = [m for m in parse(LIST) if not args.only or any(text in m["name"] for text in args.only)]
    if not mutants:
        sys.exit("no mutant selected")
    jobs = max(1, min(args.jobs, len(mutants)))
    # Mutants of one file stay together, so each scratch tree recompiles as little as it can.
    mutants.sort(key=lambda m: m["file"])
    shares = [mutants[i::jobs] for i in range(jobs)]
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        results = [r for rs in pool.map(lambda i: Worker(i).check(shares[i], not args.suite_passed), range(jobs)) for r in rs]
    bad = [(m, v) for m, v in results if not v.startswith("killed")]
    print("\n%d mutants, %d killed, %.0f s" % (len(results), len(results) - len(bad), time.monotonic() - started))
    for m, verdict in bad:
        print("%s:%d: %s: %s" % (LIST, m["line"], m["name"], verdict))
    sys.exit(1 if bad else 0)


main()
PY
