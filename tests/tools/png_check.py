#!/usr/bin/env python3
"""Checks that every file named is a whole PNG: the signature, every chunk's length and
CRC, an IHDR first, image data that inflates to the size the header gives, and IEND
last. Exits 1 naming the first file that is not."""
import struct
import sys
import zlib


def check(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return "no PNG signature"
    at, chunks, idat = 8, [], b""
    while at < len(data):
        if at + 12 > len(data):
            return "cut off inside a chunk header"
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            return "cut off inside chunk %r" % kind
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            return "bad CRC in chunk %r" % kind
        chunks.append((kind, body))
        if kind == b"IDAT":
            idat += body
        at += 12 + length
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
        return "IHDR or IEND missing"
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour, 1)
    expected = height * (1 + width * channels * depth // 8)
    if len(zlib.decompress(idat)) != expected:
        return "image data of the wrong size"
    return None


for name in sys.argv[1:]:
    problem = check(name)
    if problem:
        print("%s: %s" % (name, problem))
        sys.exit(1)
print("%d whole PNG files" % (len(sys.argv) - 1))
