#!/usr/bin/env python3
"""Writes the C++ lower-case tables from the Unicode Character Database.

usage: unicode_lower.py UnicodeData.txt SpecialCasing.txt OUT.hpp

SIMPLE_LOWER holds every code point whose simple lower-case mapping
(UnicodeData.txt field 13) is another code point, sorted by code point.
SPECIAL_LOWER holds the unconditional entries of SpecialCasing.txt whose
lower-case mapping is not that simple one (U+0130 -> U+0069 U+0307 in every
version so far). Conditional entries (Final_Sigma, language rules) are left
out: the code that uses the tables lower-cases without context or locale.
"""

import re
import sys

MAX_SPECIAL = 3  # SpecialCasing.txt never maps to more than three code points


def simple_lower(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) != 15:
                raise SystemExit(f"{path}: unexpected line {line!r}")
            if fields[13]:
                table[int(fields[0], 16)] = int(fields[13], 16)
    return table


def special_lower(path, simple):
    table = {}
    version = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if version is None:
                m = re.match(r"#\s*SpecialCasing-([0-9.]+)\.txt", line)
                if m:
                    version = m.group(1)
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [x.strip() for x in data.split(";")]
            # code; lower; title; upper; [conditions;] -- the trailing ";"
            # leaves one empty field after the last.
            conditions = fields[4] if len(fields) > 5 else ""
            if conditions:
                continue
            code = int(fields[0], 16)
            lower = [int(x, 16) for x in fields[1].split()]
            if len(lower) > MAX_SPECIAL:
                raise SystemExit(f"{path}: mapping longer than {MAX_SPECIAL}: {line!r}")
            if lower != [simple.get(code, code)]:
                table[code] = lower
    if version is None:
        raise SystemExit(f"{path}: no version line")
    return table, version


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    data, special_path, out = sys.argv[1:]
    simple = simple_lower(data)
    special, version = special_lower(special_path, simple)

    rows = [f"{{0x{c:04X}, 0x{simple[c]:04X}}}," for c in sorted(simple)]
    lines = [" ".join(rows[i : i + 4]) for i in range(0, len(rows), 4)]
    specials = []
    for c in sorted(special):
        to = special[c] + [0] * (MAX_SPECIAL - len(special[c]))
        specials.append(
            f"{{0x{c:04X}, {len(special[c])}, {{{', '.join(f'0x{x:04X}' for x in to)}}}}},"
        )

    text = f"""// Generated from the Unicode Character Database {version} by
// cmake/unicode_lower.py. Do not edit.
#pragma once

#include <array>
#include <cstddef>

namespace tolvex::core::unicode {{

struct SimpleLower {{
    char32_t from;
    char32_t to;
}};

struct SpecialLower {{
    char32_t from;
    std::size_t size;
    char32_t to[{MAX_SPECIAL}];
}};

inline constexpr std::array<SimpleLower, {len(rows)}> SIMPLE_LOWER = {{{{
{chr(10).join("    " + l for l in lines)}
}}}};

inline constexpr std::array<SpecialLower, {len(specials)}> SPECIAL_LOWER = {{{{
{chr(10).join("    " + s for s in specials)}
}}}};

}}  // namespace tolvex::core::unicode
"""
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
