#!/bin/bash
# The program under mpirun with three local ranks, rank 0 alone seeing the assets: its
# window shows frames rendered by all three (the overlay says so), the standard preset,
# a still view refined three samples a frame, a screenshot, a reload sent to every rank,
# and Escape ending every rank with status 0.
# Usage: e2e_mpi.sh PROGRAM   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
make_workdir
[ -e venus.obj ] || fail "no generated assets in ${VYX_ASSETS_DIR:-(unset)}"
export OMPI_MCA_orte_tmpdir_base=$WORK
mkdir empty
start_program mpirun --oversubscribe --mca btl self,vader -n 1 --wdir "$WORK" "$1" : -n 2 --wdir "$WORK/empty" "$1"
find_window
wait_frames 3

# The overlay's line about the ranks sits below the mode lines; R hides it.
shot with_text.xwd
keys r
shot without_text.xwd
keys r
text=$(image diff with_text.xwd without_text.xwd 0 80 420 100)
[ "$text" -gt 40 ] || fail "no line about the ranks in the overlay ($text pixels)"

keys Right Right Right Right
wait_frames 2
keys p
wait_frames 3
keys F12
bmp=$(ls | grep -E '_vyx_screenshot_-?[0-9]+\.bmp$' || true)
[ -n "$bmp" ] || fail "no BMP screenshot"
image same "$bmp" "${bmp%.bmp}.png" || fail "no PNG with the BMP's pixels beside $bmp"
keys o
wait_frames 3
grep -q "stopped answering\|renders no more" app.log && fail "a rank was left out"
quit_cleanly
left=$(pgrep -f "^$1( |$)" | xargs -r ps -o stat= -p | grep -v Z || true)
[ -z "$left" ] || fail "a rank is still running"
echo "three ranks rendered, refined, saved $bmp, reloaded and quit with status 0"
