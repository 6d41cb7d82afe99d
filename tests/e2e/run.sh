#!/bin/sh
# Runs the end-to-end tests under Wine + Xvfb against an existing cross
# build (E2E_BUILD, default build/win32). Builds nothing. Exits non-zero
# when a test fails or the bed cannot start; pytest's summary line is last.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
: "${E2E_BUILD:=$repo/build/win32}"
export E2E_BUILD

. "$repo/scripts/bed-python.sh" || exit 2

cd "$repo" || exit 2
"$py" -m pytest tests/e2e -q -p no:cacheprovider "$@"
exit $?
