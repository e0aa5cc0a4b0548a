#!/usr/bin/env python3
"""docs/api.md against the code: its table of messages lists exactly the
messages the library's code sets (kor_set_error), and its table of options
exactly the members the core reads from the options text.

    check-api-tables.py SOURCE_DIR
"""
import glob
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
api = open(os.path.join(root, "docs", "api.md"), encoding="utf-8").read()


def section(title):
    start = api.index("\n## " + title + "\n")
    end = api.find("\n## ", start + 1)
    return api[start:end if end >= 0 else len(api)]


def first_cells(text):
    """The first cell of each row of the first table in `text`."""
    rows = re.findall(r"^\| *`([^`]*)` *\|", text.split("\n\n| ", 1)[1] if "\n\n| " in text else text, re.M)
    return rows


def shape(message, placeholder):
    """A message with every filled-in part (printf's %d, the doc's <name>) as *."""
    return re.sub(placeholder, "*", message)


# --- Messages ------------------------------------------------------------------
messages = section("Messages")
table = messages.split("\n\n")
documented = next(block for block in table if block.startswith("| message |"))
doc = {shape(m, r"<[^>]+>") for m in re.findall(r"^\| `([^`]*)` \|", documented, re.M)}
# Not set by a literal of their own: no failure, and the Linux layer's list of
# every mechanism tried (the tables after this one).
doc -= {'""', "logind: *; *"}

code = set()
for path in glob.glob(os.path.join(root, "src", "**", "*.cpp"), recursive=True):
    text = open(path, encoding="utf-8").read()
    for call in re.finditer(r"kor_set_error\(([^;]*)\);", text):
        for literal in re.findall(r'"((?:[^"\\]|\\.)*)"', call.group(1)):
            if literal != "%s":
                code.add(shape(literal, r"%l?[sdu]"))
# The message kor_set_error itself falls back to.
fallback = "error text could not be formatted"
if f'"{fallback}"' in open(os.path.join(root, "src", "core", "korvel.cpp"), encoding="utf-8").read():
    code.add(fallback)

failures = []
for m in sorted(code - doc):
    failures.append(f"docs/api.md does not list the message the code sets: {m!r}")
for m in sorted(doc - code):
    failures.append(f"docs/api.md lists a message no code sets: {m!r}")

# --- Options -------------------------------------------------------------------
options = section("Options")
documented = {m.strip('"') for m in re.findall(r'^\| `("[^"]+")` \|', options, re.M)}
core = open(os.path.join(root, "src", "core", "korvel.cpp"), encoding="utf-8").read()
read = set(re.findall(r'yyjson_obj_get\(root, "([^"]+)"\)', core))
for m in sorted(read - documented):
    failures.append(f"docs/api.md's options table lacks the member the core reads: {m!r}")
for m in sorted(documented - read):
    failures.append(f"docs/api.md's options table lists a member the core never reads: {m!r}")

for f in failures:
    print("FAIL:", f)
print(f"{len(code)} messages and {len(read)} options checked against docs/api.md")
sys.exit(1 if failures else 0)
