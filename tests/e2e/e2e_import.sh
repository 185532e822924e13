#!/bin/bash
# Installed with `cmake --install` and started from an empty folder, the program finds its
# assets and the import helper beside itself: a binary glTF box whose embedded texture is
# green above and blue below shows in the middle of the window green over blue, and a
# scan cut short, which makes the helper fail an assertion, is reported in one line while
# the window shows the sample model. Escape ends with status 0 both times.
# Usage: e2e_import.sh BUILD_DIR PROGRAM_NAME   (DISPLAY is set by xvfb-run)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
fail() { echo "FAILED: $*"; cat app.log; exit 1; }

VYX_ASSETS_DIR="" make_workdir
cmake --install "$1" --prefix "$WORK/installed" > install.log || { cat install.log; exit 1; }
PROGRAM="$WORK/installed/bin/$2"
mkdir empty
cd empty

# A box 6 wide, 9 tall and 4 deep; every side maps the whole 16 x 16 texture, its top
# half green and its bottom half blue, with the image's top at the top of the box (glTF
# puts v = 0 at the image's top).
python3 - <<'PY'
import json, struct, zlib
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
rows = (b"\0" + b"\0\xff\0" * 16) * 8 + (b"\0" + b"\0\0\xff" * 16) * 8
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
x, y, z = (-3, 3), (0, 9), (-2, 2)
faces = [[(x[0], y[0], z[1]), (x[1], y[0], z[1]), (x[1], y[1], z[1]), (x[0], y[1], z[1])],
         [(x[1], y[0], z[0]), (x[0], y[0], z[0]), (x[0], y[1], z[0]), (x[1], y[1], z[0])],
         [(x[0], y[0], z[0]), (x[0], y[0], z[1]), (x[0], y[1], z[1]), (x[0], y[1], z[0])],
         [(x[1], y[0], z[1]), (x[1], y[0], z[0]), (x[1], y[1], z[0]), (x[1], y[1], z[1])]]
positions, uvs, indices = b"", b"", b""
for n, face in enumerate(faces):
    for corner, uv in zip(face, [(0, 1), (1, 1), (1, 0), (0, 0)]):
        positions += struct.pack("<3f", *corner)
        uvs += struct.pack("<2f", *uv)
    indices += struct.pack("<6H", 4 * n, 4 * n + 1, 4 * n + 2, 4 * n, 4 * n + 2, 4 * n + 3)
png += b"\0" * (-len(png) % 4)
binary = positions + uvs + indices + b"\0\0" * (len(indices) % 4 // 2) + png
views = [(0, len(positions)), (len(positions), len(uvs)), (len(positions) + len(uvs), len(indices)),
         (len(binary) - len(png), len(png))]
document = {
    "asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "indices": 2, "material": 0}]}],
    "materials": [{"pbrMetallicRoughness": {"baseColorTexture": {"index": 0}}}],
    "textures": [{"source": 0}], "images": [{"bufferView": 3, "mimeType": "image/png"}],
    "buffers": [{"byteLength": len(binary)}],
    "bufferViews": [{"buffer": 0, "byteOffset": o, "byteLength": l} for o, l in views],
    "accessors": [
        {"bufferView": 0, "componentType": 5126, "count": 16, "type": "VEC3", "min": [-3, 0, -2], "max": [3, 9, 2]},
        {"bufferView": 1, "componentType": 5126, "count": 16, "type": "VEC2"},
        {"bufferView": 2, "componentType": 5123, "count": 24, "type": "SCALAR"}],
}
text = json.dumps(document).encode()
text += b" " * (-len(text) % 4)
body = struct.pack("<II", len(text), 0x4E4F534A) + text + struct.pack("<II", len(binary), 0x004E4942) + binary
open("box.glb", "wb").write(struct.pack("<III", 0x46546C67, 2, 12 + len(body)) + body)
PY
head -c 457877 /usr/share/assimp/models/PLY/Wuson.ply > cut.ply

# mean_rgb X0 Y0 X1 Y1 (fractions of the window in hundredths): the mean colour there.
mean_rgb() {
    python3 "$HERE/window_image.py" mean shot.xwd $((WIDTH * $1 / 100)) $((HEIGHT * $2 / 100)) \
        $((WIDTH * $3 / 100)) $((HEIGHT * $4 / 100))
}

start_program "$PROGRAM" box.glb
find_window
# green_over_blue: the upper middle shows the texture's green and the lower its blue.
green_over_blue() {
    shot shot.xwd
    local r g b r2 g2 b2
    read -r r g b < <(mean_rgb 45 30 55 40)
    read -r r2 g2 b2 < <(mean_rgb 45 60 55 70)
    SEEN="mean R G B upper middle $r $g $b, lower middle $r2 $g2 $b2"
    [ "$g" -gt $((2 * r)) ] && [ "$g" -gt "$b" ] && [ "$b2" -gt $((2 * r2)) ] && [ "$b2" -gt "$g2" ]
}
until_frame "the middle did not show the texture's green over its blue" green_over_blue
echo "$SEEN"
python3 "$HERE/window_image.py" png shot.xwd "${VYX_E2E_SHOT:-shot.png}"
xdotool key Escape
rc=0
wait_exit 30 || rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc"
grep -q "vyx: " app.log && fail "warnings: an asset or the helper was not found"

start_program "$PROGRAM" cut.ply
find_window
wait_frames 1
xdotool key Escape
rc=0
wait_exit 30 || rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc after the broken model"
grep -q "^vyx: the model cut.ply could not be read: the importer crashed (aborted: .*); showing the sample model$" \
    app.log || fail "no one-line report of the helper's crash"
[ "$(grep -c "vyx: " app.log)" -eq 1 ] || fail "more than the one line"
grep -q "Opened file .*venus.obj" app.log || fail "the sample model was not shown"
echo "the textured model showed its texture; the broken one was reported and replaced"
