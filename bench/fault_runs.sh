#!/bin/sh
# Long batches of chaotic fault runs under Wine + Xvfb, with a table of
# runs, injected faults, crashes, hangs, leftovers and invariant violations.
#
#   bench/fault_runs.sh COUNT [--first SEED] [--rate PERCENT] [--verbose]
#   bench/fault_runs.sh --seed SEED          replay one run
#
# Needs an existing cross build (E2E_BUILD, default build/win32); builds
# nothing. A run takes about 10 to 20 s.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
: "${E2E_BUILD:=$repo/build/win32}"
: "${E2E_TAG:=faultbench}"
export E2E_BUILD E2E_TAG

. "$repo/scripts/bed-python.sh" || exit 2
exec "$py" "$here/fault_runs.py" "$@"
