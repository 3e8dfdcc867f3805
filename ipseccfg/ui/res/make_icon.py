#!/usr/bin/env python3
"""Draws the configurator's icon (a shield with a padlock) and writes it as a
Windows .ico file with 32x32 and 16x16 images, 32 bits per pixel.

Run from this folder: python3 make_icon.py DravolinIPSecCfg.ico
"""
import struct
import sys

BLUE = (0x2F, 0x5F, 0xB0, 0xFF)
DARK = (0x1A, 0x36, 0x70, 0xFF)
WHITE = (0xF4, 0xF4, 0xF4, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y):
    """Colour at (x, y) of a 32x32 design, y downwards."""
    # Shield: straight top part, then narrowing to a point at the bottom.
    if y < 2 or y > 30:
        return CLEAR
    half = 13 if y < 16 else 13 - (y - 16) * 13 // 15
    cx = 15.5
    if abs(x - cx) > half + 0.5:
        return CLEAR
    edge = abs(x - cx) > half - 1.5 or y < 3
    colour = DARK if edge else BLUE
    if y in (17, 18, 19) and x in (15, 16):
        return DARK
    # Padlock: shackle (ring) above a body.
    if 14 <= y <= 23 and 9 <= x <= 22:
        return WHITE
    if 7 <= y < 14 and 11 <= x <= 20:
        inner = 13 <= x <= 18 and y >= 9
        if not inner:
            return WHITE
    return colour


def image(size):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            # Sample the 32x32 design.
            row.append(pixel(x * 32 // size, y * 32 // size))
        rows.append(row)
    # BMP rows bottom-up, BGRA.
    xor = b"".join(
        bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    and_rows = []
    for row in reversed(rows):
        out = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                out[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(out))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + mask_stride * size, 0, 0, 0, 0)
    return header + xor + b"".join(and_rows)


def main():
    sizes = [32, 16]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
