#!/bin/sh
# Runs the end-to-end tests under Wine + Xvfb against an existing cross
# build (E2E_BUILD, default the one scripts/bed.sh picks for this host:
# build/win32, or its 64-bit twin build/win64 where no 32-bit code runs; the
# file checks always read build/win32). Builds nothing. Exits non-zero
# when a test fails or the bed cannot start; pytest's summary line is last.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/scripts/bed.sh"
[ -n "${E2E_BUILD:-}" ] || { bed_choose "$repo"; E2E_BUILD=$BED_BUILD; }
: "${E2E_SHIPPED_BUILD:=$repo/build/win32}"
export E2E_BUILD E2E_SHIPPED_BUILD

. "$repo/scripts/bed-python.sh" || exit 2

cd "$repo" || exit 2
# The whole suite unless the arguments name tests of their own (a file or
# a test id), which pytest would otherwise run on top of it.
where=tests/e2e
for arg in "$@"; do
    case $arg in -*) ;; *) [ -e "${arg%%::*}" ] && where="" ;; esac
done
"$py" -m pytest $where -q -p no:cacheprovider "$@"
exit $?
