"""Adds up JUnit-style reports (pytest's and GoogleTest's) into one closing line.

    summarize.py REPORT...                   # the closing line
    summarize.py --require-tests REPORT...   # also fails unless some test passed
"""
import sys
import xml.etree.ElementTree as ET

args = sys.argv[1:]
require = args[:1] == ["--require-tests"]
paths = args[1:] if require else args

passed = failed = skipped = 0
for path in paths:
    for suite in ET.parse(path).getroot().iter("testsuite"):
        tests, errors = int(suite.get("tests", 0)), int(suite.get("errors", 0))
        fails, skips = int(suite.get("failures", 0)), int(suite.get("skipped", 0))
        passed += tests - errors - fails - skips
        failed += errors + fails
        skipped += skips
print(f"tests: {passed} passed, {failed} failed, {skipped} skipped")
if require and passed == 0:
    print("no test ran: " + " ".join(paths))
    sys.exit(1)
