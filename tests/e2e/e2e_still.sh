#!/bin/bash
# A still view refines under Xvfb as a person sees it: P stops the orbit; while the view
# stands still every frame adds a sample, so dumps a second apart differ less and less;
# the line under the picture shows the count; F12 writes a BMP and a PNG with the same
# pixels; P again sets the orbit going.
# Usage: e2e_still.sh PROGRAM   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

start_with_assets "$1"
wait_frames 2

# The picture between the mode lines at the top and the status line at the bottom.
picture="0 120 $WIDTH $((HEIGHT - 40))"
status="0 $((HEIGHT - 30)) 300 $HEIGHT"
# pair NAME: two dumps a second apart, a new frame before each.
pair() {
    wait_frames 1; shot "$1"1.xwd
    sleep 1
    wait_frames 1; shot "$1"2.xwd
}

keys p
pair early
sleep 6
pair late
moved=$(image diff early1.xwd early2.xwd $picture)
early=$(image change early1.xwd early2.xwd $picture)
late=$(image change late1.xwd late2.xwd $picture)
echo "paused: $moved pixels moved in a second; mean change in a second: early $early, later $late"
[ "$moved" -lt $((WIDTH * HEIGHT / 100)) ] || fail "the picture moves while paused"
python3 -c "import sys; sys.exit(not ($early > 0 and $late < 0.7 * $early))" ||
    fail "the still picture does not settle (early $early, later $late)"

# The status line under the picture: "R" hides it with the other overlay text.
shot with_text.xwd
keys r
shot without_text.xwd
keys r
text=$(image diff with_text.xwd without_text.xwd $status)
echo "status line: $text pixels"
[ "$text" -gt 40 ] || fail "no status line under the picture"

# F12 while refining: a BMP and a PNG of one name, with the same pixels.
keys F12
bmp=$(ls | grep -E '_vyx_screenshot_-?[0-9]+\.bmp$' || true)
[ -n "$bmp" ] || fail "no BMP screenshot: $(ls)"
[ -e "${bmp%.bmp}.png" ] || fail "no PNG beside $bmp: $(ls)"
image bmp "$bmp" "$WIDTH" "$HEIGHT" || fail "bad screenshot"
image same "$bmp" "${bmp%.bmp}.png" || fail "the PNG's pixels are not the BMP's"

# P again: the orbit goes on.
keys p
pair running
moving=$(image diff running1.xwd running2.xwd $picture 24)
echo "resumed: $moving pixels changed in a second"
[ "$moving" -gt $((WIDTH * HEIGHT / 20)) ] || fail "the animation does not resume"

quit_cleanly
echo "paused, refined, saved $bmp and its PNG, resumed and quit with status 0"
