#!/usr/bin/env bash
# Installs what is missing, builds in release, generates the scene assets and starts the
# program with the assets folder as its working directory.
# Usage: scripts/run.sh [640] [MODEL]   (640 starts the 640 x 480 build; MODEL
# is shown in the sample model's place; --help lists the keys and formats)
set -euo pipefail
program=vyx-raytracer
if [ "${1:-}" = "640" ]; then
    program=vyx-raytracer-640
    shift
fi
# The program runs in the assets folder: a model named relative to here is made absolute.
args=()
for argument in "$@"; do
    case "$argument" in
    -*) args+=("$argument") ;;
    *) args+=("$(realpath -m -- "$argument")") ;;
    esac
done
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
cd build/release/assets
exec "../$program" "${args[@]}"
