#!/usr/bin/env bash
# Builds the delivered programs from this checkout and writes the release:
#
#   dist/Lanzo.exe         what a technician receives; it carries Renovo.exe
#   dist/symbols/          the debug information split off both programs
#   dist/GUIDE.html        the technician's guide, with screenshots of this build
#   dist/SHA256SUMS        sha256sum lines for the files above
#
#   scripts/release.sh [--sign CERT.pfx --pass-file FILE] [--out DIR]
#
# --sign signs with Authenticode (osslsigncode, no time-stamp server): first
# Renovo.exe, before the launcher embeds it, so that the digest the launcher
# records and checks is the signed file's; then Lanzo.exe. FILE holds the
# certificate's password. The screenshots come from one whole update run
# through the finished Lanzo.exe under Wine (scripts/demo.py); on a host that
# runs no 32-bit code (scripts/bed.sh) through its 64-bit twin, built from
# this checkout with the same firmware images. The output folder (default
# dist/) is replaced only when everything succeeded.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/release-build.sh"
. "$root/scripts/bed.sh"

die() {
    echo "release: $*" >&2
    exit 1
}

out=$root/dist
cert=""
pass_file=""
while [ $# -gt 0 ]; do
    case $1 in
        --sign) cert=${2:-}; shift 2 || die "--sign needs a certificate file" ;;
        --pass-file) pass_file=${2:-}; shift 2 || die "--pass-file needs a file" ;;
        --out) out=${2:-}; shift 2 || die "--out needs a folder" ;;
        *) die "unknown argument '$1' (usage: scripts/release.sh [--sign CERT.pfx --pass-file FILE] [--out DIR])" ;;
    esac
done

# The output folder is replaced as a whole, so only an earlier release (or
# nothing) may stand there: a folder of other files, or one that holds this
# checkout, would be deleted with it.
out=$(realpath -m "$out")
if [ "$out" = / ] || [[ $(realpath "$root")/ == "$out"/* ]]; then
    die "'$out' holds this checkout; name a folder of its own for the release"
fi
if [ -e "$out" ]; then
    [ -d "$out" ] && { [ -f "$out/SHA256SUMS" ] || [ -z "$(ls -A "$out")" ]; } \
        || die "'$out' is not a release folder (no SHA256SUMS in it); name another folder or remove it first"
fi

# Everything about the certificate is checked before anything is built.
if [ -n "$cert" ] || [ -n "$pass_file" ]; then
    [ -n "$cert" ] && [ -n "$pass_file" ] || die "--sign and --pass-file go together"
    [ -f "$cert" ] || die "no certificate file '$cert'"
    [ -f "$pass_file" ] && [ -r "$pass_file" ] || die "cannot read the password file '$pass_file'"
    openssl pkcs12 -in "$cert" -passin "file:$pass_file" -noout >/dev/null 2>&1 \
        || openssl pkcs12 -legacy -in "$cert" -passin "file:$pass_file" -noout >/dev/null 2>&1 \
        || die "cannot open the certificate '$cert' with the password in '$pass_file' (wrong password, or not a PKCS#12 file)"
    cert=$(realpath "$cert")
    pass_file=$(realpath "$pass_file")
fi

"$root/scripts/setup.sh"

mkdir -p "$(dirname "$out")"
stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").new-XXXXXX")
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"  # a folder to hand out, not a private temporary one
mkdir "$stage/symbols"

sign() {  # sign IN OUT DESCRIPTION
    osslsigncode sign -pkcs12 "$cert" -readpass "$pass_file" -h sha256 -n "$3" -in "$1" -out "$2" >/dev/null \
        || die "signing $1 failed"
}

build=$root/build/release
echo "release: building in $build"
release_configure "$root" "$build"
if [ -n "$cert" ]; then
    release_build "$build" Renovo
    mkdir -p "$build/signed"
    rm -f "$build/signed/Renovo.exe"
    sign "$build/updater/Renovo.exe" "$build/signed/Renovo.exe" "Renovo"
    release_configure "$root" "$build" "$build/signed/Renovo.exe"
fi
release_build "$build" Lanzo ArconSim winprobe
if [ -n "$cert" ]; then
    sign "$build/launcher/Lanzo.exe" "$stage/Lanzo.exe" "Launcher"
else
    cp "$build/launcher/Lanzo.exe" "$stage/Lanzo.exe"
fi
cp "$build/symbols/Renovo.exe.debug" "$build/symbols/Lanzo.exe.debug" "$stage/symbols/"

bed_choose "$root"
if [ "$BED_X64" = no ]; then
    echo "release: one whole update through the finished Lanzo.exe, for the guide's screenshots"
    run_build=$build run_lanzo=$stage/Lanzo.exe
else
    run_build=$root/build/release64 run_lanzo=$root/build/release64/launcher/Lanzo.exe
    echo "release: one whole update through the 64-bit twin of Lanzo.exe (same checkout, same firmware images),"
    echo "release: for the guide's screenshots; $BED_WHY, so the delivered 32-bit file cannot run here"
    release_configure "$root" "$run_build" "" x86_64
    release_build "$run_build" Lanzo ArconSim winprobe
fi
/usr/bin/python3 "$root/scripts/demo.py" --build "$run_build" --lanzo "$run_lanzo" --out "$build/demo" \
    >"$build/demo.log" 2>&1 || { cat "$build/demo.log" >&2; die "the update run through Lanzo.exe failed"; }
/usr/bin/python3 "$root/scripts/guide.py" "$build/demo" "$stage/GUIDE.html"

(cd "$stage" && sha256sum Lanzo.exe GUIDE.html symbols/Lanzo.exe.debug symbols/Renovo.exe.debug >SHA256SUMS)

rm -rf "$out"
mv "$stage" "$out"
trap - EXIT

echo "release: wrote $out$([ -n "$cert" ] && echo ", signed with $(basename "$cert")")"
(cd "$out" && while read -r digest name; do
    printf '  %10d  %s  %s\n' "$(stat -c %s "$name")" "$digest" "$name"
done <SHA256SUMS && printf '  %10d  %64s  %s\n' "$(stat -c %s SHA256SUMS)" "" SHA256SUMS)
