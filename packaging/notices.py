#!/usr/bin/env python3
"""Writes the licence notices of the third-party code a package carries,
from packaging/third-party.txt and the Debian packages it names:

    notices.py LIST windows|linux NOTICES [--mingw-prefix DIR] [--crlf]
               [--comment COMMENT]

NOTICES gets, per component the platform's programs carry, its name,
version, home page, licence, how it is carried, and the copyright notices and
licence texts that apply, taken from the Debian package's copyright file; then
the full text of every common licence those refer to. COMMENT, when given,
gets the Comment field of the Debian copyright file, which names each
component and its licence. The output depends only on the installed packages,
never on the time or the machine."""

import argparse
import re
import subprocess
import sys
from pathlib import Path

COMMON_LICENSES = Path("/usr/share/common-licenses")


def fail(message):
    sys.exit(f"notices: {message}")


def paragraphs(text):
    """deb822 paragraphs as lists of (field, value) with continuation lines
    joined by newlines; comments dropped."""
    result, fields = [], []
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        if not line.strip():
            if fields:
                result.append(fields)
            fields = []
        elif line[0] in " \t" and fields:
            fields[-1] = (fields[-1][0], fields[-1][1] + "\n" + line)
        elif ":" in line:
            name, value = line.split(":", 1)
            fields.append((name.strip(), value.strip()))
        else:
            fail(f"not a field: {line!r}")
    if fields:
        result.append(fields)
    return result


def dpkg_field(package, field):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${" + field + "}", package],
                         capture_output=True, text=True)
    if out.returncode != 0:
        fail(f"{package} is not installed (scripts/install-deps.sh installs it)")
    return out.stdout.strip()


def select_dep5(text, selectors):
    """The paragraphs of a machine-readable copyright file that the
    selectors pick, and the stand-alone License paragraphs they name."""
    paras = re.split(r"\n\s*\n", text.strip())
    keep = [s for s in selectors if not s.startswith("!")]
    drop = [s[1:] for s in selectors if s.startswith("!")]
    chosen, licenses = [], set()
    for para in paras:
        m = re.search(r"^Files:(.*?)(?=^\S|\Z)", para, re.S | re.M)
        if not m:
            continue
        files = m.group(1).split()
        if not any(f.startswith(tuple(keep)) for f in files):
            continue
        if drop and all(f.startswith(tuple(drop)) for f in files):
            continue
        chosen.append(para)
        lic = re.search(r"^License: *(.*)$", para, re.M)
        if lic:
            licenses.update(n for n in re.split(r"\s+(?:or|and)\s+", lic.group(1).strip()) if n)
    if not chosen:
        fail(f"no paragraph matches {' '.join(selectors)}")
    for para in paras:
        m = re.match(r"License: *(.*)\n", para)
        if m and not para.startswith("Files:") and m.group(1).strip() in licenses:
            chosen.append(para)
    return "\n\n".join(chosen)


def between(text, first, last):
    lines = text.splitlines()
    try:
        start = lines.index(first)
        end = lines.index(last, start)
    except ValueError:
        fail(f"{first!r} .. {last!r} not found")
    return "\n".join(lines[start:end]).rstrip()


def notice_text(entry, prefix):
    package = entry["Package"]
    path = Path(entry.get("Notice-File", f"/usr/share/doc/{package}/copyright"))
    if not path.is_absolute():
        path = prefix / path
    text = path.read_text(encoding="utf-8")
    if "Select" in entry:
        return select_dep5(text, entry["Select"].split())
    if "Lines" in entry:
        first, last = (s.strip() for s in entry["Lines"].split("|"))
        return between(text, first, last)
    return text.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("list", type=Path)
    ap.add_argument("platform", choices=["windows", "linux"])
    ap.add_argument("notices", type=Path)
    ap.add_argument("--mingw-prefix", type=Path)
    ap.add_argument("--crlf", action="store_true")
    ap.add_argument("--comment", type=Path)
    args = ap.parse_args()

    field = args.platform.capitalize()
    entries = [dict(p) for p in paragraphs(args.list.read_text(encoding="utf-8"))]
    entries = [e for e in entries if field in e]
    if not entries:
        fail(f"no component listed for {args.platform}")

    out = [
        "THIRD-PARTY NOTICES",
        "",
        "Tolvex's programs carry code of the components below, each under its own",
        "licence. The notices and licence texts are those of the Debian packages the",
        "programs are built from. (The project has not stated a licence for its own",
        "code.)",
        "",
    ]
    summary, referenced = [], []
    for e in entries:
        if "Version-File" in e:
            if not args.mingw_prefix:
                fail(f"{e['Component']}: --mingw-prefix is needed for its version")
            version = (args.mingw_prefix / e["Version-File"]).read_text().strip()
            origin = f"Built from Debian's source package {version}; the copyright file of {e['Package']} says:"
        else:
            version = dpkg_field(e["Package"], "Version")
            origin = f"From the Debian package {e['Package']} {version}; its copyright file says:"
        upstream = re.sub(r"^\d+:", "", version).rsplit("-", 1)[0]
        upstream = re.sub(r"[+~](ds|dfsg|repack)\w*$", "", upstream)
        text = notice_text(e, args.mingw_prefix or Path("/"))
        for name in re.findall(r"/usr/share/common-licenses/([A-Za-z0-9.+-]+[A-Za-z0-9+])", text):
            if name not in referenced:
                referenced.append(name)
        out += [
            "=" * 78,
            f"{e['Component']} {upstream}",
            f"Home page: {dpkg_field(e['Package'], 'Homepage')}",
            f"Licence: {e['License']}",
            f"In the programs: {e[field]}",
            origin,
            "",
            text,
            "",
        ]
        summary.append(f"  - {e['Component']} {upstream}: {e['License']}")
    for name in referenced:
        path = COMMON_LICENSES / name
        if not path.is_file():
            fail(f"{path} is referred to but missing")
        out += ["=" * 78, f"{path}", "", path.read_text(encoding="utf-8").rstrip(), ""]

    eol = "\r\n" if args.crlf else "\n"
    args.notices.write_bytes(eol.join(out).encode("utf-8"))
    if args.comment:
        args.comment.write_text("\n".join(summary) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
