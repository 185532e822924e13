#!/usr/bin/env bash
# Rebuilds the release preset and rewrites tests/data/frame_hashes.txt, the checksums of
# the traced frames that the test command compares against. Run it only when a change is
# meant to alter the pictures, and say why in the commit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target vyx-bench
SDL_VIDEODRIVER=dummy tests/tools/frame_hashes.sh build/release/tools/vyx-bench --update
