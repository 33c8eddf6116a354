#!/usr/bin/env python3
"""Mutation run: applies each fault of a list, one at a time, rebuilds, runs the tests that cover
the faulty file, and reports the fault as caught (with the test that failed) or missed.

The working tree is never touched: the run keeps a private copy of it (build-mutants/tree, built
in build-mutants/tree/build), brought up to date at the start, and mutates only that copy. The
copy's file is put back after each fault, whatever ends the run (Ctrl-C included).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


@dataclass
class Tier:
    folder: str  # a folder of the build tree whose tests run (ctest --test-dir)
    regex: str = ""  # optional ctest -R within it


@dataclass
class Group:
    name: str
    targets: list = field(default_factory=list)
    tiers: list = field(default_factory=list)


@dataclass
class Fault:
    id: str
    path: str
    group: str
    why: str = ""
    original: list = field(default_factory=list)
    replacement: list = field(default_factory=list)
    line: int = 0


def parse_list(path):
    """Reads the list: `group` blocks (build targets, test tiers, cheapest first) and `fault`
    blocks (a file, the group whose tests cover it, `- ` lines of original text and `+ ` lines
    of replacement; no `+` line deletes the original)."""
    groups, faults = {}, []
    current = None
    for number, line in enumerate(path.read_text().splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        words = stripped.split()
        if words[0] == "group":
            current = Group(words[1])
            groups[current.name] = current
        elif words[0] == "fault":
            if len(words) != 4:
                sys.exit(f"{path}:{number}: fault <id> <file> <group>")
            current = Fault(words[1], words[2], words[3], line=number)
            faults.append(current)
        elif words[0] == "build:" and isinstance(current, Group):
            current.targets += words[1:]
        elif words[0] == "tests:" and isinstance(current, Group):
            pattern = words[3:] if words[2:3] == ["-R"] else words[2:]
            current.tiers.append(Tier(words[1], " ".join(pattern)))
        elif words[0] == "why:" and isinstance(current, Fault):
            current.why = stripped[len("why:"):].strip()
        elif line.startswith("- ") and isinstance(current, Fault):
            current.original.append(line[2:])
        elif (line.startswith("+ ") or line == "+") and isinstance(current, Fault):
            current.replacement.append(line[2:])
        else:
            sys.exit(f"{path}:{number}: cannot read: {line}")
    for fault in faults:
        if fault.group not in groups:
            sys.exit(f"{path}:{fault.line}: fault {fault.id}: no group {fault.group}")
        if not fault.original:
            sys.exit(f"{path}:{fault.line}: fault {fault.id}: no original text")
    if len({fault.id for fault in faults}) != len(faults):
        sys.exit(f"{path}: fault ids repeat")
    return groups, faults


def snippet_pattern(lines):
    """The original text as a pattern in which any run of white space matches any other, so that
    a fault survives reformatting and moved lines."""
    tokens = " ".join(line.strip() for line in lines).split()
    return re.compile(r"\s+".join(re.escape(token) for token in tokens))


def mutate(text, fault):
    """The file's text with the fault applied, or None and why not. `text` is None for a file
    that is gone."""
    if text is None:
        return None, "stale"
    matches = list(snippet_pattern(fault.original).finditer(text))
    if not matches:
        return None, "stale"
    if len(matches) > 1:
        return None, "ambiguous"
    match = matches[0]
    return text[: match.start()] + "\n".join(fault.replacement) + text[match.end():], ""


def sync_tree(tree):
    """Brings the private copy up to date with the working tree (tracked and untracked files, not
    ignored ones). A file is written only if its content differs, so its time stamp moves only
    when the build must redo it."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "-c", "-o", "--exclude-standard"],
        cwd=ROOT, check=True, capture_output=True).stdout.decode().split("\0")
    wanted = set()
    for relative in filter(None, listed):
        source = ROOT / relative
        if not source.is_file():
            continue
        wanted.add(relative)
        target = tree / relative
        data = source.read_bytes()
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        shutil.copymode(source, target)
    for path in tree.rglob("*"):
        relative = path.relative_to(tree).as_posix()
        if relative == "build" or relative.startswith("build/") or not path.is_file():
            continue
        if relative not in wanted:
            path.unlink()


def run(command, **kwargs):
    return subprocess.run(command, text=True, capture_output=True, **kwargs)


FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) \((.+)\)\s*$", re.M)


def run_tier(build, tier, jobs, excluded, timeout):
    """Runs one tier's tests; the names of those that failed (empty: all passed)."""
    command = ["ctest", "--test-dir", str(build / tier.folder), "-j", str(jobs),
               "--stop-on-failure", "--no-tests=error", "--timeout", str(timeout),
               "-LE", "^(long|soak)$"]
    if tier.regex:
        command += ["-R", tier.regex]
    if excluded:
        command += ["-E", "^(" + "|".join(re.escape(name) for name in excluded) + ")$"]
    result = run(command)
    listed = result.stdout.partition("The following tests FAILED")[2]
    failed = [f"{name} ({why})" for name, why in FAILED_LINE.findall(listed)]
    if result.returncode != 0 and not failed:
        # No test ran or ctest itself failed: say so rather than count a catch.
        failed.append("ctest: " + (result.stderr.strip() or result.stdout.strip()[-300:]))
    return failed


def caught_by(build, tier, jobs, excluded, timeout):
    """The test of this tier that fails with the fault in, or None. A test that passes when run
    again alone failed for another reason (load, timing) and is left out for this fault."""
    skipped = set(excluded)
    for _ in range(3):
        failed = run_tier(build, tier, jobs, skipped, timeout)
        if not failed:
            return None
        name = failed[0].split(" (")[0]
        if name.startswith("ctest:"):
            return failed[0]
        again = run_tier(build, Tier(tier.folder, "^" + re.escape(name) + "$"), 1, set(), timeout)
        if again:
            return failed[0]
        print(f"  {name} failed once and passed alone: not counted as the catch", flush=True)
        skipped.add(name)
    return None


def build_targets(build, targets, jobs):
    return run(["cmake", "--build", str(build), "-j", str(jobs), "--target", *targets])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", type=Path, default=ROOT / "tests/mutants/faults.txt")
    parser.add_argument("--work", type=Path, default=ROOT / "build-mutants",
                        help="where the private copy and its build live")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds a test may take before ctest kills it (counts as caught)")
    parser.add_argument("--check", action="store_true",
                        help="only say which faults are stale or ambiguous")
    parser.add_argument("ids", nargs="*", help="only these faults")
    args = parser.parse_args()

    groups, faults = parse_list(args.list)
    if args.ids:
        unknown = set(args.ids) - {fault.id for fault in faults}
        if unknown:
            sys.exit("unknown faults: " + " ".join(sorted(unknown)))
        faults = [fault for fault in faults if fault.id in args.ids]

    if args.check:
        bad = 0
        for fault in faults:
            path = ROOT / fault.path
            _, problem = mutate(path.read_text() if path.exists() else None, fault)
            if problem:
                bad += 1
                print(f"{problem:9} {fault.id} ({fault.path})")
        print(f"{len(faults) - bad} of {len(faults)} faults apply")
        return 1 if bad else 0

    tree = args.work / "tree"
    build = tree / "build"
    tree.mkdir(parents=True, exist_ok=True)
    sync_tree(tree)
    # Same layout relative to the sources as `make build`, so ccache serves both.
    os.environ.setdefault("CCACHE_BASEDIR", str(args.work.resolve().parent))
    os.environ.setdefault("CCACHE_NOHASHDIR", "1")
    cache = build / "CMakeCache.txt"
    if not cache.exists() or "KOVA_TESTS:BOOL=ON" not in cache.read_text():
        configure = ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=g++",
                     "-DKOVA_TESTS=ON", "-DKOVA_BENCH=ON"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                          "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        result = run(configure)
        if result.returncode != 0:
            sys.exit("configuring the mutants build failed:\n" + result.stdout + result.stderr)

    used = sorted({fault.group for fault in faults})
    all_targets = sorted({target for name in used for target in groups[name].targets})
    print(f"building {len(all_targets)} targets in {build}", flush=True)
    result = build_targets(build, all_targets, args.jobs)
    if result.returncode != 0:
        sys.exit("the unmutated build fails:\n" + result.stdout[-4000:])

    # A test that fails without any fault would be taken for a catch: it is left out.
    excluded = set()
    tiers = {(tier.folder, tier.regex): tier for name in used for tier in groups[name].tiers}
    for tier in tiers.values():
        print(f"baseline: {tier.folder} {tier.regex}", flush=True)
        for attempt in range(5):
            failed = run_tier(build, tier, args.jobs, excluded, args.timeout)
            if not failed:
                break
            for name in failed:
                print(f"  fails without a fault, left out: {name}", flush=True)
                excluded.add(name.split(" (")[0])

    # Ctrl-C and termination end the run through the `finally` below, which puts the file back.
    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop)

    outcomes = []
    started = time.monotonic()
    try:
        for number, fault in enumerate(faults, 1):
            began = time.monotonic()
            target = tree / fault.path
            original = target.read_text() if target.exists() else None
            mutated, problem = mutate(original, fault)
            if problem:
                outcomes.append((fault, problem, ""))
                print(f"[{number}/{len(faults)}] {problem:7} {fault.id}", flush=True)
                continue
            group = groups[fault.group]
            try:
                target.write_text(mutated)
                built = build_targets(build, group.targets, args.jobs)
                if built.returncode != 0:
                    # Once more: a build stopped from outside is no compile error.
                    built = build_targets(build, group.targets, args.jobs)
                if built.returncode != 0:
                    errors = [line for line in built.stdout.splitlines() if "error" in line]
                    status, detail = "unbuilt", (errors[0] if errors else built.stdout[-200:])
                else:
                    status, detail = "missed", ""
                    for tier in group.tiers:
                        failed = caught_by(build, tier, args.jobs, excluded, args.timeout)
                        if failed:
                            status, detail = "caught", "by " + failed
                            break
            finally:
                target.write_text(original)
            outcomes.append((fault, status, detail))
            print(f"[{number}/{len(faults)}] {status:7} {fault.id} ({fault.path}) {detail}"
                  f" [{time.monotonic() - began:.0f} s]", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the copy's file is restored", flush=True)

    caught = sum(status == "caught" for _, status, _ in outcomes)
    lines = ["", f"mutation run over {os.path.relpath(args.list, ROOT)}"]
    for fault, status, _ in outcomes:
        if status == "missed":
            lines.append(f"missed  {fault.id} ({fault.path}): {fault.why}")
        elif status != "caught":
            lines.append(f"{status:7} {fault.id} ({fault.path}): not counted")
    counted = sum(status in ("caught", "missed") for _, status, _ in outcomes)
    score = 100.0 * caught / counted if counted else 0.0
    lines.append(f"score: {caught} of {counted} faults caught ({score:.1f} %), "
                 f"{len(outcomes) - counted} not counted, {time.monotonic() - started:.0f} s")
    report = "\n".join(lines)
    print(report)
    (args.work / "last-run.txt").write_text(
        "".join(f"{status} {fault.id} {detail}\n" for fault, status, detail in outcomes) + report + "\n")
    return 0 if counted == len(outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
