#!/bin/bash
# Without a usable video driver the program says what failed and exits with status 1.
set -u
out=$(SDL_VIDEODRIVER=no-such-driver DISPLAY= timeout 30 "$1" 2>&1 >/dev/null)
rc=$?
echo "status $rc: $out"
[ "$rc" -eq 1 ] || { echo "expected status 1"; exit 1; }
echo "$out" | grep -q "failed" || { echo "expected a message naming what failed"; exit 1; }
