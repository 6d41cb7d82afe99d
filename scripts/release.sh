#!/usr/bin/env bash
# Builds the delivered programs from this checkout and writes the release:
#
#   dist/Lanzo.exe         what a technician receives; it carries Renovo.exe
#   dist/symbols/          the debug information split off both programs
#   dist/GUIDE.html        the technician's guide, with screenshots of this build
#   dist/MANIFEST.txt      what the release is: commit, images, digests, signer
#   dist/SHA256SUMS        sha256sum lines for the files above
#
#   scripts/release.sh (--images DIR | --sample-images) [--sign CERT.pfx --pass-file FILE] [--out DIR]
#
# --images DIR embeds DIR/SMARTHOPPER (coin recycler) and DIR/SMARTPAYOUT
# (banknote module), the device maker's files; each is checked before
# anything is built, and only its first three bytes are read for that.
# --sample-images embeds the project's sample images instead; everything
# such a release writes says that it is not for the field.
# --sign signs with Authenticode (osslsigncode, no time-stamp server): first
# Renovo.exe, before the launcher embeds it, so that the digest the launcher
# records and checks is the signed file's; then Lanzo.exe. FILE holds the
# certificate's password. The screenshots come from one whole update run
# through the finished Lanzo.exe under Wine (scripts/demo.py); on a host that
# runs no 32-bit code (scripts/bed.sh) through its 64-bit twin, built from
# this checkout with the same firmware images. That run fails unless the
# launcher staged exactly the embedded images and left nothing behind. The
# output folder (default dist/) is replaced only when everything succeeded.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/release-build.sh"
. "$root/scripts/bed.sh"

die() {
    echo "release: $*" >&2
    exit 1
}

usage="scripts/release.sh (--images DIR | --sample-images) [--sign CERT.pfx --pass-file FILE] [--out DIR]"
out=$root/dist
cert=""
pass_file=""
images=""
images_given=no
samples=no
while [ $# -gt 0 ]; do
    case $1 in
        --images) images=${2:-}; images_given=yes; shift 2 || die "--images needs a folder" ;;
        --sample-images) samples=yes; shift ;;
        --sign) cert=${2:-}; shift 2 || die "--sign needs a certificate file" ;;
        --pass-file) pass_file=${2:-}; shift 2 || die "--pass-file needs a file" ;;
        --out) out=${2:-}; shift 2 || die "--out needs a folder" ;;
        *) die "unknown argument '$1' (usage: $usage)" ;;
    esac
done

# A release exists to hand out the maker's firmware; one of the samples only
# on purpose.
[ "$images_given" = yes ] && [ "$samples" = yes ] && die "--images and --sample-images exclude each other"
[ "$images_given" = yes ] || [ "$samples" = yes ] \
    || die "which firmware images? --images DIR embeds DIR/SMARTHOPPER and DIR/SMARTPAYOUT; --sample-images makes a release of the project's sample images, marked as not for the field (usage: $usage)"
[ "$images_given" = no ] || [ -n "$images" ] || die "--images needs a folder"

# The output folder is replaced as a whole, so only an earlier release (or
# nothing) may stand there: a folder with anything a release does not write,
# or one that holds this checkout, would be deleted with it.
RELEASE_ENTRIES='f Lanzo.exe
f GUIDE.html
f MANIFEST.txt
f SHA256SUMS
d symbols
f symbols/Lanzo.exe.debug
f symbols/Renovo.exe.debug'
out=$(realpath -m "$out")
if [ "$out" = / ] || [[ $(realpath "$root")/ == "$out"/* ]]; then
    die "'$out' holds this checkout; name a folder of its own for the release"
fi
if [ -e "$out" ]; then
    [ -d "$out" ] || die "'$out' is not a release folder (not a folder); name another folder or remove it first"
    if [ -n "$(ls -A "$out")" ]; then
        [ -f "$out/SHA256SUMS" ] \
            || die "'$out' is not a release folder (no SHA256SUMS in it); name another folder or remove it first"
        foreign=$(find "$out" -mindepth 1 -printf '%y %P\n' | grep -vxF "$RELEASE_ENTRIES" | cut -c3- | head -n 5 | paste -sd, -) || true
        [ -z "$foreign" ] \
            || die "'$out' is not a release folder (it holds what no release writes: ${foreign//,/, }); name another folder or remove it first"
    fi
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

IMAGE_LIMIT=$((64 * 1024 * 1024))
check_image() {  # check_image FILE SHOWN_AS: one clear message per fault
    local f=$1 shown=$2 size magic
    [ -e "$f" ] || [ -L "$f" ] || die "firmware image '$shown' is missing (--images DIR must hold SMARTHOPPER for the coin recycler and SMARTPAYOUT for the banknote module)"
    [ -f "$f" ] || die "firmware image '$shown' is not a regular file"
    magic=$(head -c 3 -- "$f" 2>/dev/null | tr -d '\0') || die "firmware image '$shown' cannot be read"
    size=$(stat -L -c %s -- "$f")
    [ "$size" -gt 0 ] || die "firmware image '$shown' is empty"
    [ "$size" -le "$IMAGE_LIMIT" ] \
        || die "firmware image '$shown' has $size bytes, more than the 64 MiB ($IMAGE_LIMIT bytes) a release takes for one image"
    [ "$magic" = ITL ] || die "firmware image '$shown' does not begin with \"ITL\" as the maker's images do; is it the right file?"
}
check_images() {  # check_images DIR SHOWN_DIR
    check_image "$1/SMARTHOPPER" "$2/SMARTHOPPER"
    check_image "$1/SMARTPAYOUT" "$2/SMARTPAYOUT"
    ! cmp -s -- "$1/SMARTHOPPER" "$1/SMARTPAYOUT" \
        || die "the firmware images '$2/SMARTHOPPER' and '$2/SMARTPAYOUT' are identical; each device needs its own"
}

# The images are checked, then copied, and the copies checked again: the
# release embeds, lists and proves the very bytes that passed, even if the
# given files change meanwhile.
given=""
if [ "$samples" = no ]; then
    [ -d "$images" ] || die "no folder '$images' for --images"
    images=$(realpath "$images")
    check_images "$images" "$images"
    given=$root/build/release-images
    if [ "$images" != "$given" ]; then  # else the copy of an earlier run was given
        rm -rf "$given" && mkdir -p "$given"
        for name in SMARTHOPPER SMARTPAYOUT; do
            cp -- "$images/$name" "$given/$name" || die "firmware image '$images/$name' cannot be read"
        done
    fi
    check_images "$given" "$images"
fi

# What the release was built from, before the build can change anything.
commit=$(git -C "$root" rev-parse HEAD 2>/dev/null) || commit="unknown (not a git checkout)"
dirty=$([ -n "$(git -C "$root" status --porcelain 2>/dev/null | head -n 1)" ] && echo yes || echo no)
signer=""
if [ -n "$cert" ]; then
    signer=$({ openssl pkcs12 -in "$cert" -passin "file:$pass_file" -nokeys -clcerts 2>/dev/null \
               || openssl pkcs12 -legacy -in "$cert" -passin "file:$pass_file" -nokeys -clcerts 2>/dev/null; } |
             openssl x509 -noout -subject -nameopt RFC2253 2>/dev/null | sed 's/^subject=//') || signer="unknown"
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
if [ "$samples" = yes ]; then
    echo "release: SAMPLE IMAGES: building with the project's sample firmware images, not for the field"
else
    echo "release: embedding the firmware images of $images"
fi
echo "release: building in $build"
release_configure "$root" "$build" "" i686 "$given"
if [ -n "$cert" ]; then
    release_build "$build" Renovo
    mkdir -p "$build/signed"
    rm -f "$build/signed/Renovo.exe"
    sign "$build/updater/Renovo.exe" "$build/signed/Renovo.exe" "Renovo"
    release_configure "$root" "$build" "$build/signed/Renovo.exe" i686 "$given"
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
    release_configure "$root" "$run_build" "" x86_64 "$given"
    release_build "$run_build" Lanzo ArconSim winprobe
fi
carried=${given:-$build/firmware}
/usr/bin/python3 "$root/scripts/demo.py" --build "$run_build" --lanzo "$run_lanzo" --images "$carried" --out "$build/demo" \
    >"$build/demo.log" 2>&1 || { cat "$build/demo.log" >&2; die "the update run through Lanzo.exe failed"; }
grep -E '^  (staged|launcher ended|the simulator)' "$build/demo.log" | sed 's/^  /release: /' || true

digest() { sha256sum <"$1" | cut -d' ' -f1; }
write_manifest() {  # what the release is, one "key: value" a line
    if [ "$samples" = yes ]; then
        echo "firmware: SAMPLE IMAGES made by firmware/make_images.py; NOT FOR THE FIELD"
    else
        echo "firmware: given images"
    fi
    echo "commit: $commit"
    echo "uncommitted changes: $dirty"
    for image in "SMARTHOPPER coin recycler" "SMARTPAYOUT banknote module"; do
        name=${image%% *}
        echo "image $name device: ${image#* }"
        echo "image $name size: $(stat -c %s "$carried/$name")"
        echo "image $name sha256: $(digest "$carried/$name")"
    done
    for file in Lanzo.exe symbols/Lanzo.exe.debug symbols/Renovo.exe.debug; do
        echo "file $file sha256: $(digest "$stage/$file")"
    done
    if [ -n "$cert" ]; then
        echo "signed: yes"
        echo "signer: $signer"
    else
        echo "signed: no"
    fi
}
write_manifest >"$stage/MANIFEST.txt"
/usr/bin/python3 "$root/scripts/guide.py" "$build/demo" "$stage/GUIDE.html" "$stage/MANIFEST.txt"
echo "file GUIDE.html sha256: $(digest "$stage/GUIDE.html")" >>"$stage/MANIFEST.txt"

(cd "$stage" && sha256sum Lanzo.exe GUIDE.html MANIFEST.txt symbols/Lanzo.exe.debug symbols/Renovo.exe.debug >SHA256SUMS)

rm -rf "$out"
mv "$stage" "$out"
trap - EXIT

echo "release: wrote $out$([ -n "$cert" ] && echo ", signed with $(basename "$cert")")"
(cd "$out" && while read -r digest name; do
    printf '  %10d  %s  %s\n' "$(stat -c %s "$name")" "$digest" "$name"
done <SHA256SUMS && printf '  %10d  %64s  %s\n' "$(stat -c %s SHA256SUMS)" "" SHA256SUMS)
if [ "$samples" = yes ]; then
    echo "release: SAMPLE IMAGES: this release carries the project's sample firmware images and is NOT FOR THE FIELD;"
    echo "release: its guide and MANIFEST.txt say so. Give --images DIR to embed the maker's images."
else
    for name in SMARTHOPPER SMARTPAYOUT; do
        echo "release: carries $images/$name ($(stat -c %s "$given/$name") bytes, SHA-256 $(digest "$given/$name"))"
    done
fi
