#!/usr/bin/env bash
# Every test: set-up, build, native unit tests, then the end-to-end tests of
# the real programs under Wine + Xvfb against the simulator. Says which build
# the end-to-end tests ran on and why, then ends with one line
# "total: N passed, M failed, K skipped".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" || { echo "total: 0 passed, 1 failed"; exit 1; }
# Which build the end-to-end tests run: the shipped 32-bit one, or its 64-bit
# twin on a host that runs no 32-bit code (scripts/bed.sh). The file checks
# (tests/e2e/test_imports.py, the release checks) always read the 32-bit one.
. "$root/scripts/bed.sh"
bed_choose "$root"
export E2E_SHIPPED_BUILD=$root/build/win32

mkdir -p build/reports
ctest --test-dir build/native --output-on-failure --output-junit "$root/build/reports/unit.xml" -j 2
# --- release checks: begin
# The reproducibility check, and a release signed with a throwaway
# certificate; its release.sh run takes the signed Lanzo.exe through one whole
# update under Wine, and tests/e2e/test_imports.py then checks its signatures
# (the embedded updater's too), digests, symbols and guide. Then a release of
# test images of other sizes and contents, one of which the simulator cannot
# read, and every refusal of a bad image. Each check is one case of the total
# (build/reports/release.xml).
release_check=$root/build/release-check
release_cases=()
release_case() {  # release_case NAME COMMAND...
    local name=$1 t0=$SECONDS outcome=""
    shift
    echo "== $name"
    "$@" || outcome='<failure message="failed; see the output above"/>'
    release_cases+=("<testcase classname=\"release\" name=\"$name\" time=\"$((SECONDS - t0))\">$outcome</testcase>")
}
refused() {  # refused EXPECTED_MESSAGE RELEASE_ARGUMENTS...: no release, a clear message
    local expected=$1 msg
    shift
    if msg=$("${as_user[@]}" scripts/release.sh "$@" --out "$release_check/refused" 2>&1); then
        echo "release.sh made a release with $*"; return 1
    fi
    echo "$msg"
    [ ! -e "$release_check/refused" ] || { echo "release.sh left $release_check/refused behind"; return 1; }
    [[ $msg == *"$expected"* ]] || { echo "expected: $expected"; return 1; }
}
refuses_bad_certificates() {
    local as_user=()
    refused "wrong password" --sample-images --sign "$release_check/cert.pfx" --pass-file "$release_check/wrong-pass.txt" &&
    refused "no certificate file" --sample-images --sign "$release_check/missing.pfx" --pass-file "$release_check/pass.txt"
}
keeps_a_folder_that_is_not_a_release() {  # release.sh replaces its output folder as a whole
    local folder msg
    for folder in "$release_check/not-a-release" "$release_check/sums-among-others"; do
        mkdir -p "$folder" && printf 'keep\n' >"$folder/notes.txt" || return 1
    done
    # Holding a SHA256SUMS does not make a folder a release.
    printf '%s  notes.txt\n' "$(sha256sum <"$folder/notes.txt" | cut -d' ' -f1)" >"$folder/SHA256SUMS"
    for folder in "$release_check/not-a-release" "$release_check/sums-among-others"; do
        if msg=$(scripts/release.sh --sample-images --out "$folder" 2>&1); then
            echo "release.sh replaced $folder"; return 1
        fi
        echo "$msg"
        [ "$(cat "$folder/notes.txt" 2>/dev/null)" = keep ] && [[ $msg == *"not a release folder"* ]] || return 1
    done
}
test_images() {  # test_images DIR: two good images of other sizes and contents than the samples
    mkdir -p "$1" &&
    /usr/bin/python3 firmware/make_images.py --one "$1/SMARTHOPPER" --device 0 --fw SH0301.07 --ds SHDS0102 --size 300001 &&
    # Begins like a maker's image, but the simulator cannot read the rest.
    /usr/bin/python3 firmware/make_images.py --one "$1/SMARTPAYOUT" --device 1 --fw NV0301.02 --ds NVDS0202 --size 123457 --format 7
}
refuses_bad_images() {  # each fault of an image, caught before anything is built
    local dir=$release_check/bad-images as_user=()
    refused "which firmware images?" || return 1
    rm -rf "$dir" && test_images "$dir/good" || return 1
    refused "exclude each other" --images "$dir/good" --sample-images || return 1
    spoilt() {  # spoilt NAME: a copy of the good images, one of them to spoil
        rm -rf "${dir:?}/$1" && cp -r "$dir/good" "$dir/$1" && echo "$dir/$1"
    }
    rm "$(spoilt missing)/SMARTPAYOUT" && refused "SMARTPAYOUT' is missing" --images "$dir/missing" &&
    rm "$(spoilt folder)/SMARTHOPPER" && mkdir "$dir/folder/SMARTHOPPER" &&
        refused "SMARTHOPPER' is not a regular file" --images "$dir/folder" &&
    : >"$(spoilt empty)/SMARTHOPPER" && refused "SMARTHOPPER' is empty" --images "$dir/empty" &&
    printf 'MZ not an image' >"$(spoilt foreign)/SMARTPAYOUT" &&
        refused 'SMARTPAYOUT'"'"' does not begin with "ITL"' --images "$dir/foreign" &&
    printf 'ITL' >"$(spoilt large)/SMARTHOPPER" && truncate -s $((64 * 1024 * 1024 + 1)) "$dir/large/SMARTHOPPER" &&
        refused "more than the 64 MiB" --images "$dir/large" &&
    cp "$(spoilt same)/SMARTHOPPER" "$dir/same/SMARTPAYOUT" && refused "are identical" --images "$dir/same" || return 1
    # Root reads any file whatever its mode, so the unreadable one is tried as nobody.
    chmod 000 "$(spoilt unreadable)/SMARTHOPPER" || return 1
    [ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    refused "SMARTHOPPER' cannot be read" --images "$dir/unreadable"
}
release_with_test_images() {  # the bytes given are the bytes staged, named and verified
    local images=$release_check/test-images dist=$release_check/dist-images name size digest
    rm -rf "$images" && test_images "$images" &&
    scripts/release.sh --images "$images" --out "$dist" || return 1
    (cd "$dist" && sha256sum --check --strict SHA256SUMS) || return 1
    grep -qx "firmware: given images" "$dist/MANIFEST.txt" || { echo "MANIFEST.txt not marked as given images"; return 1; }
    for name in SMARTHOPPER SMARTPAYOUT; do
        size=$(stat -c %s "$images/$name") digest=$(sha256sum <"$images/$name" | cut -d' ' -f1)
        grep -qx "image $name size: $size" "$dist/MANIFEST.txt" && grep -qx "image $name sha256: $digest" "$dist/MANIFEST.txt" &&
            grep -q "$name, $size bytes, SHA-256 $digest" "$dist/GUIDE.html" || { echo "$name not named in the manifest and guide"; return 1; }
    done
    # The screenshots show the readable image's own versions, the other under the simulator's stand-in ones.
    grep -q "cannot read SMARTPAYOUT" "$dist/GUIDE.html" && ! grep -q "SAMPLE" "$dist/GUIDE.html" ||
        { echo "the guide does not say whose versions it shows"; return 1; }
}
throwaway_certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway test signer" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$release_check/key.pem" -out "$release_check/cert.pem" 2>/dev/null &&
    printf 'throwaway\n' >"$release_check/pass.txt" && printf 'wrong\n' >"$release_check/wrong-pass.txt" &&
    openssl pkcs12 -export -inkey "$release_check/key.pem" -in "$release_check/cert.pem" \
        -passout "file:$release_check/pass.txt" -out "$release_check/cert.pfx"
}
rm -rf "$release_check" && mkdir -p "$release_check"
release_t0=$SECONDS
throwaway_certificate || echo "could not make a throwaway certificate"
release_case "two builds in two folders give the same bytes" scripts/check-reproducible.sh
test_images "$release_check/reproducible-images" || echo "could not make test images"
release_case "two builds with the same given images give the same bytes" \
    scripts/check-reproducible.sh --images "$release_check/reproducible-images"
release_case "a wrong password or a missing certificate writes no release" refuses_bad_certificates
release_case "a folder of other files is never taken for the release" keeps_a_folder_that_is_not_a_release
release_case "a missing, unreadable, empty, foreign, oversized or duplicate image writes no release" refuses_bad_images
release_case "signed release of the sample images, one whole update through the signed Lanzo.exe" \
    scripts/release.sh --sample-images --sign "$release_check/cert.pfx" --pass-file "$release_check/pass.txt" --out "$release_check/dist"
release_case "a release of given images stages, names and verifies exactly those bytes" release_with_test_images
echo "release checks took $((SECONDS - release_t0)) s"
printf '<testsuite name="release">%s</testsuite>\n' "${release_cases[*]}" >"$root/build/reports/release.xml"
export E2E_RELEASE_DIST=$release_check/dist E2E_RELEASE_CA=$release_check/cert.pem
# --- release checks: end

E2E_BUILD=$BED_BUILD /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider \
    --junitxml="$root/build/reports/e2e.xml" "$@"

# --- 64-bit Windows bed: begin
# Field machines run 64-bit Windows, where both programs and the maker's
# component run under WoW64: a short subset once more in a 64-bit prefix.
# Where the whole suite ran on the 32-bit build, the same subset also runs on
# the 64-bit twin, so that the other kind of host's path cannot rot unseen.
rm -f "$root/build/reports/e2e-win64.xml" "$root/build/reports/e2e-x64.xml"
reports=("$root/build/reports/e2e-win64.xml")
if [ "$BED_X64" = no ]; then
    E2E_WINEARCH=win64 E2E_TAG=e2e64 E2E_BUILD="$root/build/win32" /usr/bin/python3 -m pytest tests/e2e -q \
        -p no:cacheprovider -o junit_suite_name=e2e-win64 --junitxml="$root/build/reports/e2e-win64.xml" "$@" -m win64
    reports+=("$root/build/reports/e2e-x64.xml")
    E2E_TAG=e2ex64 E2E_BUILD="$root/build/win64" /usr/bin/python3 -m pytest tests/e2e -q \
        -p no:cacheprovider -o junit_suite_name=e2e-x64 --junitxml="$root/build/reports/e2e-x64.xml" "$@" -m win64
else
    # Not a pass: the 32-bit programs could not be run here at all.
    echo "skipped: the 32-bit programs under WoW64 in a 64-bit prefix; $BED_WHY"
    printf '<testsuite name="e2e-win64"><testcase classname="e2e-win64" name="%s"><skipped message="%s"/></testcase></testsuite>\n' \
        "the 32-bit programs under WoW64 in a 64-bit prefix" "$BED_WHY" >"$root/build/reports/e2e-win64.xml"
fi
# --- 64-bit Windows bed: end

echo "$BED_LINE"
/usr/bin/python3 - "$root/build/reports/unit.xml" "$root/build/reports/e2e.xml" \
    "${reports[@]}" "$root/build/reports/release.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
passed = failed = skipped = 0
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        failed += 1  # a runner that wrote no report failed as a whole
        continue
    for case in root.iter("testcase"):
        outcome = {child.tag for child in case}
        if outcome & {"failure", "error"}:
            failed += 1
        elif "skipped" in outcome:
            skipped += 1
        else:
            passed += 1
print(f"total: {passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed else 0)
PY
