# Sourced by the test, demo, release and bench scripts: which Windows build
# the runs under Wine start on this machine.
#
# Where Wine can start a 32-bit Windows program, the shipped 32-bit build
# (build/win32) runs in a 32-bit prefix, as on the field machines. Some hosts
# run no 32-bit code at all (their kernel refuses it), so neither Wine's
# 32-bit loader nor any WoW64 Wine can start there; on those the programs'
# 64-bit twin (build/win64, cmake/mingw-x86_64.cmake, never delivered) runs
# in a 64-bit prefix through the 64-bit loader. FORCE_64BIT_BED=1 takes that
# path on any host, so that both can be kept green on one machine.
#
#   bed_choose ROOT    sets BED_X64 (yes or no), BED_BUILD (the build whose
#                      programs run), BED_WHY (one line) and BED_LINE (what
#                      the end-to-end tests run on, and why)

# A real start of a 32-bit Windows program in a fresh 32-bit prefix, not a
# guess from the kernel's name. The answer holds until the next boot (or a
# change of the installed Wine), so it is kept in build/ and asked only once.
bed_runs_32bit() {
    local root=$1 cache=$1/build/bed-runs-32bit key prefix answer=no
    key="$(cat /proc/sys/kernel/random/boot_id 2>/dev/null) $(ls -l /usr/lib/wine/wine 2>/dev/null)"
    if [ -f "$cache" ] && [ "$(head -n 1 "$cache")" = "$key" ]; then
        [ "$(sed -n 2p "$cache")" = yes ]
        return
    fi
    prefix=$(mktemp -d /tmp/bed-32bit-XXXXXX)
    # cmd.exe's exit code proves that the program ran, not only the loader.
    WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
        timeout 300 wine cmd.exe /c exit 3 >/dev/null 2>&1 </dev/null
    [ $? -eq 3 ] && answer=yes
    WINEPREFIX=$prefix timeout 60 wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
    mkdir -p "$root/build" && printf '%s\n%s\n' "$key" "$answer" >"$cache"
    [ "$answer" = yes ]
}

bed_choose() {
    local root=$1
    if [ "${FORCE_64BIT_BED:-}" = 1 ]; then
        BED_X64=yes
        BED_WHY="FORCE_64BIT_BED=1 asks for it"
    elif bed_runs_32bit "$root"; then
        BED_X64=no
        BED_WHY="this machine runs 32-bit Windows programs under Wine"
    else
        BED_X64=yes
        BED_WHY="this machine runs no 32-bit code"
    fi
    if [ "$BED_X64" = yes ]; then
        BED_BUILD=$root/build/win64
        BED_LINE="end to end: x86_64 build in a 64-bit prefix; $BED_WHY"
    else
        BED_BUILD=$root/build/win32
        BED_LINE="end to end: i686 build in a 32-bit prefix (and a subset under WoW64 and on the x86_64 build in 64-bit prefixes); $BED_WHY"
    fi
}
