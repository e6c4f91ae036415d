#!/usr/bin/env python3
"""Writes dulvex.ico: the program's icon, drawn here so that no outside art is needed.

A payment terminal in front view (dark body, light display, keypad) at 16x16 and 32x32,
32-bit BGRA with an AND mask. Run: python3 make_icon.py [output]; the result is kept in the
repository beside this script.
"""
import struct
import sys

BODY = (0x33, 0x3F, 0x4A, 0xFF)      # slate body
EDGE = (0x1B, 0x22, 0x29, 0xFF)
SCREEN = (0x7F, 0xD8, 0xC4, 0xFF)    # green-blue display
KEY = (0xE8, 0xEC, 0xEF, 0xFF)
ACCENT = (0xF2, 0x9B, 0x2E, 0xFF)    # card-slot bar
CLEAR = (0, 0, 0, 0)


def draw(size):
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    rect(6, 1, 26, 31, EDGE)
    rect(7, 2, 25, 30, BODY)
    rect(9, 4, 23, 12, SCREEN)
    for row in range(3):
        for col in range(3):
            x = 9 + col * 5
            y = 15 + row * 4
            rect(x, y, x + 4, y + 3, KEY)
    rect(9, 27, 23, 29, ACCENT)
    return px


def image(size):
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for y in reversed(range(size)):            # bottom-up rows
        for (r, g, b, a) in px[y]:
            colour += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_row)
        for x in range(size):
            if px[y][x][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "dulvex.ico"
    sizes = (16, 32)
    images = [image(n) for n in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, img in zip(sizes, images):
        data += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        data += img
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
