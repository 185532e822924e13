#!/usr/bin/env bash
# Builds the release benchmark preset (installing Google Benchmark and Embree when
# missing) and runs, in order:
#   1. vyx-bench: every preset of the sample scene, camera 0, at 640 x 480 and 1280 x 720,
#      with a two-thread arithmetic probe (2.00 = the second core is free);
#   2. core scaling: presets 0 and 4 at 640 x 480 rendered by one and by two threads
#      (the same twenty blocks of work, so the same pictures);
#   3. a model from another tool: the scanned bunny of glmark2-data (69,666 triangles)
#      in the sample model's place, preset 0 at 640 x 480 (load time and frame time);
#   4. one huge triangle appended far below the sample model (half-sizes 0 to 1e6), preset
#      0 at 320 x 240: the frame time must not grow with it;
#   5. a 2,000,000-triangle sphere (generated once into build/bench/models): load time,
#      frame time and peak memory;
#   6. vyx-bench-embree: our structure against Embree on the same rays, one thread, the
#      two alternating over several rounds (median ratio and its range);
#   7. the Google benchmarks, briefly.
# Every run prints the processor (model name, family and model) and the two-thread probe
# beside its figures. JSON results land in build/bench/results/. VYX_BENCH_FRAMES sets
# the frames per configuration (default 10).
#
# scripts/bench.sh --baseline REV [--quick] compares this tree with the git revision REV
# (a hash, tag or branch) instead of running the steps above:
#   - REV is checked out into its own work tree, build/baseline-<hash>, built with its
#     `bench` preset there (vyx-bench and its assets only) and kept for the next
#     comparison with it; `git worktree remove build/baseline-<hash>` deletes it;
#   - this tree (with uncommitted changes) is built the same way;
#   - both vyx-bench binaries, each with its own assets, render the same configurations
#     alternately, baseline then current, configuration by configuration, for several
#     rounds, so that load from other work falls on both alike; each run starts with
#     the two-thread probe;
#   - one line per configuration: the median over the rounds of each binary's median
#     frame time, the ratio baseline / current (above 1: the current tree is faster),
#     the lowest and highest ratio of a single round, and the lowest and highest probe
#     of the configuration's runs; a "*" marks a probe under 1.8 (the second core was
#     busy: distrust that line) and a "!" rays per frame that differ by over 1 % (the
#     two revisions do not trace the same work).
# Configurations: every preset at 640 x 480 and 1280 x 720, presets 0 and 4 at 640 x 480
# on one and two cores, the bunny (frame and load time); 10 frames, 3 rounds. --quick:
# presets 0 and 4 at 640 x 480, preset 0 at 1280 x 720 and on one core, the bunny; 5
# frames, 3 rounds (one to two minutes, builds aside).
# VYX_BENCH_FRAMES and VYX_BENCH_ROUNDS override the frames and rounds. JSON results and
# the tools' output land in build/bench/results/baseline-<hash>/.
#
# scripts/bench.sh --ranks compares one process on two cores with two MPI ranks of one
# core each (mpirun -n 2 on this machine), alternately, round by round (5 rounds):
# preset 0 at 640 x 480 and 1280 x 720 (20 frames each) and a still of 64 samples at
# 1280 x 720. One line per configuration: the median of each side, the ratio (above 1:
# the ranks are faster), its range over the rounds, the probe of the rounds, and for the
# ranks the share of tiles rank 1 rendered, the bytes sent per frame and rank 0's wait.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; }
baseline=""
quick=0
ranks=0
while [ $# -gt 0 ]; do
    case "$1" in
        --baseline) [ $# -ge 2 ] || { echo "bench.sh: --baseline needs a revision" >&2; exit 2; }
                    baseline=$2; shift ;;
        --baseline=*) baseline=${1#--baseline=} ;;
        --quick) quick=1 ;;
        --ranks) ranks=1 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "bench.sh: unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ "$quick" = 1 ] && [ -z "$baseline" ]; then
    echo "bench.sh: --quick goes with --baseline REV" >&2
    exit 2
fi

scripts/deps.sh libbenchmark-dev libembree-dev
frames=${VYX_BENCH_FRAMES:-10}
out=build/bench/results

step() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }

# The processor (model name, family and model of /proc/cpuinfo), the cores and the load:
# a figure means little without them.
cpuinfo() { grep -m1 "^$1[[:space:]]*:" /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'; }
machine() {
    echo "machine: $(nproc) cores, $(cpuinfo 'model name') (family $(cpuinfo 'cpu family'), model $(cpuinfo model)); load: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# The comparison with --baseline REV (see the header); the plain run's steps are skipped.
compare_with_baseline() {
    local rev hash short tree
    rev=$(git rev-parse --verify --quiet "$baseline^{commit}") || {
        echo "bench.sh: $baseline is not a revision of this repository" >&2
        return 2
    }
    hash=$rev
    short=$(git rev-parse --short "$hash")
    if ! git show "$hash:CMakePresets.json" 2>/dev/null | grep -q '"name": *"bench"'; then
        echo "bench.sh: $short has no bench preset in CMakePresets.json" >&2
        return 2
    fi
    tree=$PWD/build/baseline-$short
    local rounds=${VYX_BENCH_ROUNDS:-3}
    [ "$quick" = 1 ] && frames=${VYX_BENCH_FRAMES:-5}
    local dir=$PWD/$out/baseline-$short

    step "work tree of $short in build/baseline-$short"
    if [ -e "$tree" ]; then
        # Reused from an earlier comparison; the folder is named after the commit, so it
        # should still be on it, but it is a work tree anyone can check out elsewhere.
        if [ "$(git -C "$tree" rev-parse HEAD 2>/dev/null)" != "$hash" ]; then
            git -C "$tree" checkout --quiet --detach "$hash" || {
                echo "bench.sh: $tree exists but is not a work tree at $short; remove it" >&2
                return 1
            }
        fi
        echo "reusing it"
    else
        mkdir -p build
        # --force: the folder may still be registered after `rm -rf build`.
        git worktree add --quiet --force --detach "$tree" "$hash"
        echo "created it"
    fi

    local jobs
    jobs=$(nproc)
    step "build of this tree (bench preset, vyx-bench)"
    cmake --preset bench >/dev/null
    cmake --build --preset bench -j "$jobs" --target vyx-bench
    step "build of $short (bench preset, vyx-bench)"
    (cd "$tree" && cmake --preset bench >/dev/null && cmake --build --preset bench -j "$jobs" --target vyx-bench)

    # Each binary with its own assets: the scene files are generated by the build of
    # its revision and may differ between revisions.
    local bin_base=$tree/build/bench/tools/vyx-bench bin_cur=$PWD/build/bench/tools/vyx-bench
    local assets_base=$tree/build/bench/assets assets_cur=$PWD/build/bench/assets

    # Older binaries may lack options: use --assets, --probe, --cores and --model only
    # where both binaries list them.
    local help_base help_cur
    help_base=$("$bin_base" --help 2>&1 || true)
    help_cur=$("$bin_cur" --help 2>&1 || true)
    both() { [[ $help_base == *"$1"* && $help_cur == *"$1"* ]]; }
    local common=()
    both --probe && common+=(--probe)
    local -a args_base=("${common[@]}") args_cur=("${common[@]}")
    if both --assets; then
        args_base+=(--assets "$assets_base")
        args_cur+=(--assets "$assets_cur")
    fi

    # id|label|vyx-bench options; ids name the result files.
    local bunny=/usr/share/glmark2/models/bunny.obj
    local configs=()
    local size preset threads
    if [ "$quick" = 1 ]; then
        configs+=("p0-640x480|preset 0, 640x480|--preset 0 --size 640x480"
                  "p4-640x480|preset 4, 640x480|--preset 4 --size 640x480"
                  "p0-1280x720|preset 0, 1280x720|--preset 0 --size 1280x720")
        both --cores && configs+=("p0-640x480-c1|preset 0, 640x480, 1 core|--preset 0 --size 640x480 --cores 1")
    else
        for size in 640x480 1280x720; do
            for preset in 0 1 2 3 4 5; do
                configs+=("p$preset-$size|preset $preset, $size|--preset $preset --size $size")
            done
        done
        if both --cores; then
            for preset in 0 4; do
                for threads in 1 2; do
                    configs+=("p$preset-640x480-c$threads|preset $preset, 640x480, $threads core$([ "$threads" = 1 ] || echo s)|--preset $preset --size 640x480 --cores $threads")
                done
            done
        fi
    fi
    both --cores || echo "no --cores in both binaries: no one- and two-core runs"
    if [ ! -f "$bunny" ]; then
        echo "$bunny is missing (package glmark2-data): no bunny run"
    elif ! both --model; then
        echo "no --model in both binaries: no bunny run"
    else
        configs+=("bunny|bunny, preset 0, 640x480|--preset 0 --size 640x480 --model $bunny")
    fi

    mkdir -p "$dir"
    rm -f "$dir"/*.json "$dir"/*.log
    step "baseline $short against this tree: ${#configs[@]} configurations, $rounds round(s) of $frames frame(s)"
    machine
    local round config id opts
    for ((round = 1; round <= rounds; ++round)); do
        printf 'round %d of %d (%s) ' "$round" "$rounds" "$(date +%T)"
        for config in "${configs[@]}"; do
            id=${config%%|*}
            opts=${config##*|}
            # shellcheck disable=SC2086  # opts holds several options, none with spaces
            "$bin_base" $opts --camera 0 --frames "$frames" "${args_base[@]}" \
                --json "$dir/base-$id-r$round.json" >"$dir/base-$id-r$round.log"
            # shellcheck disable=SC2086
            "$bin_cur" $opts --camera 0 --frames "$frames" "${args_cur[@]}" \
                --json "$dir/cur-$id-r$round.json" >"$dir/cur-$id-r$round.log"
            printf '.'
        done
        printf ' load %s\n' "$(cut -d' ' -f1 /proc/loadavg)"
    done

    step "baseline $short against this tree ($(git rev-parse --short HEAD)$(git diff --quiet HEAD || echo ', with changes'))"
    python3 - "$dir" "$rounds" "$frames" "${configs[@]}" <<'EOF'
import json, re, statistics, sys

folder, rounds, frames = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rows = []
for config in sys.argv[4:]:
    cid, label, opts = config.split("|")
    rows.append((cid, label, "ms_median"))
    if cid == "bunny":
        rows.append((cid, "bunny, load", "load_ms"))

def result(side, cid, r):
    with open(f"{folder}/{side}-{cid}-r{r}.json") as f:
        return json.load(f)[0]

def probes(side, cid, r):
    with open(f"{folder}/{side}-{cid}-r{r}.log") as f:
        return [float(x) for x in re.findall(r"two-thread arithmetic probe: ([0-9.]+)x", f.read())]

print(f"{'configuration':<32} {'baseline':>10} {'current':>10} {'ratio':>6} {'rounds':>11} {'probe':>11}")
ratios, busy, differ = [], False, False
for cid, label, field in rows:
    base = [result("base", cid, r) for r in range(1, rounds + 1)]
    cur = [result("cur", cid, r) for r in range(1, rounds + 1)]
    b = statistics.median(x[field] for x in base)
    c = statistics.median(x[field] for x in cur)
    ratio = b / c
    ratios.append(ratio)
    per_round = [x[field] / y[field] for x, y in zip(base, cur)]
    p = [v for r in range(1, rounds + 1) for side in ("base", "cur") for v in probes(side, cid, r)]
    probe = f"{min(p):.2f}-{max(p):.2f}" if p else "-"
    marks = ""
    if p and min(p) < 1.8:
        marks += "*"
        busy = True
    rb = statistics.median(x["rays_per_frame"] for x in base)
    rc = statistics.median(x["rays_per_frame"] for x in cur)
    if field == "ms_median" and abs(rb - rc) > 0.01 * max(rb, rc, 1):
        marks += "!"
        differ = True
    spread = f"{min(per_round):.2f}-{max(per_round):.2f}"
    print(f"{label:<32} {b:>7.1f} ms {c:>7.1f} ms {ratio:>6.2f} {spread:>11} {probe:>11} {marks}")
print(f"geometric mean of the ratios: {statistics.geometric_mean(ratios):.2f}")
print(f"baseline / current: medians over {rounds} round(s) of {frames} frame(s) each (ratio > 1: the current "
      "tree is faster); rounds: lowest and highest ratio of one round; probe: the two-thread probe "
      "of every run (2.00 = second core free)")
if busy:
    print("*: a probe under 1.8, the second core was busy during these runs: distrust that ratio")
if differ:
    print("!: rays per frame differ by over 1 %: the two revisions do not trace the same work")
EOF
    echo "results: $dir"
}

# The comparison of --ranks (see the header).
compare_ranks() {
    step "release build with benchmarks"
    cmake --preset bench >/dev/null
    cmake --build --preset bench -j "$(nproc)" --target vyx-bench
    command -v mpirun >/dev/null || { echo "bench.sh: mpirun is missing (scripts/deps.sh installs Open MPI)" >&2; return 1; }
    step "one process on two cores against two ranks of one core"
    machine
    OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 python3 - build/bench/tools/vyx-bench \
        "${VYX_BENCH_ROUNDS:-5}" "${VYX_BENCH_FRAMES:-20}" <<'EOF'
import re, statistics, subprocess, sys

bench, rounds, frames = sys.argv[1], int(sys.argv[2]), sys.argv[3]
configs = [("preset 0, 640x480", ["--preset", "0", "--size", "640x480", "--frames", frames], "frame"),
           ("preset 0, 1280x720", ["--preset", "0", "--size", "1280x720", "--frames", frames], "frame"),
           ("still, 64 samples, 1280x720", ["--preset", "0", "--size", "1280x720", "--samples", "64", "--seed", "1"],
            "still")]
mpirun = ["mpirun", "--oversubscribe", "--bind-to", "none", "-n", "2"]

def run(command, kind):
    text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    if kind == "frame":
        value = float(re.search(r"median ([0-9.]+) ms", text).group(1))
    else:
        value = 1000 * float(re.search(r"samples a pixel in ([0-9.]+) s", text).group(1))
    probe = [float(p) for p in re.findall(r"two-thread arithmetic probe: ([0-9.]+)x", text)]
    share = re.search(r"tiles by rank: 0: [0-9.]+% 1: ([0-9.]+)%", text)
    sent = re.search(r"([0-9.]+) MB sent per frame", text)
    wait = re.search(r"waited ([0-9.]+) ms", text)
    return value, probe, share and float(share.group(1)), sent and float(sent.group(1)), wait and float(wait.group(1))

results = {label: {"one": [], "ranks": [], "probe": [], "share": [], "sent": [], "wait": []} for label, _, _ in configs}
for r in range(rounds):
    print(f"round {r + 1} of {rounds}", flush=True)
    for label, options, kind in configs:
        got = results[label]
        one = run([bench, "--probe", "--cores", "2"] + options, kind)
        many = run(mpirun + [bench, "--probe", "--cores", "1"] + options, kind)
        got["one"].append(one[0])
        got["ranks"].append(many[0])
        got["probe"] += one[1] + many[1]
        for key, value in zip(("share", "sent", "wait"), many[2:]):
            if value is not None:
                got[key].append(value)

print(f"{'configuration':<30} {'1 x 2 cores':>12} {'2 x 1 core':>12} {'ratio':>6} {'rounds':>10} {'probe':>10}  ranks")
for label, _, kind in configs:
    got = results[label]
    one, many = statistics.median(got["one"]), statistics.median(got["ranks"])
    per_round = [a / b for a, b in zip(got["one"], got["ranks"])]
    probe = f"{min(got['probe']):.2f}-{max(got['probe']):.2f}" if got["probe"] else "-"
    extra = ""
    if got["share"]:
        extra = (f"rank 1 {statistics.median(got['share']):.0f}% of tiles, "
                 f"{statistics.median(got['sent']):.2f} MB/frame, wait {statistics.median(got['wait']):.2f} ms")
    print(f"{label:<30} {one:>9.1f} ms {many:>9.1f} ms {one / many:>6.2f} "
          f"{min(per_round):.2f}-{max(per_round):.2f} {probe:>10}  {extra}")
print("medians over the rounds; ratio: one process / two ranks (above 1: the ranks are faster); "
      "probe: the two-thread probe of every run (2.00 = second core free)")
EOF
}

if [ -n "$baseline" ]; then
    compare_with_baseline
    exit
fi
if [ "$ranks" = 1 ]; then
    compare_ranks
    exit
fi

step "release build with benchmarks"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
mkdir -p "$out"
machine

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

step "one huge triangle far below the sample model (320 x 240, preset 0)"
# A site plane under a building: the sample model's file with one triangle of half-size S
# appended 1010 units below the ground, in a copy of the assets folder (the sample model
# is shown as it is, not fitted). Rays that never come near it must not slow down.
for size in 0 100 10000 1000000; do
    assets=$PWD/build/bench/models/huge-triangle-$size
    rm -rf "$assets"
    mkdir -p "$assets"
    for f in "$PWD"/build/bench/assets/*; do ln -s "$f" "$assets/"; done
    if [ "$size" != 0 ]; then
        rm "$assets/venus.obj"
        { cat build/bench/assets/venus.obj
          printf 'v -%s -1010 1000\nv %s -1010 1000\nv 0 -1010 %s\nf -3 -2 -1\n' "$size" "$size" "$size"; } \
            > "$assets/venus.obj"
    fi
    printf 'triangle of half-size %-8s ' "$size"
    build/bench/tools/vyx-bench --assets "$assets" --size 320x240 --preset 0 --camera 0 --frames "$frames" |
        grep -E '^preset 0' | sed 's/^preset 0 (subdiv), camera 0: //'
done

step "a 2,000,000-triangle model (a 1000 x 1000 sphere grid, 76 MB of OBJ): load, frame, peak memory"
sphere=build/bench/models/sphere-2m.obj
if [ ! -f "$sphere" ]; then
    python3 - "$sphere" <<'PY'
import math, sys
n = 1000
with open(sys.argv[1], "w") as f:
    for i in range(n + 1):
        th = math.pi * i / n
        for j in range(n):
            ph = 2 * math.pi * j / n
            f.write("v %.6f %.6f %.6f\n" % (math.sin(th) * math.cos(ph), math.cos(th), math.sin(th) * math.sin(ph)))
    for i in range(n):
        for j in range(n):
            a, b = i * n + j + 1, i * n + (j + 1) % n + 1
            c, d = a + n, b + n
            f.write("f %d %d %d\nf %d %d %d\n" % (a, c, b, b, c, d))
PY
fi
/usr/bin/time -f "peak memory %M KB, %e s in all" build/bench/tools/vyx-bench --model "$sphere" --preset 0 --camera 0 \
    --frames "$frames" 2>&1 | grep -E '^(scene loaded|start-up|preset 0|peak)'

step "Embree comparison (single-threaded)"
if [ -x build/bench/bench/vyx-bench-embree ]; then
    build/bench/bench/vyx-bench-embree
else
    echo "vyx-bench-embree was not built (libembree-dev missing?)"
fi

step "Google benchmarks"
build/bench/bench/vyx-bench-geometry --benchmark_min_time=0.2
build/bench/bench/vyx-bench-render --benchmark_min_time=0.2
