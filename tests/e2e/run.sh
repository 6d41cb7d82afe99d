#!/bin/sh
# Runs the end-to-end tests under Wine + Xvfb against an existing cross
# build (E2E_BUILD, default build/win32). Builds nothing. Exits non-zero
# when a test fails or the bed cannot start; pytest's summary line is last.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
: "${E2E_BUILD:=$repo/build/win32}"
export E2E_BUILD

# The first python3 that has pytest (a pyenv shim may shadow the system one).
py=""
for cand in python3 /usr/bin/python3; do
    if "$cand" -c 'import pytest' >/dev/null 2>&1; then py=$cand; break; fi
done
if [ -z "$py" ]; then
    echo "e2e: no python3 with pytest found" >&2
    exit 2
fi

cd "$repo" || exit 2
"$py" -m pytest tests/e2e -q -p no:cacheprovider "$@"
exit $?
