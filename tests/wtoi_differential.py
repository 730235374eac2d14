#!/usr/bin/env python3
"""Differential test of the argument conversion: thousands of generated arguments through the Windows
runtime (the probe under Wine) and through the native stand-in; every converted value must agree.

usage: wtoi_differential.py NATIVE_PROBE WINDOWS_PROBE WINE_RUNNER [COUNT]
"""
import random
import subprocess
import sys

SPACES = [" ", "\t", "\n", "\v", "\f", "\r", "\u00a0", "\u0085", "\u1680", "\u2000", "\u2003", "\u200b",
          "\u2028", "\u202f", "\u205f", "\u3000", "\ufeff", "\x1c", "\x1f"]
DIGITS = list("0123456789")
OTHER_DIGITS = ["\u0660", "\u0669", "\u06f5", "\u0966", "\u09e7", "\u0e53", "\uff10", "\uff19", "\u00b2",
                "\u00b9", "\u2460", "\u1040", "\U0001d7ce"]
SIGNS = ["+", "-", "\u2212", "\uff0b", "\uff0d"]
JUNK = list("xyzABC.,_ ") + ["\u00e9", "\u00df", "\U0001f600", "\u4e2d", "\""]


def generate(count, seed=20261207):
    rng = random.Random(seed)
    fixed = ["", "-1", "+42", "1234xyz", "abc", "  7", "5 6", "2147483647", "2147483648", "-2147483648",
             "-2147483649", "4294967295", "4294967296", "9" * 30, "-" + "9" * 30, "+-5", "-+5", "--5", "00012"]
    cases = list(fixed)
    # Every candidate space and digit on its own, so a mismatch names the character.
    cases += [s + "7" for s in SPACES] + [d + "7" for d in OTHER_DIGITS] + ["1" + d for d in OTHER_DIGITS]
    cases += [s + "7" for s in SIGNS]
    while len(cases) < count:
        parts = []
        if rng.random() < 0.5:
            parts += rng.choices(SPACES, k=rng.randint(1, 3))
        if rng.random() < 0.5:
            parts.append(rng.choice(SIGNS if rng.random() < 0.2 else ["+", "-"]))
        pool = DIGITS * 6 + OTHER_DIGITS + JUNK
        parts += rng.choices(DIGITS, k=rng.randint(0, 12 if rng.random() < 0.8 else 25))
        if rng.random() < 0.4:
            parts += rng.choices(pool, k=rng.randint(1, 4))
        cases.append("".join(parts))
    return cases


def batches(cases, limit=12000):
    """Splits the cases so each command line stays well under Windows' 32767 characters."""
    batch, size = [], 0
    for case in cases:
        cost = len(case) * 2 + 3
        if batch and size + cost > limit:
            yield batch
            batch, size = [], 0
        batch.append(case)
        size += cost
    if batch:
        yield batch


def converted(command, batch):
    result = subprocess.run(command + batch, capture_output=True, timeout=300)
    if result.returncode != 0:
        raise SystemExit(f"{command[0]} exited {result.returncode}: {result.stderr[:200]!r}")
    lines = result.stderr.decode("utf-16-le").split("\r\n")
    assert lines[-1] == "", "output ends with a whole line"
    return lines[:-1]


def main():
    native, windows, runner = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 5000
    cases = generate(count)
    mismatches = 0
    for batch in batches(cases):
        ours = converted([native], batch)
        theirs = converted([runner, windows], batch)
        assert len(ours) == len(batch), f"native gave {len(ours)} lines for {len(batch)} arguments"
        assert len(theirs) == len(batch), f"Windows gave {len(theirs)} lines for {len(batch)} arguments"
        for case, mine, reference in zip(batch, ours, theirs):
            if mine != reference:
                mismatches += 1
                if mismatches <= 20:
                    print(f"MISMATCH {case!r}: native {mine!r}, Windows {reference!r}")
    print(f"{len(cases) - mismatches} passed, {mismatches} failed")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
