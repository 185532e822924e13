#!/bin/bash
# Traces a fixed set of frames of the sample scene with vyx-bench and compares the
# checksums of the traced frames and of the pictures shown after post-processing (on a
# fixed exposure clock) with the ones stored in tests/data/frame_hashes.txt: every
# preset (soft-shadow jitter off, so frames repeat exactly) and camera at two animation
# times, the subdivision presets once more without block interpolation, and two larger
# frames.
# A change that alters any traced or shown pixel changes a checksum.
# With VYX_NO_AVX2=1 in the environment the frames are traced with the 4-wide walk of
# processors without AVX2, and must still match.
# Usage: frame_hashes.sh VYX_BENCH [--update]   (--update rewrites the stored file)
set -euo pipefail
bench=$1
stored=$(cd "$(dirname "$0")/../data" && pwd)/frame_hashes.txt
if [ "${VYX_NO_AVX2:-0}" != "0" ]; then
    loaded=$("$bench" --size 8x8 --frames 1 --threads 1 | grep '^scene loaded')
    case "$loaded" in
    *"; 4-wide tree nodes") echo "VYX_NO_AVX2=$VYX_NO_AVX2: 4-wide tree nodes" ;;
    *) echo "FAILED: VYX_NO_AVX2=$VYX_NO_AVX2 did not give 4-wide tree nodes: $loaded"; exit 1 ;;
    esac
fi
run() { "$bench" --hash --no-jitter --fixed-clock --frames 1 --threads 4 "$@" | grep 'frame hash' | sed "s/^/$* | /"; }
actual=$( {
    run --size 160x120 --preset all --camera all --time 0
    run --size 160x120 --preset all --camera all --time 600
    for p in 0 1 2 3; do run --size 160x120 --preset $p --camera all --time 300 --no-interp; done
    run --size 640x480 --preset 0 --camera 0 --time 0
    run --size 640x480 --preset 4 --camera 1 --time 900
} )
if [ "${2:-}" = "--update" ]; then
    echo "$actual" > "$stored"
    echo "rewrote $stored with $(echo "$actual" | wc -l) frame checksums"
    exit 0
fi
if ! diff <(cat "$stored") <(echo "$actual"); then
    echo "FAILED: frames differ from $stored (lines marked > are this build's)."
    echo "If the pictures are meant to change, regenerate with scripts/frame-hashes.sh."
    exit 1
fi
echo "all $(echo "$actual" | wc -l) frame checksums match $stored"
