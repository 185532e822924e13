#!/usr/bin/env bash
# Builds the Debian package vyx_VERSION_amd64.deb from the release build, in
# build/release, and prints its path. Installs the packages the build needs when missing.
# Install it with: apt-get install ./build/release/vyx_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
cd build/release
rm -f vyx_*.deb
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
ls "$PWD"/vyx_*.deb
