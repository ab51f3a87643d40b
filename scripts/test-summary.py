#!/usr/bin/env python3
"""What CTest ran, and what it skipped and why.

  test-summary.py run RESULTS NAME   one run: RESULTS/NAME.xml (ctest
                                     --output-junit) and RESULTS/NAME.log
                                     (its LastTest.log)
  test-summary.py total RESULTS      every run in RESULTS, then one closing
                                     line "total: N passed, N failed, N skipped"

A test that CTest reports as skipped is a whole suite that could not run here
(SKIP_RETURN_CODE). Inside suites that did run, each skipped case printed a
"tolvex-skip: Suite.Case: reason" line; those are counted and grouped by
reason, so a skip is never mistaken for a pass.
"""
import collections
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

SKIP_LINE = re.compile(r"^tolvex-skip: (?P<case>[^:]+): (?P<reason>.*)$")
TEST_START = re.compile(r"^\d+/\d+ Test: (?P<test>.+)$")


def read_run(results, name):
    counts = collections.Counter()
    skipped_tests = []
    xml = results / f"{name}.xml"
    if xml.exists():
        for case in ET.parse(xml).getroot().iter("testcase"):
            status = case.get("status")
            if status == "notrun" or case.find("skipped") is not None:
                counts["skipped"] += 1
                skipped_tests.append(case.get("name"))
            elif status == "fail":
                counts["failed"] += 1
            else:
                counts["passed"] += 1
    # (test, reason) -> skipped cases
    reasons = collections.defaultdict(list)
    log = results / f"{name}.log"
    if log.exists():
        test = "?"
        for line in log.read_text(errors="replace").splitlines():
            if m := TEST_START.match(line):
                test = m["test"]
            elif m := SKIP_LINE.match(line):
                reasons[(test, m["reason"])].append(m["case"])
    return counts, skipped_tests, reasons


def print_run(name, counts, skipped_tests, reasons):
    cases = sum(len(v) for v in reasons.values())
    print(f"{name}: {counts['passed']} passed, {counts['failed']} failed, "
          f"{counts['skipped']} skipped; {cases} test case(s) skipped")
    for test in skipped_tests:
        print(f"  skipped as a whole: {test}")
    for (test, reason), which in sorted(reasons.items()):
        first = which[0] + (f" and {len(which) - 1} more" if len(which) > 1 else "")
        print(f"  {test}: {len(which)} skipped ({first}): {reason}")


def main(argv):
    if len(argv) == 4 and argv[1] == "run":
        results = pathlib.Path(argv[2])
        print_run(argv[3], *read_run(results, argv[3]))
        return 0
    if len(argv) == 3 and argv[1] == "total":
        results = pathlib.Path(argv[2])
        total = collections.Counter()
        total_cases = 0
        # In the order they ran.
        names = [p.stem for p in sorted(results.glob("*.xml"), key=lambda p: p.stat().st_mtime)]
        print("== test summary")
        for name in names:
            counts, skipped_tests, reasons = read_run(results, name)
            print_run(name, counts, skipped_tests, reasons)
            total.update(counts)
            total_cases += sum(len(v) for v in reasons.values())
        print(f"skipped test cases: {total_cases}")
        print(f"total: {total['passed']} passed, {total['failed']} failed, "
              f"{total['skipped']} skipped")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
