#!/usr/bin/env python3
"""Mutation score of the test suite.

Makes a fixed, seeded sample of small mutants of the product's code (app/,
engine/, audio/, output/, runtime/, platform/), builds each one and runs the tests; a mutant
that makes a test fail (or hang) is killed. A mutant that does not compile
is replaced by the next site drawn from the same folder, so every folder gets
its share. The sample depends only on the product's sources and the seed:
trimming or adding tests does not change which mutants are made.

Usage: scripts/mutate.py [--count 64] [--seed 1] [--labels unit,real]
                         [--build build-mutate] [--folders app,engine]
                         [--carry-survivors LOG] [--list]
--folders runs only those folders' share of the sample (the sample itself
does not change), so that a run can be split between checkouts.
--carry-survivors takes the mutants that an earlier run's output LOG lists
as SURVIVED as survivors again without building them: a suite that only
lost tests cannot kill more, so this bounds a re-measurement from below
at a fraction of its time.
Each source file is restored after its mutant, also on failure or Ctrl-C.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["app", "engine", "audio", "output", "runtime", "platform"]
TARGETS = ["dictate_tests", "quillmarsh-dictate", "quillmarsh-dictate-platform"]

# (name, pattern, replacement). Each match of a pattern on a line is one site.
OPERATORS = [
    ("flip ==", re.compile(r"(?<=[\w\)\]] )==(?= )"), "!="),
    ("flip !=", re.compile(r"(?<=[\w\)\]] )!=(?= )"), "=="),
    ("flip <", re.compile(r"(?<=\w )<(?= [\w(])"), ">="),
    ("flip >", re.compile(r"(?<=\w )>(?= [\w(])"), "<="),
    ("flip <=", re.compile(r"(?<=\w )<=(?= )"), ">"),
    ("flip >=", re.compile(r"(?<=\w )>=(?= )"), "<"),
    ("flip &&", re.compile(r" && "), " || "),
    ("flip ||", re.compile(r" \|\| "), " && "),
    ("negate if", re.compile(r"\bif \((?!.*\bconstexpr\b)(?=.*\))"), None),
    ("true to false", re.compile(r"\btrue\b"), "false"),
    ("false to true", re.compile(r"\bfalse\b"), "true"),
    ("constant + 1", re.compile(r"(?<![\w.])([1-9]\d*)(?![\w.'])"), None),
    ("drop co_await", re.compile(r"\bco_await (?=\w)"), ""),
    ("drop early return", re.compile(r"^\s*(co_)?return;\s*$"), None),
    ("drop call", re.compile(r"^\s*[\w:.>\-]+(?:<[^;]*>)?\([^;]*\);\s*$"), None),
]


def product_files():
    out = subprocess.run(["git", "ls-files", *FOLDERS], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout.split()
    return sorted(f for f in out if f.endswith((".cpp", ".h")))


def is_code(line):
    s = line.strip()
    return s and not s.startswith(("//", "/*", "*", "#")) and "static_assert" not in s


def condition_end(line, start):
    """Index of the parenthesis that closes the one at `start`, or -1."""
    depth = 0
    for j in range(start, len(line)):
        depth += {"(": 1, ")": -1}.get(line[j], 0)
        if depth == 0:
            return j
    return -1


def sites(path):
    """Every (line index, operator index, match index) of one file."""
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    found = []
    for i, line in enumerate(lines):
        if not is_code(line):
            continue
        code = line.split("//")[0]
        for k, (_, pattern, _) in enumerate(OPERATORS):
            for m, match in enumerate(pattern.finditer(code)):
                if OPERATORS[k][0] == "negate if" and condition_end(code, match.end() - 1) < 0:
                    continue  # a condition that goes on over more lines
                found.append((path, i, k, m))
    return found


def mutate_line(line, k, m):
    name, pattern, repl = OPERATORS[k]
    if name in ("drop early return", "drop call"):
        indent = line[: len(line) - len(line.lstrip())]
        return indent + ";  // mutant"
    match = list(pattern.finditer(line.split("//")[0]))[m]
    if name == "negate if":
        end = condition_end(line, match.end() - 1)
        return line[: match.end()] + "!(" + line[match.end():end] + ")" + line[end:]
    if name == "constant + 1":
        new = str(int(match.group(1)) + 1)
    else:
        new = repl
    return line[: match.start()] + new + line[match.end():]


def draw(seed, count):
    """The seeded sample: per folder, a shuffled list of sites to take from."""
    rng = random.Random(seed)
    by_folder = {f: [] for f in FOLDERS}
    for path in product_files():
        by_folder[path.split("/")[0]].extend(sites(path))
    for folder in FOLDERS:
        rng.shuffle(by_folder[folder])
    share = {f: count // len(FOLDERS) + (1 if i < count % len(FOLDERS) else 0)
             for i, f in enumerate(FOLDERS)}
    return by_folder, share


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def build(build_dir):
    return run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2),
                "--target", *TARGETS], 900) == 0


def tests_fail(build_dir, labels):
    for label in labels:
        rc = run(["ctest", "--test-dir", build_dir, "-L", label, "--timeout", "300",
                  "--stop-on-failure"], 1800)
        if rc != 0:
            return True
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=64)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--labels", default="unit,real")
    ap.add_argument("--build", default="build-mutate")
    ap.add_argument("--folders", default=",".join(FOLDERS))
    ap.add_argument("--carry-survivors", metavar="LOG")
    ap.add_argument("--list", action="store_true", help="print the sample and exit")
    args = ap.parse_args()
    labels = args.labels.split(",")
    folders = [f for f in FOLDERS if f in args.folders.split(",")]
    carried = set()
    if args.carry_survivors:
        with open(args.carry_survivors) as log:
            carried = {line.split(" ", 1)[1].strip() for line in log if line.startswith("SURVIVED ")}
    build_dir = os.path.join(ROOT, args.build)

    by_folder, share = draw(args.seed, args.count)
    if not args.list:
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DDICTATE_BENCH=OFF", "-DDICTATE_WERROR=ON"],
                       check=True, stdout=subprocess.DEVNULL)
        if not build(build_dir) or tests_fail(build_dir, labels):
            sys.exit("the unmutated tree does not build or pass its tests")

    results = {f: [0, 0, 0] for f in FOLDERS}  # made, killed, not compiling
    survivors = []
    started = time.time()
    for folder in folders:
        queue = by_folder[folder]
        made = 0
        while made < share[folder] and queue:
            path, i, k, m = queue.pop(0)
            full = os.path.join(ROOT, path)
            with open(full) as f:
                original = f.read()
            lines = original.split("\n")
            mutant = mutate_line(lines[i], k, m)
            where = f"{path}:{i + 1} {OPERATORS[k][0]}"
            if args.list:
                print(where, "|", mutant.strip())
                made += 1
                continue
            if where in carried:
                made += 1
                results[folder][0] += 1
                survivors.append(f"{where} | {mutant.strip()} (carried over)")
                print(f"SURVIVED {where} (carried over)", flush=True)
                continue
            lines[i] = mutant
            try:
                with open(full, "w") as f:
                    f.write("\n".join(lines))
                if not build(build_dir):
                    results[folder][2] += 1
                    continue
                made += 1
                killed = tests_fail(build_dir, labels)
            finally:
                with open(full, "w") as f:
                    f.write(original)
            results[folder][0] += 1
            results[folder][1] += killed
            if not killed:
                survivors.append(f"{where} | {mutant.strip()}")
            print(f"{'killed  ' if killed else 'SURVIVED'} {where}", flush=True)
    if args.list:
        return
    build(build_dir)
    print(f"\nseed {args.seed}, labels {','.join(labels)}, {time.time() - started:.0f} s")
    print("| folder | mutants | killed | score | not compiling (replaced) |")
    print("|---|---|---|---|---|")
    total = [0, 0, 0]
    for folder in folders:
        made, killed, broken = results[folder]
        total = [a + b for a, b in zip(total, results[folder])]
        print(f"| {folder}/ | {made} | {killed} | {100 * killed / max(made, 1):.0f} % | {broken} |")
    print(f"| all | {total[0]} | {total[1]} | {100 * total[1] / max(total[0], 1):.0f} % | {total[2]} |")
    print("\nSurvivors:")
    for s in survivors:
        print("  " + s)


if __name__ == "__main__":
    main()
