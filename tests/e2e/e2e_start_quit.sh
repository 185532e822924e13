#!/bin/bash
# The program opens its window, renders, and Escape ends it with status 0.
set -eu
. "$(dirname "$0")/common.sh"
make_workdir
start_program "$1"
find_window
wait_frames 1
xdotool key Escape
rc=0
wait_exit 30 || rc=$?
[ "$rc" -eq 0 ] || { echo "exit status $rc"; cat app.log; exit 1; }
echo "started, rendered and quit with status 0"
