#!/usr/bin/env python3
"""Prints "PASSED FAILED" from the JUnit report `ctest --output-junit` wrote.

A test that ran and passed counts as passed; one that failed, timed out or
could not run counts as failed; a disabled test counts as neither. Exits 1
when the report is missing, unreadable or holds no test, so that a run whose
tests never ran cannot pass for one that passed them all.
"""
import sys
import xml.etree.ElementTree as ElementTree


def counts(report):
    passed = failed = 0
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        status = case.get("status", "run")
        if status == "disabled":
            continue
        if status == "run" and case.find("failure") is None and case.find("error") is None:
            passed += 1
        else:
            failed += 1
    return passed, failed


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: ctest_counts.py REPORT.xml")
    try:
        passed, failed = counts(sys.argv[1])
    except (OSError, ElementTree.ParseError) as error:
        sys.exit("ctest_counts: %s" % error)
    if passed + failed == 0:
        sys.exit("ctest_counts: no test in %s" % sys.argv[1])
    print(passed, failed)


if __name__ == "__main__":
    main()
