#!/usr/bin/env python3
"""Writes the Debian changelog of the package from the project's git history:
    changelog.py SOURCE_DIR PACKAGE "NAME <EMAIL>"
One entry per version of the project (the VERSION in the top-level
CMakeLists.txt at each commit), newest first, listing the subjects of its
commits (merges left out), dated by its newest commit."""

import re
import subprocess
import sys
import textwrap
import time

src, package, maintainer = sys.argv[1:4]


def git(*args, data=None):
    out = subprocess.run(["git", "-C", src, *args], input=data, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"changelog: git {args[0]} failed: {out.stderr.strip()} "
                 "(the changelog is made from the history: build from a git clone)")
    return out.stdout


log = [line.split("\x1f") for line in git("log", "--no-merges", "--format=%H%x1f%ct%x1f%s").splitlines()]
# Every commit's CMakeLists.txt through one git process.
blobs = git("cat-file", "--batch", data="".join(f"{c}:CMakeLists.txt\n" for c, _, _ in log))
versions = [m.group(1) for m in re.finditer(r"^project\(\w+ VERSION ([0-9.]+)", blobs, re.M)]
if len(versions) != len(log):
    sys.exit("changelog: a commit's CMakeLists.txt has no project VERSION")

entries = {}
for (_, stamp, subject), version in zip(log, versions):
    entry = entries.setdefault(version, {"date": int(stamp), "items": []})
    entry["items"].append(subject)

out = []
for version, entry in entries.items():
    out.append(f"{package} ({version}) unstable; urgency=medium\n")
    for item in entry["items"]:
        out.append(textwrap.fill(item, width=80, initial_indent="  * ", subsequent_indent="    ",
                                 break_long_words=False, break_on_hyphens=False))
    date = time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(entry["date"]))
    out.append(f"\n -- {maintainer}  {date}\n")
sys.stdout.write("\n".join(out))
