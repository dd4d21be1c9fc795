#!/usr/bin/env python3
"""Draws the application icon: one 48 x 48, 32 bits-per-pixel image.

A blue tile with a white sweep stroke and three dust dots, written as a
plain .ico (BITMAPINFOHEADER image with an alpha channel and an AND mask).
Run: scripts/make_icon.py resources/HostSweeper.ico
"""
import math
import struct
import sys

SIZE = 48


def pixel(x, y):
    """BGRA of one pixel, y counted from the top."""
    cx, cy = x + 0.5, y + 0.5
    # Rounded tile.
    r = 8.0
    dx = max(r + 2 - cx, 0, cx - (SIZE - 2 - r))
    dy = max(r + 2 - cy, 0, cy - (SIZE - 2 - r))
    if math.hypot(dx, dy) > r:
        return (0, 0, 0, 0)
    blue = (0xB0 - int(cy * 1.2), 0x60, 0x1E, 0xFF)
    # Sweep stroke from top right to bottom left.
    dist = abs((cx - 38) + (cy - 10)) / math.sqrt(2)
    if dist < 3.2 and 8 < cy < 34:
        return (0xFF, 0xFF, 0xFF, 0xFF)
    # Broom head.
    if 30 <= cy <= 40 and 8 <= cx <= 24 and (cx - 8) + (40 - cy) < 18:
        return (0x40, 0xC8, 0xF0, 0xFF)
    for (px, py) in ((31, 38), (36, 35), (39, 40)):
        if math.hypot(cx - px, cy - py) < 2.0:
            return (0xE0, 0xE0, 0xE0, 0xFF)
    return blue


def main(path):
    rows = []
    for y in reversed(range(SIZE)):  # bottom-up
        rows.append(b"".join(struct.pack("4B", *pixel(x, y)) for x in range(SIZE)))
    xor = b"".join(rows)
    mask_row = ((SIZE + 31) // 32) * 4
    and_mask = bytes(mask_row * SIZE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/HostSweeper.ico")
