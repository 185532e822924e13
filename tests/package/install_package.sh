#!/bin/bash
# Installs a built vyx package into this system with apt-get, runs the installed programs
# from / (a frame of vyx-bench from the installed assets, a model read through the
# installed import helper, vyx-raytracer --help, the manual page), removes the package
# with dpkg -r and checks that it left nothing behind. Needs root, and is skipped without
# it or when a vyx package is installed already (this test would replace and remove it).
# Usage: install_package.sh DEB
set -euo pipefail
deb=$(realpath "$1")
fail() { echo "FAILED: $*"; exit 1; }
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing the package needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' vyx 2>/dev/null | grep -q "ok installed"; then
    echo "SKIPPED: a vyx package is installed already"
    exit 0
fi

work=$(mktemp -d)
installed=0
cleanup() {
    [ "$installed" = 0 ] || dpkg -r vyx >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
before=$(find /usr /etc -name '*vyx*' | sort)

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install $deb"; }
installed=1
dpkg -L vyx | sort >"$work/files"
echo "installed $(wc -l <"$work/files") paths"

# A triangle in an ASCII STL file goes through the helper: it is not OBJ text.
cat >"$work/triangle.stl" <<'STL'
solid t
facet normal 0 0 1
outer loop
vertex 0 0 0
vertex 1 0 0
vertex 0 1 0
endloop
endfacet
endsolid t
STL
cd /
/usr/bin/vyx-bench --frames 1 >"$work/bench.log" 2>&1 || { cat "$work/bench.log"; fail "vyx-bench --frames 1"; }
/usr/bin/vyx-bench --frames 1 --size 64x48 --model "$work/triangle.stl" >"$work/model.log" 2>&1 ||
    { cat "$work/model.log"; fail "vyx-bench --model triangle.stl (the import helper)"; }
vyx-raytracer --help >"$work/help.txt" 2>&1 || fail "vyx-raytracer --help"
grep -q "^usage: vyx-raytracer" "$work/help.txt" || fail "vyx-raytracer --help printed no usage"
if command -v man >/dev/null; then
    [ "$(man -w vyx-bench)" = /usr/share/man/man1/vyx-bench.1.gz ] || fail "man does not find vyx-bench"
fi
echo "the installed programs ran from /"

dpkg -r vyx >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r vyx"; }
installed=0
# What is still there may only be folders that other packages or files share.
while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    [ -d "$path" ] && [ ! -L "$path" ] || fail "$path is left after dpkg -r"
    [ -n "$(ls -A "$path")" ] || dpkg -S "$path" >/dev/null 2>&1 || fail "the empty folder $path is left"
done <"$work/files"
after=$(find /usr /etc -name '*vyx*' | sort)
[ "$before" = "$after" ] || fail "left after dpkg -r: $(comm -13 <(echo "$before") <(echo "$after"))"
echo "removed without a trace"
