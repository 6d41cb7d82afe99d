#!/usr/bin/env bash
# Builds the portable core with its unit tests natively (build/native), the
# Windows programs, simulator and test tools with MinGW for 32-bit Windows
# (build/win32, the shipped form), and the same for 64-bit Windows
# (build/win64: the test-only twin for hosts that run no 32-bit code, see
# scripts/bed.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}

cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build/native" -j "$jobs"

for target in win32:i686 win64:x86_64; do
    cmake -S "$root" -B "$root/build/${target%:*}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-${target#*:}.cmake" >/dev/null
    cmake --build "$root/build/${target%:*}" -j "$jobs"
done
