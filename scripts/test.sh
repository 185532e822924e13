#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite:
#   1. release build: every unit test and the end-to-end tests under Xvfb;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build: the unit tests and a short
#      threaded render of the sample scene (both renderers, ambient occlusion on);
#   3. ThreadSanitizer build: the same unit tests and render;
#   4. each libFuzzer harness for a short time (VYX_FUZZ_SECONDS, default 30).
# VYX_TEST_QUICK=1 runs step 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh clang-14 libclang-rt-14-dev

step() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

step "release build and full test suite"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

if [ "${VYX_TEST_QUICK:-0}" = "1" ]; then
    exit 0
fi

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --preset asan -j "$jobs" -E '^e2e_'

step "ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --preset tsan -j "$jobs" -E '^e2e_'

step "fuzzing"
scripts/fuzz.sh "${VYX_FUZZ_SECONDS:-30}"
