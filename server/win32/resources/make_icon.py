#!/usr/bin/env python3
"""Draws pellicksrv.ico: one 32x32, 16-colour image of a progress dial (run: python3 make_icon.py)."""
import math
import struct
import sys
from pathlib import Path

SIZE = 32

# The standard 16-colour palette, as (red, green, blue); written out as BMP quads (blue, green, red, 0).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_BLUE, DARK_GREEN, LIGHT_GREY, GREEN, WHITE = 0, 4, 2, 7, 10, 15
TRANSPARENT = None


def pixel(x, y):
    """Colour index of pixel (x, y), y downwards, or TRANSPARENT."""
    cx = cy = 15.5
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    if r > 15.6:
        return TRANSPARENT
    if r > 14.2:
        return DARK_BLUE  # rim
    if r > 13.2:
        return LIGHT_GREY
    # Angle clockwise from 12 o'clock, 0..1.
    turn = (math.atan2(dx, -dy) / (2 * math.pi)) % 1.0
    # Hand pointing at two thirds of a turn.
    hand = 2.0 / 3.0
    hx, hy = math.sin(hand * 2 * math.pi), -math.cos(hand * 2 * math.pi)
    along = dx * hx + dy * hy
    across = abs(dx * hy - dy * hx)
    if 0 <= along <= 11.5 and across < 1.0:
        return BLACK
    if r < 2.2:
        return BLACK  # hub
    # Tick marks every twelfth of a turn.
    tick = (turn * 12) % 1.0
    if r > 10.5 and (tick < 0.06 or tick > 0.94):
        return BLACK
    if turn < hand:
        return GREEN if r > 6 else DARK_GREEN  # the part already rendered
    return WHITE


def build():
    rows_xor, rows_and = [], []
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        nibbles, mask = [], 0
        for x in range(SIZE):
            c = pixel(x, y)
            if c is TRANSPARENT:
                nibbles.append(0)
                mask |= 1 << (31 - x)
            else:
                nibbles.append(c)
        rows_xor.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        rows_and.append(struct.pack(">I", mask))
    xor = b"".join(rows_xor)
    andmask = b"".join(rows_and)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    image = header + palette + xor + andmask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


if __name__ == "__main__":
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("pellicksrv.ico")
    out.write_bytes(build())
