#!/bin/bash
# Checks a built vyx package without installing it: that it holds the programs, the import
# helper, every generated asset, the menu entry, the icons, the manual pages and the
# licences; that its programs print its version; that its dependencies were computed;
# that the menu entry and the manual pages are valid; and that lintian finds no error.
# Usage: check_package.sh DEB ASSETS_DIR   (ASSETS_DIR: the assets the build generated)
set -euo pipefail
deb=$1
assets=$2
fail() { echo "FAILED: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The paths in the package, without the leading "." and the targets of links.
dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' | sort > "$work/contents"
version=$(dpkg-deb -f "$deb" Version)
expected=(/usr/bin/vyx-raytracer /usr/bin/vyx-raytracer-640 /usr/bin/vyx-bench /usr/libexec/vyx/vyx-import
          /usr/share/applications/vyx.desktop
          /usr/share/icons/hicolor/48x48/apps/vyx.png /usr/share/icons/hicolor/128x128/apps/vyx.png
          /usr/share/icons/hicolor/256x256/apps/vyx.png
          /usr/share/man/man1/vyx-raytracer.1.gz /usr/share/man/man1/vyx-raytracer-640.1.gz
          /usr/share/man/man1/vyx-bench.1.gz
          /usr/share/doc/vyx/copyright /usr/share/doc/vyx/changelog.gz)
for f in "$assets"/*; do
    expected+=("/usr/share/vyx/${f##*/}")
done
for path in "${expected[@]}"; do
    grep -qxF "$path" "$work/contents" || fail "$deb has no $path"
done
echo "holds the ${#expected[@]} expected files"

dpkg-deb -x "$deb" "$work/root"
root=$work/root
for program in vyx-raytracer vyx-raytracer-640 vyx-bench; do
    [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version is not $version"
done
[ "$("$root/usr/libexec/vyx/vyx-import" --version)" = "vyx-import $version" ] || fail "vyx-import --version is not $version"
echo "every program prints the package's version $version"

# The packages of libraries the programs link, which dpkg-shlibdeps must have found; Open
# MPI's runtime when the programs were built with MPI.
depends=$(dpkg-deb -f "$deb" Depends)
needed=(libc6 libsdl1.2debian libsdl-ttf2.0 libsdl-image1.2 libassimp)
if readelf -d "$root/usr/bin/vyx-raytracer" | grep -q 'NEEDED.*libmpi'; then
    needed+=(libopenmpi)
fi
for package in "${needed[@]}"; do
    [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
done
echo "Depends: $depends"

desktop-file-validate "$root/usr/share/applications/vyx.desktop" || fail "the menu entry is not valid"
for size in 48 128 256; do
    dimensions=$(python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24)
print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8] == b"\x89PNG\r\n\x1a\n" else "not a PNG")' \
        "$root/usr/share/icons/hicolor/${size}x${size}/apps/vyx.png")
    [ "$dimensions" = "${size}x${size}" ] || fail "the ${size}-pixel icon is $dimensions"
done

# Manual pages: neither groff nor man may warn (man follows the 640 page's link).
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$( (zcat "$page" | groff -man -ww -z) 2>&1;
               LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "${page##*/}: $warnings"
    zcat "$page" | grep -q '^\.SH "\?EXIT STATUS' || fail "${page##*/} has no EXIT STATUS section"
done
echo "the manual pages show without warnings"

# lintian leaves a cache in TMPDIR, and says that root should not run it: its temporary
# files go with ours, and that line is left out.
status=0
report=$(TMPDIR=$work lintian --fail-on error "$deb" 2>&1) || status=$?
report=$(grep -v "running with root privileges is not recommended" <<<"$report" || true)
echo "lintian: ${report:-no error, no warning}"
[ "$status" -eq 0 ] || fail "lintian reports errors"
echo "the package is sound"
