#!/bin/bash
# A still view refines as a person sees it: P stops the orbit; every frame then adds a
# sample, so dumps a few frames apart differ less and less; the line under the picture
# shows the count; F12 writes a BMP and a PNG with the same pixels.
# Usage: e2e_still.sh PROGRAM   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
start_with_assets "$1"
wait_frames 2

# The picture between the mode lines at the top and the status line at the bottom.
picture="0 120 $WIDTH $((HEIGHT - 40))"
# pair NAME: two dumps three frames (three samples or more) apart. The early pair starts a
# few samples in, the late one some twenty samples later, well before the refinement
# stops at 256 samples.
pair() { wait_frames 1; shot "$1"1.xwd; wait_frames 3; shot "$1"2.xwd; }
keys p
pair early
wait_frames 20
pair late
moved=$(image diff early1.xwd early2.xwd $picture)
early=$(image change early1.xwd early2.xwd $picture)
late=$(image change late1.xwd late2.xwd $picture)
echo "paused: $moved pixels moved; mean change over three frames: early $early, later $late"
[ "$moved" -lt $((WIDTH * HEIGHT / 100)) ] || fail "the picture moves while paused"
python3 -c "import sys; sys.exit(not 0 < $late < 0.7 * $early)" || fail "the still picture does not settle"

shot with_text.xwd
keys r
shot without_text.xwd
text=$(image diff with_text.xwd without_text.xwd 0 $((HEIGHT - 30)) 300 "$HEIGHT")
[ "$text" -gt 40 ] || fail "no status line under the picture ($text pixels)"

keys F12
bmp=$(ls | grep -E '_vyx_screenshot_-?[0-9]+\.bmp$' || true)
[ -n "$bmp" ] || fail "no BMP screenshot"
image same "$bmp" "${bmp%.bmp}.png" || fail "no PNG with the BMP's pixels beside $bmp"
quit_cleanly
echo "paused, refined, saved $bmp and its PNG, quit with status 0"
