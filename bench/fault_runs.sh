#!/bin/sh
# Long batches of chaotic fault runs under Wine + Xvfb, with a table of
# runs, injected faults, crashes, hangs, leftovers and invariant violations.
#
#   bench/fault_runs.sh COUNT [--first SEED] [--rate PERCENT] [--verbose]
#   bench/fault_runs.sh --seed SEED          replay one run
#
# Needs an existing cross build (E2E_BUILD, default the one scripts/bed.sh
# picks: build/win32, or build/win64 on a host that runs no 32-bit code);
# builds nothing. A run takes about 10 to 20 s.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$repo/scripts/bed.sh"
[ -n "${E2E_BUILD:-}" ] || { bed_choose "$repo"; E2E_BUILD=$BED_BUILD; }
: "${E2E_TAG:=faultbench}"
export E2E_BUILD E2E_TAG

. "$repo/scripts/bed-python.sh" || exit 2
exec "$py" "$here/fault_runs.py" "$@"
