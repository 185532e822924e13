#!/bin/bash
# Without a usable video driver the program says what failed and exits with status 1;
# --help and the usage errors need no display at all.
set -u
out=$(SDL_VIDEODRIVER=no-such-driver DISPLAY= timeout 30 "$1" 2>&1 >/dev/null)
rc=$?
echo "status $rc: $out"
[ "$rc" -eq 1 ] || { echo "expected status 1"; exit 1; }
echo "$out" | grep -q "failed" || { echo "expected a message naming what failed"; exit 1; }

help=$(DISPLAY= timeout 30 "$1" --help) || { echo "--help: status $?"; exit 1; }
for word in "usage: " "MODEL.obj" "F12" "Wavefront OBJ" "PNG"; do
    echo "$help" | grep -q "$word" || { echo "--help lacks '$word'"; exit 1; }
done
for arguments in "--no-such-option" "a.obj b.obj"; do
    # shellcheck disable=SC2086
    err=$(DISPLAY= timeout 30 "$1" $arguments 2>&1 >/dev/null)
    rc=$?
    [ "$rc" -eq 2 ] || { echo "$arguments: status $rc, expected 2"; exit 1; }
    echo "$err" | grep -q "usage: " || { echo "$arguments: no usage line: $err"; exit 1; }
done
echo "--help and usage errors as expected"
