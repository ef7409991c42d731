#!/usr/bin/env python3
"""Prints every skipped test of a ctest run with the reason it gave.

Usage: skipped-tests.py <JUnit file written by ctest --output-junit>

A test counts as skipped when ctest did not count it as run (its output
matched the skip expression of tests/CMakeLists.txt, or it was disabled).
The reason is what GoogleTest printed between the test's "Skipped" line and
its "[  SKIPPED ]" line; the place is the file and line of GTEST_SKIP.
"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

SKIPPED_AT = re.compile(r"^(?:(.*):(\d+): )?Skipped$")


def place_and_reason(output):
    lines = output.splitlines()
    for i, line in enumerate(lines):
        match = SKIPPED_AT.match(line)
        if not match:
            continue
        place = "%s:%s" % (os.path.basename(match.group(1)), match.group(2)) if match.group(1) else ""
        text = []
        for later in lines[i + 1:]:
            if later.startswith("[  SKIPPED ]"):
                break
            if later.strip():
                text.append(later.strip())
        return place, " ".join(text) or "(no reason given)"
    return "", "(no reason in the output)"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    try:
        suite = ElementTree.parse(sys.argv[1]).getroot()
    except (OSError, ElementTree.ParseError) as error:
        sys.exit("no test results to read: %s" % error)
    skipped = []
    for case in suite.iter("testcase"):
        if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            place, reason = place_and_reason(case.findtext("system-out") or "")
            skipped.append((case.get("name"), place, reason))
    if not skipped:
        print("== no test was skipped ==")
        return
    print("== %d test%s skipped ==" % (len(skipped), " was" if len(skipped) == 1 else "s were"))
    for name, place, reason in sorted(skipped):
        print("SKIPPED %s%s: %s" % (name, " (%s)" % place if place else "", reason))


if __name__ == "__main__":
    main()
