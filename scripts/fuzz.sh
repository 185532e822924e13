#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per harness, default 30]
# New inputs go to build/fuzz/corpus-<harness> (the seeds in tests/fuzz/corpus stay as
# they are); a crash leaves its input in build/fuzz/artifacts. The readers' own warnings
# are discarded (-close_fd_mask=3): they would flood the log and slow the run tenfold;
# the fuzzer's and the sanitizers' reports still reach build/fuzz/<harness>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh clang-14 libclang-rt-14-dev
CXX=clang++-14 cmake -S . -B build/fuzz -DVYX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYX_RAY_STATS=OFF \
    -DVYX_WERROR="${VYX_WERROR:-OFF}" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target vyx_obj_fuzz vyx_face_fuzz vyx_mesh_fuzz vyx_import_fuzz vyx_message_fuzz
mkdir -p build/fuzz/artifacts
status=0
for harness in obj face mesh import message; do
    corpus=build/fuzz/corpus-$harness
    mkdir -p "$corpus"
    echo "== $harness: ${seconds}s"
    if ! build/fuzz/tests/fuzz/vyx_${harness}_fuzz "$corpus" tests/fuzz/corpus/$harness \
            -max_total_time="$seconds" -max_len=1048576 -timeout=20 -rss_limit_mb=2048 \
            -artifact_prefix=build/fuzz/artifacts/$harness- -print_final_stats=1 -close_fd_mask=3 \
            2> build/fuzz/$harness.log; then
        status=1
        tail -40 build/fuzz/$harness.log
    fi
    grep -E 'stat::number_of_executed_units|stat::new_units_added' build/fuzz/$harness.log || true
done
exit $status
