#!/usr/bin/env bash
# Installs what is missing, checks the layout of the code against .clang-format, then
# builds (warnings are errors) and runs the whole test suite:
#   1. release build: every unit test, the frame checksums (also with the 4-wide walk
#      forced), the check that no AVX instruction lies outside the AVX2 walk's file, the
#      end-to-end tests under Xvfb and the runs of several local MPI ranks;
#   2. the Debian package of that build (scripts/package.sh): its contents, manual pages
#      and menu entry, lintian; as root also installed with apt-get, run and removed
#      (skipped with a message otherwise);
#   3. AddressSanitizer + UndefinedBehaviorSanitizer build: the unit tests and a short
#      threaded render of the sample scene (both renderers, ambient occlusion on);
#   4. ThreadSanitizer build: the same unit tests and render;
#   5. each libFuzzer harness for a short time (VYX_FUZZ_SECONDS, default 30).
# Each step runs its tests with TMPDIR set to a fresh folder and fails when they leave
# anything in it.
# VYX_TEST_QUICK=1 runs step 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh clang-14 libclang-rt-14-dev lintian desktop-file-utils

step() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

temporary=$(mktemp -d)
trap 'rm -rf "$temporary"' EXIT
# in_clean_tmp NAME COMMAND...: runs COMMAND with TMPDIR (and the tests' temporary
# directory) set to an empty folder of its own, and fails when anything is left in it.
in_clean_tmp() {
    local name=$1 left
    shift
    mkdir "$temporary/$name"
    env -u TEST_TMPDIR TMPDIR="$temporary/$name" "$@"
    left=$(find "$temporary/$name" -mindepth 1 -maxdepth 1 | head -20)
    if [ -n "$left" ]; then
        printf 'FAILED: the %s tests left this in their temporary directory:\n%s\n' "$name" "$left"
        exit 1
    fi
}

step "code layout"
scripts/format.sh --check

step "release build and full test suite"
cmake --preset release -DVYX_WERROR=ON >/dev/null
cmake --build --preset release -j "$jobs"
in_clean_tmp release ctest --preset release -j "$jobs"

if [ "${VYX_TEST_QUICK:-0}" = "1" ]; then
    exit 0
fi

step "Debian package"
scripts/package.sh
deb=$(echo build/release/vyx_*_amd64.deb)
in_clean_tmp package tests/package/check_package.sh "$deb" build/release/assets
in_clean_tmp install tests/package/install_package.sh "$deb"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan -DVYX_WERROR=ON >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    in_clean_tmp asan ctest --preset asan -j "$jobs" -E '^(e2e|mpi)_'

step "ThreadSanitizer"
cmake --preset tsan -DVYX_WERROR=ON >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    in_clean_tmp tsan ctest --preset tsan -j "$jobs" -E '^(e2e|mpi)_'

step "fuzzing"
export VYX_WERROR=ON
in_clean_tmp fuzz scripts/fuzz.sh "${VYX_FUZZ_SECONDS:-30}"
