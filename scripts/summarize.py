"""Adds up the pytest reports of every host into one closing line."""
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for path in sys.argv[1:]:
    for suite in ET.parse(path).getroot().iter("testsuite"):
        tests, errors = int(suite.get("tests", 0)), int(suite.get("errors", 0))
        fails, skips = int(suite.get("failures", 0)), int(suite.get("skipped", 0))
        passed += tests - errors - fails - skips
        failed += errors + fails
        skipped += skips
print(f"python tests: {passed} passed, {failed} failed, {skipped} skipped")
