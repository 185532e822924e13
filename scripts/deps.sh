#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, when missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail

# glmark2-data ships a scanned bunny (bunny.obj) that the model tests load as real data;
# assimp-testmodels the sample files of every format the import helper reads through
# libassimp-dev, and libtinygltf-dev a second glTF reader the tests compare against.
# Open MPI lets several processes (on several machines) render one frame under mpirun.
# help2man writes the manual pages from --help; dpkg-dev and file let CPack compute the
# package's dependencies (scripts/package.sh).
packages=(cmake g++ make pkg-config libgtest-dev
          libsdl1.2-dev libsdl-image1.2-dev libsdl-ttf2.0-dev libstb-dev fonts-dejavu-core
          libassimp-dev assimp-testmodels libtinygltf-dev libopenmpi-dev openmpi-bin
          xvfb xauth xdotool x11-apps python3 glmark2-data
          help2man dpkg-dev file "$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# The classic SDL 1.2 conflicts with the compatibility layer over SDL 2; the classic one
# behaves under Xvfb.
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
