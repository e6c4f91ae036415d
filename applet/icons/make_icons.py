#!/usr/bin/env python3
"""Draws the applet's icons and writes them as 16-colour ICO files.

Both icons show a payment terminal: a grey body, a green display and a keypad. The applet's
own icon (dulvex.ico) adds a card in the reader slot; the entry icon (entry.ico) adds a blue
network link. Each file holds the sizes 32, 16 and 48 pixels in that order, 4 bits per pixel
with the standard 16-colour palette and a 1-bit transparency mask.

Usage: make_icons.py OUTPUT_DIR
"""
import os
import struct
import sys

# The standard VGA palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, SILVER, GREY, RED, GREEN, YELLOW, BLUE, WHITE = 0, 2, 4, 7, 8, 9, 10, 11, 12, 15
CLEAR = None

SIZES = (32, 16, 48)


def rect(x0, y0, x1, y1, colour):
    """A filled rectangle in unit coordinates (0..1 across the icon)."""
    return ('rect', x0, y0, x1, y1, colour)


def terminal():
    shapes = [
        rect(0.22, 0.18, 0.78, 0.96, BLACK),        # outline
        rect(0.25, 0.21, 0.75, 0.93, SILVER),       # body
        rect(0.31, 0.27, 0.69, 0.47, BLACK),        # display frame
        rect(0.34, 0.30, 0.66, 0.44, GREEN),        # display
        rect(0.38, 0.34, 0.58, 0.37, DARK_GREEN),   # a line of text
    ]
    for row in range(3):
        for col in range(3):
            x = 0.32 + col * 0.13
            y = 0.54 + row * 0.12
            shapes.append(rect(x, y, x + 0.09, y + 0.08, GREY))
    shapes.append(rect(0.58, 0.78, 0.67, 0.86, RED))     # the cancel key
    return shapes


def card_icon():
    # A card half inserted in the reader slot at the top.
    return [
        rect(0.30, 0.02, 0.70, 0.20, BLACK),
        rect(0.33, 0.04, 0.67, 0.20, YELLOW),
        rect(0.37, 0.07, 0.47, 0.13, GREY),      # the chip
    ] + terminal()


def entry_icon():
    # The terminal with a link line and a node, for the Control Panel entry.
    return terminal() + [
        rect(0.00, 0.62, 0.22, 0.68, BLUE),
        rect(0.00, 0.50, 0.12, 0.80, NAVY),
        rect(0.02, 0.53, 0.10, 0.77, BLUE),
    ]


def render(shapes, size):
    pixels = [[CLEAR] * size for _ in range(size)]
    for kind, x0, y0, x1, y1, colour in shapes:
        for y in range(size):
            cy = (y + 0.5) / size
            if not (y0 <= cy < y1):
                continue
            for x in range(size):
                cx = (x + 0.5) / size
                if x0 <= cx < x1:
                    pixels[y][x] = colour
    return pixels


def dib(pixels):
    size = len(pixels)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):  # bottom-up rows
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            index = BLACK if colour is CLEAR else colour
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if colour is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, shapes):
    images = [dib(render(shapes, size)) for size in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


def main():
    if len(sys.argv) != 2 or sys.argv[1] in ('-h', '--help'):
        print(__doc__.strip())
        return 0 if len(sys.argv) == 2 else 2
    os.makedirs(sys.argv[1], exist_ok=True)
    write_ico(os.path.join(sys.argv[1], 'dulvex.ico'), card_icon())
    write_ico(os.path.join(sys.argv[1], 'entry.ico'), entry_icon())
    return 0


if __name__ == '__main__':
    sys.exit(main())
