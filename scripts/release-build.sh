# Sourced by release.sh and check-reproducible.sh: the one way a release is
# built. The settings are those of scripts/build.sh's cross build, so the
# programs the tests run are byte for byte the delivered ones.

# release_configure SOURCE BUILD [UPDATER [PROCESSOR [IMAGES]]]: UPDATER
# names an updater to carry instead of the one the build makes (a signed copy
# of it); PROCESSOR x86_64 makes the test-only 64-bit twin instead of the
# shipped i686 programs; IMAGES is the folder of the SMARTHOPPER and
# SMARTPAYOUT to carry, empty for the samples. Each is always passed, so that
# a build folder never keeps a choice from an earlier run.
release_configure() {
    mkdir -p "$2"
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-${4:-i686}.cmake" -DFIRMWARE_DIR="${5:-}" \
          -DLANZO_TEST_BUILDS=OFF -DLANZO_UPDATER_EXE="${3:-}" >"$2/configure.log" 2>&1 \
        || { cat "$2/configure.log" >&2; return 1; }
}

# release_build BUILD TARGET...: quiet unless it fails.
release_build() {
    local build=$1
    shift
    cmake --build "$build" -j "${JOBS:-2}" --target "$@" >"$build/build.log" 2>&1 \
        || { tail -n 40 "$build/build.log" >&2; return 1; }
}
