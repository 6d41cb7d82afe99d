#!/usr/bin/env bash
# Every test: set-up, build, native unit tests, then the end-to-end tests of
# the real programs under Wine + Xvfb against the simulator. Ends with one
# line "total: N passed, M failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" || { echo "total: 0 passed, 1 failed"; exit 1; }

mkdir -p build/reports
ctest --test-dir build/native --output-on-failure --output-junit "$root/build/reports/unit.xml" -j 2
E2E_BUILD="$root/build/win32" /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider \
    --junitxml="$root/build/reports/e2e.xml" "$@"

# --- 64-bit Windows bed: begin
# Field machines run 64-bit Windows, where both programs and the maker's
# component run under WoW64: a short subset once more in a 64-bit prefix.
rm -f "$root/build/reports/e2e-win64.xml"
E2E_WINEARCH=win64 E2E_TAG=e2e64 E2E_BUILD="$root/build/win32" /usr/bin/python3 -m pytest tests/e2e -q \
    -p no:cacheprovider -o junit_suite_name=e2e-win64 --junitxml="$root/build/reports/e2e-win64.xml" "$@" -m win64
# --- 64-bit Windows bed: end

/usr/bin/python3 - "$root/build/reports/unit.xml" "$root/build/reports/e2e.xml" \
    "$root/build/reports/e2e-win64.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
passed = failed = 0
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        failed += 1  # a runner that wrote no report failed as a whole
        continue
    for case in root.iter("testcase"):
        outcome = {child.tag for child in case}
        if outcome & {"failure", "error"}:
            failed += 1
        elif "skipped" not in outcome:
            passed += 1
print(f"total: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
PY
