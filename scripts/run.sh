#!/usr/bin/env bash
# Installs what is missing, builds in release, generates the scene assets and starts the
# program with the assets folder as its working directory.
# Usage: scripts/run.sh [640]   (640 starts the 640 x 480 build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
program=vyx-raytracer
[ "${1:-}" = "640" ] && program=vyx-raytracer-640
cd build/release/assets
exec "../$program"
