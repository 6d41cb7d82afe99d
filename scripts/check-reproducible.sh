#!/usr/bin/env bash
# Builds the delivered programs twice from this checkout, each time from a
# copy of the sources in a temporary folder of its own (so the folders, their
# name lengths and the times differ), and compares Lanzo.exe and Renovo.exe
# byte for byte. Prints both digests of each; exits non-zero on a difference.
#
#   scripts/check-reproducible.sh [--images DIR]
#
# --images DIR builds both times with DIR/SMARTHOPPER and DIR/SMARTPAYOUT
# embedded, as scripts/release.sh --images DIR does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/release-build.sh"

images=""
case ${1:-} in
    "") ;;
    --images) [ -n "${2:-}" ] && [ -d "$2" ] || { echo "reproducible: --images needs a folder" >&2; exit 2; }
              images=$(realpath "$2") ;;
    *) echo "reproducible: unknown argument '$1' (usage: scripts/check-reproducible.sh [--images DIR])" >&2; exit 2 ;;
esac

"$root/scripts/setup.sh"
git -C "$root" rev-parse --git-dir >/dev/null 2>&1 || { echo "reproducible: $root is not a git checkout" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT

build_copy() {
    local dir=$1
    mkdir -p "$dir/src"
    # What a fresh clone of this checkout would hold, edits included.
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        xargs -0 cp --parents -t "$dir/src")
    release_configure "$dir/src" "$dir/build" "" i686 "$images"
    release_build "$dir/build" Lanzo
}

build_copy "$work/first"
sleep 2
build_copy "$work/second-build"

status=0
for program in updater/Renovo.exe launcher/Lanzo.exe; do
    a=$(sha256sum <"$work/first/build/$program" | cut -d' ' -f1)
    b=$(sha256sum <"$work/second-build/build/$program" | cut -d' ' -f1)
    verdict=same
    [ "$a" = "$b" ] || { verdict=DIFFERENT; status=1; }
    printf '%-11s first  %s\n%-11s second %s  %s\n' "$(basename "$program")" "$a" "" "$b" "$verdict"
done
[ $status -eq 0 ] && echo "reproducible: both builds gave the same bytes${images:+ with the images of $images}" || echo "reproducible: the builds differ" >&2
exit $status
