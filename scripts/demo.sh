#!/usr/bin/env bash
# The main job: set-up, build, then the whole system under Wine against the
# simulator (see scripts/demo.py). Screenshots go to build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root"
. "$root/scripts/bed.sh"
bed_choose "$root"
echo "demo: the $([ "$BED_X64" = yes ] && echo "64-bit twin (build/win64)" || echo "32-bit programs (build/win32)"); $BED_WHY"
/usr/bin/python3 scripts/demo.py --build "$BED_BUILD" --out build/demo
