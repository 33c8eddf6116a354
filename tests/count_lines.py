#!/usr/bin/env python3
"""Counts non-blank, non-comment lines of C, C++ and Python source per folder, the tests'
folders against the code's, and the ratio of tests to code. Run from anywhere in the tree."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CODE = ["Sources", "base", "protocol", "host", "camera", "client", "cli", "tools", "bench", "fuzz", "gst",
        "python", "examples"]
SUFFIXES = {".h": "c", ".hpp": "c", ".c": "c", ".cpp": "c", ".py": "py"}


def counted_lines(path):
    kind = SUFFIXES[path.suffix]
    count = 0
    in_block = False
    for line in path.read_text(errors="replace").splitlines():
        text = line.strip()
        if kind == "c":
            if in_block:
                if "*/" in text:
                    in_block = False
                    text = text.split("*/", 1)[1].strip()
                else:
                    continue
            if text.startswith("/*"):
                if "*/" not in text:
                    in_block = True
                    continue
                text = text.split("*/", 1)[1].strip()
            if not text or text.startswith("//"):
                continue
        elif not text or text.startswith("#"):
            continue
        count += 1
    return count


def folder_counts(folders):
    files = subprocess.run(["git", "ls-files", "-z", *folders], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    counts = {}
    for relative in filter(None, files):
        path = ROOT / relative
        if path.suffix not in SUFFIXES or not path.is_file():
            continue
        parts = Path(relative).parts
        # Tests per area (tests/<area>), code per top-level folder.
        key = "/".join(parts[:2]) if parts[0] == "tests" and len(parts) > 2 else parts[0]
        counts[key] = counts.get(key, 0) + counted_lines(path)
    return counts


def main():
    code = folder_counts(CODE)
    tests = folder_counts(["tests"])
    for title, counts in (("code", code), ("tests", tests)):
        for key in sorted(counts):
            print(f"{title:5} {key:28} {counts[key]:7}")
    code_total, test_total = sum(code.values()), sum(tests.values())
    print(f"total code {code_total}, tests {test_total}: tests are "
          f"{test_total / code_total:.2f} x the code")
    return 0


if __name__ == "__main__":
    sys.exit(main())
