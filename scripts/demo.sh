#!/usr/bin/env bash
# The main job: set-up, build, then the whole system under Wine against the
# simulator (see scripts/demo.py). Screenshots go to build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root"
/usr/bin/python3 scripts/demo.py --build build/win32 --out build/demo
