#!/bin/bash
# A model on the command line takes the sample model's place: an unlit box whose library
# and red texture sit in other folders (the model names mtl\box.mtl, which names
# ../maps/red.png) fills the middle of the window in red without a warning, the sample
# model is not read, and Escape ends with status 0.
# Usage: e2e_model.sh PROGRAM   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
fail() { echo "FAILED: $*"; cat app.log; exit 1; }

make_workdir
mkdir -p model/mtl model/maps
printf 'mtllib mtl\\box.mtl\nv -3 0 -2\nv 3 0 -2\nv 3 9 -2\nv -3 9 -2\nv -3 0 2\nv 3 0 2\nv 3 9 2\nv -3 9 2\n'\
'vt 0 0\nusemtl red\nf 1/1 2/1 3/1 4/1\nf 5/1 8/1 7/1 6/1\nf 1/1 5/1 6/1 2/1\nf 4/1 3/1 7/1 8/1\n'\
'f 1/1 4/1 8/1 5/1\nf 2/1 6/1 7/1 3/1\n' > model/box.obj
printf 'newmtl red\nKd 1 1 1\nillum 0\nmap_Kd -clamp on ../maps/red.png\n' > model/mtl/box.mtl
# A 2 x 2 red PNG.
python3 - <<'PY'
import struct, zlib
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
rows = b"".join(b"\0" + b"\xff\0\0" * 2 for _ in range(2))
open("model/maps/red.png", "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0))
                                        + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
PY

start_program "$1" "$WORK/model/box.obj"
find_window
middle_is_red() {
    shot model.xwd
    read -r r g b < <(image mean model.xwd $((WIDTH * 2 / 5)) $((HEIGHT * 2 / 5)) $((WIDTH * 3 / 5)) \
        $((HEIGHT * 3 / 5)))
    SEEN="mean R G B $r $g $b"
    [ "$r" -gt 100 ] && [ "$r" -gt $((2 * g)) ] && [ "$r" -gt $((2 * b)) ]
}
until_frame "the middle did not show the red model" middle_is_red
echo "middle of the window: $SEEN"
xdotool key Escape
rc=0
wait_exit 30 || rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc"
# Standard output reaches the log when the program ends.
grep -q "Opened file $WORK/model/box.obj" app.log || fail "the model was not opened"
grep -q "Opened file $WORK/model/mtl/box.mtl" app.log || fail "the library was not found beside the model"
grep -q "vyx: " app.log && fail "warnings: a file was not found or not read"
grep -q "venus.obj" app.log && fail "the sample model was read too"
echo "the model took the sample model's place"
