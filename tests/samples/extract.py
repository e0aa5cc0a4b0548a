#!/usr/bin/env python3
"""Writes every sample of one language that the README and docs/ show into a
folder, one file per fenced block, so that a test runs each as it is written.

    extract.py LANG OUTDIR [MARKDOWN...]

LANG is a fence's info string: c, cpp, python, js or rust. Without MARKDOWN
files it reads the tree's README.md, docs/*.md and the packages' own READMEs
(python/, bindings/*/). Prints the
files written, one per line, as "FILE<TAB>SOURCE:LINE". A block whose fence
names another language (sh, console, text) is not a sample of LANG.
"""
import glob
import os
import re
import sys

EXTENSIONS = {"c": ".c", "cpp": ".cpp", "python": ".py", "js": ".js", "rust": ".rs"}
FENCE = re.compile(r"^(```+)\s*([\w+-]*)\s*$")


def blocks(path, lang):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, info, start = m.group(1), m.group(2), i + 1
        i += 1
        while i < len(lines) and lines[i].strip() != fence:
            i += 1
        if info == lang:
            yield start, "\n".join(lines[start:i]) + "\n"
        i += 1


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in EXTENSIONS:
        sys.exit(__doc__)
    lang, out = sys.argv[1], sys.argv[2]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    files = sys.argv[3:] or (
        [os.path.join(root, "README.md"), os.path.join(root, "python", "README.md")]
        + sorted(glob.glob(os.path.join(root, "bindings", "*", "README.md")))
        + sorted(glob.glob(os.path.join(root, "docs", "*.md"))))
    os.makedirs(out, exist_ok=True)
    for path in files:
        slug = os.path.splitext(os.path.relpath(path, root))[0].replace(os.sep, "-").lower()
        for line, text in blocks(path, lang):
            name = os.path.join(out, f"{slug}-{line}{EXTENSIONS[lang]}")
            with open(name, "w", encoding="utf-8") as f:
                f.write(text)
            print(f"{name}\t{os.path.relpath(path, root)}:{line}")


if __name__ == "__main__":
    main()
