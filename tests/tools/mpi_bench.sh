#!/bin/bash
# vyx-bench under mpirun on this machine, several local ranks:
#   pictures  - the traced frames (every preset and camera, seeded jitter too), a seeded
#               still and an imported model are the same as one process's, with rank 0
#               alone seeing the files (the other ranks start in an empty folder);
#   refuse    - ranks of another build, another program or other arguments are refused
#               before any frame, with a message;
#   stopped   - a rank stopped with SIGSTOP is noticed and left out, the work finishes,
#               and the job then ends with a non-zero status and no process left;
#   killed    - a rank killed with SIGKILL ends the job, naming the rank, with no process
#               left, and every flight frame written before is a whole PNG;
#   flight    - a flight's frames from three ranks are byte for byte one process's, and
#               --movie without ffmpeg says how to make the movie.
# Usage: mpi_bench.sh MODE VYX_BENCH ASSETS_DIR [OTHER PROGRAMS...]
set -euo pipefail
mode=$1
bench=$2
assets=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
work=$(mktemp -d)
# Open MPI's session files go into the scratch folder too.
export OMPI_MCA_orte_tmpdir_base=$work
job=""
cleanup() {
    [ -n "$job" ] && kill -9 "$job" 2>/dev/null
    # mpirun itself, then whatever rank it left.
    pkill -9 -f "^mpirun.*vyx-bench.*--time 1.25" 2>/dev/null || true
    for pid in $(ranks); do kill -CONT "$pid" 2>/dev/null; kill -9 "$pid" 2>/dev/null; done
    cd /
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir first others
cp -r "$assets" first/assets

mpi() { mpirun --oversubscribe --mca btl self,vader "$@"; }
fail() { echo "FAILED: $*"; [ -f log ] && tail -n 40 log; exit 1; }

# The ranks of this test's jobs that are still alive (not zombies).
ranks() {
    for pid in $(pgrep -f "vyx-bench.*--time 1.25" || true); do
        state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || echo Z)
        [ "$state" = Z ] && continue
        tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -q "^OMPI_COMM_WORLD_RANK=" && echo "$pid"
    done
    return 0
}
# The process id of rank R of the running job.
rank_pid() {
    for pid in $(ranks); do
        if tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=$1"; then
            echo "$pid"
            return
        fi
    done
}
# wait_for SECONDS COMMAND...: waits until COMMAND succeeds; fails after SECONDS.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "gave up waiting for: $*"
        sleep 0.1
    done
}
job_ended() { ! kill -0 "$job" 2>/dev/null; }
no_rank_left() { [ -z "$(ranks)" ]; }

# Rank 0 starts in first/ (with the assets), the others in others/ (empty).
shared() {
    local n=$1
    shift
    mpi -n 1 --wdir "$work/first" "$bench" "$@" : -n "$((n - 1))" --wdir "$work/others" "$bench" "$@"
}
alone() { (cd first && "$bench" "$@"); }

case $mode in
pictures)
    model=$(ls /usr/share/assimp/models/glTF2/BoxTextured-glTF/BoxTextured.gltf 2>/dev/null || true)
    checks=(
        "--size 160x120 --preset all --camera all --frames 1 --no-jitter --hash --fixed-clock"
        "--size 96x72 --preset 4,5 --camera 0,1 --frames 2 --seed 7 --hash"
        "--size 120x90 --preset 4 --camera 1 --samples 5 --seed 3 --hash"
        "--size 120x90 --preset 1 --camera 0 --samples 4 --seed 3 --hash"
    )
    [ -n "$model" ] && checks+=("--size 96x72 --preset 0,4 --camera 0 --frames 1 --no-jitter --hash --model $model")
    for args in "${checks[@]}"; do
        # shellcheck disable=SC2086
        one=$(alone --assets assets --time 1.25 $args | grep hash) || fail "one process: $args"
        # shellcheck disable=SC2086
        three=$(shared 3 --assets assets --time 1.25 $args 2> log | grep hash) || fail "three ranks: $args"
        [ -n "$one" ] || fail "no checksums printed for $args"
        diff <(echo "$one") <(echo "$three") || fail "three ranks traced other pictures than one process: $args"
        echo "same pictures with three ranks: $args ($(echo "$one" | wc -l) checksums)"
    done
    ;;
refuse)
    refused() { # refused DESCRIPTION: the job in log ended non-zero before any frame
        grep -q "every rank must run the same one" log || fail "$1: no message naming the difference"
        grep -q "frame" log && fail "$1: a frame was rendered"
        echo "refused $1"
    }
    rc=0
    mpi -n 1 "$bench" --time 1.25 --size 160x120 : -n 1 "$bench" --time 1.25 --size 320x240 > log 2>&1 || rc=$?
    [ $rc -ne 0 ] || fail "other arguments accepted"
    refused "other arguments"
    # The same program, rebuilt: one byte more at the end of the file.
    mkdir other-build
    cp "$bench" other-build/vyx-bench
    printf x >> other-build/vyx-bench
    rc=0
    mpi -n 1 "$bench" --time 1.25 : -n 1 other-build/vyx-bench --time 1.25 > log 2>&1 || rc=$?
    [ $rc -ne 0 ] || fail "another build accepted"
    refused "another build"
    if [ $# -ge 2 ]; then
        rc=0
        mpi -n 1 "$1" : -n 1 "$2" > log 2>&1 || rc=$?
        [ $rc -ne 0 ] || fail "two programs accepted"
        refused "two different programs"
    fi
    ;;
stopped)
    shared 3 --assets assets --time 1.25 --size 160x120 --preset 4 --frames 150 > log 2>&1 &
    job=$!
    wait_for 120 grep -q "start-up to first frame" log
    victim=$(rank_pid 2)
    [ -n "$victim" ] || fail "rank 2 not found"
    kill -STOP "$victim"
    wait_for 60 grep -q "vyx: rank 2 stopped answering" log
    wait_for 300 job_ended
    rc=0
    wait "$job" || rc=$?
    job=""
    [ $rc -ne 0 ] || fail "the job ended with status 0 although a rank was lost"
    grep -q "^preset 4 (standard), camera 0: median" log || fail "the work did not finish without rank 2"
    [ "$(grep -c "vyx: rank 2 stopped answering" log)" -eq 1 ] || fail "the lost rank was reported more than once"
    wait_for 30 no_rank_left
    echo "rank 2 stopped: noticed once, the frames finished, the job ended with status $rc and nothing left"
    ;;
killed)
    shared 3 --assets assets --time 1.25 --size 160x120 --preset 4 --flight 60 --fps 10 --out "$work/frames" \
        > log 2>&1 &
    job=$!
    wait_for 120 test -e "$work/frames/frame-000004.png"
    victim=$(rank_pid 2)
    [ -n "$victim" ] || fail "rank 2 not found"
    kill -9 "$victim"
    wait_for 60 job_ended
    rc=0
    wait "$job" || rc=$?
    job=""
    [ $rc -ne 0 ] || fail "the job ended with status 0 although a rank died"
    grep -q "rank 2" log || fail "no message names rank 2"
    wait_for 30 no_rank_left
    count=$(ls "$work"/frames/frame-*.png | wc -l)
    python3 "$here/png_check.py" "$work"/frames/frame-*.png || fail "a frame written before the kill is damaged"
    echo "rank 2 killed: the job ended with status $rc, naming it; the $count frames written are whole"
    ;;
flight)
    args="--assets assets --time 1.25 --size 128x96 --preset 0 --flight 1 --fps 6"
    # shellcheck disable=SC2086
    alone $args --out "$work/one" > log 2>&1 || fail "one process"
    # shellcheck disable=SC2086
    shared 3 $args --out "$work/three" > log 2>&1 || fail "three ranks"
    [ "$(ls "$work/one" | wc -l)" -eq 6 ] || fail "$(ls "$work/one" | wc -l) frames instead of 6"
    for f in "$work"/one/*.png; do
        cmp -s "$f" "$work/three/$(basename "$f")" || fail "$(basename "$f") differs between one process and three"
    done
    rc=0
    # shellcheck disable=SC2086
    PATH=/nonexistent alone $args --out "$work/movie" --movie "$work/flight.mp4" > log 2>&1 || rc=$?
    [ $rc -eq 1 ] || fail "a movie without ffmpeg ended with status $rc"
    grep -q "ffmpeg -y -loglevel error -framerate 6 -i" log || fail "no command for the movie given"
    if command -v ffmpeg > /dev/null; then
        # shellcheck disable=SC2086
        alone $args --out "$work/movie" --movie "$work/flight.mp4" > log 2>&1 || fail "the movie was not made"
        [ -s "$work/flight.mp4" ] || fail "empty movie"
    fi
    echo "a flight of 6 frames: the same bytes from three ranks as from one"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
