#!/usr/bin/env bash
# Builds the release benchmark preset (installing Google Benchmark and Embree when
# missing) and runs, in order:
#   1. vyx-bench: every preset of the sample scene, camera 0, at 640 x 480 and 1280 x 720,
#      with a two-thread arithmetic probe (2.00 = the second core is free);
#   2. core scaling: presets 0 and 4 at 640 x 480 rendered by one and by two threads
#      (the same twenty blocks of work, so the same pictures);
#   3. a model from another tool: the scanned bunny of glmark2-data (69,666 triangles)
#      in the sample model's place, preset 0 at 640 x 480 (load time and frame time);
#   4. vyx-bench-embree: our hierarchy against Embree on the same rays, one thread;
#   5. the Google benchmarks, briefly.
# JSON results land in build/bench/results/. VYX_BENCH_FRAMES sets the frames per
# configuration (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh libbenchmark-dev libembree-dev
frames=${VYX_BENCH_FRAMES:-10}
out=build/bench/results

step() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

step "release build with benchmarks"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
mkdir -p "$out"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); load: $(cut -d' ' -f1-3 /proc/loadavg)"

step "sample scene, camera 0"
for size in 640x480 1280x720; do
    build/bench/tools/vyx-bench --preset all --camera 0 --size "$size" --frames "$frames" --probe \
        --json "$out/scene-$size.json" | grep -v '^Opened'
done

step "core scaling (presets 0 and 4, 640 x 480)"
for preset in 0 4; do
    for threads in 1 2; do
        build/bench/tools/vyx-bench --preset "$preset" --camera 0 --cores "$threads" --frames "$frames" \
            --json "$out/threads-p$preset-t$threads.json" >/dev/null
    done
    python3 - "$out/threads-p$preset-t1.json" "$out/threads-p$preset-t2.json" "$preset" <<'EOF'
import json, sys
one = json.load(open(sys.argv[1]))[0]["ms_median"]
two = json.load(open(sys.argv[2]))[0]["ms_median"]
print(f"preset {sys.argv[3]}: 1 core {one:.1f} ms, 2 cores {two:.1f} ms, speed-up {one / two:.2f}x")
EOF
done
build/bench/tools/vyx-bench --preset 0 --frames 1 --probe | grep probe

step "a model from another tool: the scanned bunny, preset 0, 640 x 480"
bunny=/usr/share/glmark2/models/bunny.obj
if [ -f "$bunny" ]; then
    build/bench/tools/vyx-bench --model "$bunny" --preset 0 --camera 0 --frames "$frames" \
        --json "$out/bunny-640x480.json" | grep -E '^(scene loaded|start-up|preset 0)'
else
    echo "$bunny is missing (package glmark2-data)"
fi

step "Embree comparison (single-threaded)"
if [ -x build/bench/bench/vyx-bench-embree ]; then
    build/bench/bench/vyx-bench-embree
else
    echo "vyx-bench-embree was not built (libembree-dev missing?)"
fi

step "Google benchmarks"
build/bench/bench/vyx-bench-geometry --benchmark_min_time=0.2
build/bench/bench/vyx-bench-render --benchmark_min_time=0.2
