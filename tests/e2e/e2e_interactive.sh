#!/bin/bash
# Drives the program under Xvfb as a person would: it starts from the generated assets and
# renders frames; F12 saves a dated BMP of the window's size with a picture in it; the
# camera, preset and toggle keys are taken; the overlay text shows in the window and "R"
# hides it; Escape ends the program with status 0.
# Usage: e2e_interactive.sh PROGRAM   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

start_with_assets "$1"

# differing A B X0 Y0 X1 Y1: pixels of the rectangle that changed between two dumps.
differing() { image diff "$@"; }

wait_frames 2
xdotool getwindowname "$WID" | grep -Eq '^VYX Tracer - [0-9]+\.[0-9]{2}fps$' ||
    fail "caption is '$(xdotool getwindowname "$WID")'"

# The animation runs: in orbit mode a later dump differs from the first below the
# overlay, and the path flight (C) and the chase view (C again) each show a picture, not
# one flat colour (a broken clock once stopped the first and blanked the second).
below="0 120 $WIDTH $HEIGHT"
shot orbit1.xwd
orbit_moved() {
    shot orbit2.xwd
    moved=$(differing orbit1.xwd orbit2.xwd $below 24)
    SEEN="$moved pixels changed"
    [ "$moved" -gt $((WIDTH * HEIGHT / 20)) ]
}
until_frame "the orbit animation did not advance" orbit_moved
echo "orbit: $moved pixels changed"
for mode in 1 2; do
    keys c
    shows_picture() {
        shot mode$mode.xwd
        colours=$(image colours mode$mode.xwd $below)
        SEEN="$colours colours"
        [ "$colours" -gt 50 ]
    }
    until_frame "camera mode $mode showed no picture" shows_picture
    echo "camera mode $mode: $colours colours"
done

# Screenshot: today's date, the seconds count, the window size, a real picture.
day=$(date +%Y-%m-%d)
keys F12
shots=$(ls | grep -E '^[0-9]{4}-[0-9]{2}-[0-9]{2}_vyx_screenshot_-?[0-9]+\.bmp$' || true)
[ "$(echo "$shots" | grep -c .)" -eq 1 ] || fail "expected one screenshot, found: $(ls)"
case "$shots" in "$day"_* | "$(date +%Y-%m-%d)"_*) ;; *) fail "screenshot $shots is not named for today" ;; esac
image bmp "$shots" "$WIDTH" "$HEIGHT" || fail "bad screenshot"

# Free-walk camera (C once more): the view stands still, so once the exposure has
# settled two frames differ only where the overlay was drawn.
keys c
until_frame "the free walk's picture did not settle" settled
# Overlay lines are about 15 pixels apart from y = 8: lines 1-3, then lines 4-5 (only the
# subdivision presets have them), and the picture well below the text.
lines13="8 10 300 50"
lines45="8 56 150 82"
shot with_text.xwd
keys r
shot without_text.xwd
n13=$(differing with_text.xwd without_text.xwd $lines13)
n45=$(differing with_text.xwd without_text.xwd $lines45)
nbelow=$(differing with_text.xwd without_text.xwd $below)
echo "subdivision preset, overlay on vs off: lines 1-3 $n13, lines 4-5 $n45, picture $nbelow pixels differ"
[ "$n13" -gt 150 ] || fail "overlay lines 1-3 not seen"
[ "$n45" -gt 40 ] || fail "overlay lines 4-5 not seen in a subdivision preset"
[ "$nbelow" -lt $((WIDTH * HEIGHT / 100)) ] || fail "the picture itself changed: the comparison is not about the overlay"

# Right four times: the standard preset has three overlay lines.
keys r Right Right Right Right
until_frame "the standard preset's picture did not settle" settled
shot with_text.xwd
keys r
shot without_text.xwd
n13=$(differing with_text.xwd without_text.xwd $lines13)
n45=$(differing with_text.xwd without_text.xwd $lines45)
echo "standard preset, overlay on vs off: lines 1-3 $n13, lines 4-5 $n45 pixels differ"
[ "$n13" -gt 150 ] || fail "overlay lines 1-3 not seen in a standard preset"
[ "$n45" -lt 10 ] || fail "a standard preset shows more than three overlay lines"

# Left four times back to the first subdivision preset, then block interpolation off:
# unrefined blocks keep one pixel each, so the picture changes broadly.
keys Left Left Left Left
until_frame "the subdivision preset's picture did not settle" settled
shot interpolated.xwd
keys x
shot blocks.xwd
nblocks=$(differing interpolated.xwd blocks.xwd $below)
echo "block interpolation off: $nblocks pixels differ"
[ "$nblocks" -gt $((WIDTH * HEIGHT / 20)) ] || fail "X did not switch block interpolation off"
# Ambient occlusion on and off again, interpolation back on, the overlay back on.
keys z
keys z x r

# Full screen takes the X screen's size and the render is resampled to it; F again
# returns to the window.
keys f
eval "$(xdotool getwindowgeometry --shell "$WID")"
echo "full screen: ${WIDTH}x${HEIGHT}"
rm -f ./*_vyx_screenshot_*.bmp
keys F12
full=$(ls | grep -E '_vyx_screenshot_-?[0-9]+\.bmp$' || true)
[ -n "$full" ] || fail "no screenshot in full screen"
image bmp "$full" "$WIDTH" "$HEIGHT" || fail "bad full-screen screenshot"
keys f
eval "$(xdotool getwindowgeometry --shell "$WID")"
echo "windowed again: ${WIDTH}x${HEIGHT}"

quit_cleanly
echo "rendered, saved $shots, took C/R/Right/Left/X/Z/F, showed the overlay and quit with status 0"
