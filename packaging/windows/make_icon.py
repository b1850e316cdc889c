#!/usr/bin/env python3
"""Writes kzb.ico, the icon of the .kzb file type and of kzb-verb.exe: a closed book, its
pages' edge showing, at 16, 32 and 48 pixels. Run again only to change the icon:
    python3 packaging/windows/make_icon.py packaging/windows/kzb.ico
"""
import struct
import sys

COVER = (0x2B, 0x5C, 0x9E, 0xFF)  # R, G, B, A
SPINE = (0x1C, 0x3F, 0x70, 0xFF)
PAGES = (0xF4, 0xEF, 0xE1, 0xFF)
LABEL = (0xF2, 0xB7, 0x05, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, size):
    """The colour at (x, y), y from the top, of a book drawn in a size-by-size square."""
    u, v = x / size, y / size
    if not (0.16 <= u < 0.84 and 0.08 <= v < 0.92):
        return CLEAR
    if u < 0.26:
        return SPINE
    if u >= 0.76 and 0.12 <= v < 0.88:
        return PAGES
    if 0.36 <= u < 0.68 and 0.26 <= v < 0.40:
        return LABEL
    return COVER


def image(size):
    """One icon image as a BMP without its file header: BGRA rows bottom up, then the mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            rows += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + bytes(rows) + bytes(mask_row * size)


def main(path):
    sizes = [16, 32, 48]
    images = [image(size) for size in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
