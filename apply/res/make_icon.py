#!/usr/bin/env python3
"""Draws qvapply's icon (group 128): a 32x32 and a 16x16 image in the 16 standard colours.

The picture is a page with a green arrow going into it: an update being applied. Run it to
regenerate qvapply.ico after changing the drawings below.
"""
import struct
import sys

# The 16-colour palette (blue, green, red, reserved), in the standard order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Characters of the drawings: '.' is transparent, the others pick a palette entry.
COLOURS = {'k': 0, 'b': 4, 'g': 2, 'G': 10, 's': 7, 'd': 8, 'w': 15, 'B': 12, 'c': 6}

ICON_16 = [
    "................",
    "..kkkkkkkk......",
    "..kwwwwwwkk.....",
    "..kwwwwwwksk....",
    "..kwwwwwwkkkk...",
    "..kwBBBBwwwwk...",
    "..kwwwwwwwGGk...",
    "..kwBBBBBwGGk...",
    "..kwwwwwwwGGk...",
    "..kwBBBBGGGGGGk.",
    "..kwwwwwwGGGGk..",
    "..kwBBBBwwGGk...",
    "..kwwwwwwwwk....",
    "..kkkkkkkkkk....",
    "................",
    "................",
]

ICON_32 = [
    "................................",
    "................................",
    "....kkkkkkkkkkkkkkkk............",
    "....kwwwwwwwwwwwwwwkk...........",
    "....kwwwwwwwwwwwwwwksk..........",
    "....kwwwwwwwwwwwwwwkssk.........",
    "....kwwwwwwwwwwwwwwksssk........",
    "....kwwwwwwwwwwwwwwkkkkkk.......",
    "....kwwBBBBBBBBwwwwwwwwwk.......",
    "....kwwwwwwwwwwwwwwwwwwwk.......",
    "....kwwBBBBBBBBBBwwwwwwwk.......",
    "....kwwwwwwwwwwwwwwwGGGwk.......",
    "....kwwBBBBBBBwwwwwwGGGwk.......",
    "....kwwwwwwwwwwwwwwwGGGwk.......",
    "....kwwBBBBBBBBBwwwwGGGwk.......",
    "....kwwwwwwwwwwwwwwwGGGwk.......",
    "....kwwBBBBBBwwwwwwwGGGwk.......",
    "....kwwwwwwwwwwwwwwwGGGwk.......",
    "....kwwBBBBBBBBwwGGGGGGGGGk.....",
    "....kwwwwwwwwwwwwwGGGGGGGwk.....",
    "....kwwBBBBBBBBBwwwGGGGGwwk.....",
    "....kwwwwwwwwwwwwwwwGGGwwwk.....",
    "....kwwBBBBBBBwwwwwwwGwwwwk.....",
    "....kwwwwwwwwwwwwwwwwwwwwwk.....",
    "....kwwwwwwwwwwwwwwwwwwwwwk.....",
    "....kwwwwwwwwwwwwwwwwwwwwwk.....",
    "....kkkkkkkkkkkkkkkkkkkkkkk.....",
    "................................",
    "................................",
    "................................",
    "................................",
    "................................",
]


def image(rows):
    size = len(rows)
    assert all(len(r) == size for r in rows), "drawings must be square"
    xor_row = (size * 4 + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        line = bytearray(xor_row)
        bits = bytearray(and_row)
        for x, ch in enumerate(row):
            index = COLOURS.get(ch, 0)
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if ch == '.':
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    return size, header + palette + bytes(xor) + bytes(mask)


def main(path):
    images = [image(ICON_32), image(ICON_16)]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'qvapply.ico')
