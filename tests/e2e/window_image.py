#!/usr/bin/env python3
"""Reads the images the end-to-end tests capture: XWD window dumps and the program's
BMP screenshots. Standard library only.

  window_image.py bmp FILE WIDTH HEIGHT          checks a 24-bit BMP of that size that is
                                                 not one flat colour
  window_image.py diff A.xwd B.xwd X0 Y0 X1 Y1 [LIMIT]
                                                 prints how many pixels of the rectangle
                                                 [X0, X1) x [Y0, Y1) differ by more than
                                                 LIMIT (default 64) in some channel
  window_image.py colours A.xwd X0 Y0 X1 Y1      prints how many distinct colours the
                                                 rectangle holds (1: one flat colour)
  window_image.py mean A.xwd X0 Y0 X1 Y1         prints the rectangle's mean R G B
  window_image.py png IN.xwd OUT.png             converts a dump to PNG
  window_image.py change A.xwd B.xwd X0 Y0 X1 Y1 prints the mean absolute difference of
                                                 the rectangle's channels (0 to 255)
  window_image.py same A.bmp B.png               checks that a 24-bit BMP and an 8-bit RGB
                                                 PNG hold the same pixels
"""
import struct
import sys
import zlib


def read_xwd(path, row_limit=None):
    """Returns (width, height, rows) with rows[y] a bytes object of R, G, B triples; only
    the first row_limit rows are decoded when given."""
    data = open(path, "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14], fields[15], fields[16]
    colour_count = fields[19]
    if bits_per_pixel not in (24, 32):
        sys.exit("%s: unsupported %d bits per pixel" % (path, bits_per_pixel))
    offset = header_size + colour_count * 12
    step = bits_per_pixel // 8
    endian = "little" if byte_order == 0 else "big"

    def shift(mask):
        s = 0
        while mask and not (mask >> s) & 1:
            s += 1
        return s

    shifts = (shift(red_mask), shift(green_mask), shift(blue_mask))
    rows = []
    for y in range(height if row_limit is None else min(height, row_limit)):
        base = offset + y * bytes_per_line
        row = bytearray(width * 3)
        for x in range(width):
            p = int.from_bytes(data[base + x * step: base + x * step + step], endian)
            row[3 * x] = (p & red_mask) >> shifts[0]
            row[3 * x + 1] = (p & green_mask) >> shifts[1]
            row[3 * x + 2] = (p & blue_mask) >> shifts[2]
        rows.append(bytes(row))
    return width, height, rows


def check_bmp(path, width, height):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        sys.exit("%s: not a BMP" % path)
    pixel_offset = struct.unpack("<I", data[10:14])[0]
    w, h = struct.unpack("<ii", data[18:26])
    bits = struct.unpack("<H", data[28:30])[0]
    if (w, abs(h), bits) != (width, height, 24):
        sys.exit("%s: %dx%d at %d bits, expected %dx%d at 24" % (path, w, abs(h), bits, width, height))
    pixels = data[pixel_offset:]
    if len(pixels) < width * height * 3:
        sys.exit("%s: truncated pixel data" % path)
    if max(pixels) < 16:
        sys.exit("%s: the picture is black" % path)
    if len(set(pixels[i:i + 3] for i in range(0, width * height * 3, 3 * 97))) < 8:
        sys.exit("%s: the picture is one flat colour" % path)
    print("%s: %dx%d, 24-bit, with content" % (path, width, height))


def count_different(path_a, path_b, x0, y0, x1, y1, limit=64):
    wa, ha, a = read_xwd(path_a, y1)
    wb, hb, b = read_xwd(path_b, y1)
    if (wa, ha) != (wb, hb):
        sys.exit("dumps differ in size")
    count = 0
    for y in range(y0, min(y1, ha)):
        ra, rb = a[y], b[y]
        for x in range(x0, min(x1, wa)):
            i = 3 * x
            if max(abs(ra[i] - rb[i]), abs(ra[i + 1] - rb[i + 1]), abs(ra[i + 2] - rb[i + 2])) > limit:
                count += 1
    print(count)


def count_colours(path, x0, y0, x1, y1):
    width, height, rows = read_xwd(path, y1)
    colours = set()
    for y in range(y0, min(y1, height)):
        row = rows[y]
        colours.update(row[3 * x: 3 * x + 3] for x in range(x0, min(x1, width)))
    print(len(colours))


def mean_colour(path, x0, y0, x1, y1):
    width, height, rows = read_xwd(path, y1)
    sums, count = [0, 0, 0], 0
    for y in range(y0, min(y1, height)):
        for x in range(x0, min(x1, width)):
            for k in range(3):
                sums[k] += rows[y][3 * x + k]
            count += 1
    print(" ".join(str(s // max(count, 1)) for s in sums))


def mean_change(path_a, path_b, x0, y0, x1, y1):
    (wa, ha, a), (wb, hb, b) = read_xwd(path_a, y1), read_xwd(path_b, y1)
    if (wa, ha) != (wb, hb):
        sys.exit("dumps differ in size")
    rows = [(a[y][3 * x0:3 * x1], b[y][3 * x0:3 * x1]) for y in range(y0, min(y1, ha))]
    total = sum(abs(p - q) for ra, rb in rows for p, q in zip(ra, rb))
    print("%.3f" % (total / max(1, sum(len(ra) for ra, _ in rows))))


def same_pixels(path_bmp, path_png):
    """Compares a bottom-up 24-bit BMP with an 8-bit RGB PNG without interlacing."""
    bmp, png = open(path_bmp, "rb").read(), open(path_png, "rb").read()
    offset, (width, height) = struct.unpack("<I", bmp[10:14])[0], struct.unpack("<ii", bmp[18:26])
    stride = (width * 3 + 3) & ~3
    at, idat = 8, b""
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        if kind == b"IHDR" and png[at + 8:at + 21] != struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0):
            sys.exit("%s is not a %dx%d RGB PNG" % (path_png, width, height))
        idat += png[at + 8:at + 8 + length] if kind == b"IDAT" else b""
        at += 12 + length
    raw, previous = zlib.decompress(idat), bytearray(width * 3)
    for y in range(height):
        kind, line = raw[y * (width * 3 + 1)], bytearray(raw[y * (width * 3 + 1) + 1:(y + 1) * (width * 3 + 1)])
        for i in range(width * 3):
            left, up, corner = line[i - 3] if i >= 3 else 0, previous[i], previous[i - 3] if i >= 3 else 0
            p = left + up - corner
            paeth = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - corner), 2, corner))[2]
            line[i] = (line[i] + (0, left, up, (left + up) // 2, paeth)[kind]) & 255
        source = bmp[offset + (height - 1 - y) * stride:][:width * 3]
        if bytes(line[0::3] + line[1::3] + line[2::3]) != source[2::3] + source[1::3] + source[0::3]:
            sys.exit("row %d differs" % y)
        previous = line
    print("%s and %s: the same %dx%d pixels" % (path_bmp, path_png, width, height))


def write_png(path_in, path_out):
    width, height, rows = read_xwd(path_in)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + row for row in rows)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
    open(path_out, "wb").write(png)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "bmp":
        check_bmp(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif len(sys.argv) in (8, 9) and sys.argv[1] == "diff":
        count_different(sys.argv[2], sys.argv[3], *map(int, sys.argv[4:]))
    elif len(sys.argv) == 7 and sys.argv[1] == "colours":
        count_colours(sys.argv[2], *map(int, sys.argv[3:7]))
    elif len(sys.argv) == 7 and sys.argv[1] == "mean":
        mean_colour(sys.argv[2], *map(int, sys.argv[3:7]))
    elif len(sys.argv) == 4 and sys.argv[1] == "png":
        write_png(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 8 and sys.argv[1] == "change":
        mean_change(sys.argv[2], sys.argv[3], *map(int, sys.argv[4:]))
    elif len(sys.argv) == 4 and sys.argv[1] == "same":
        same_pixels(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
