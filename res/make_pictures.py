#!/usr/bin/env python3
"""Draws the banner (banner.bmp) and the icon (qorcert.ico) beside this file.

banner.bmp: 312 x 62, 8 bits per pixel, 256-entry colour table, uncompressed,
rows bottom-up. qorcert.ico: one 32 x 32 image, 16 colours (4 bits per pixel).
Run it again after changing a picture; the output is the same on every run.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# A 5 x 7 pixel font, just the letters the pictures use.
FONT = {
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    " ": ["00000"] * 7,
}


def draw_text(pixels, text, left, top, scale, colour):
    for n, letter in enumerate(text):
        for row, bits in enumerate(FONT[letter]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            pixels[top + row * scale + dy][left + (n * 6 + col) * scale + dx] = colour


def banner():
    width, height = 312, 62
    # Entries 0-127: a blue-violet gradient; 128-255: gold shades.
    palette = [(10 + i // 4, 10 + i // 8, 40 + i) for i in range(128)]
    palette += [(255, 200 - i // 3, 40 + i // 4) for i in range(128)]
    pixels = [[(x + 2 * y) * 127 // (width + 2 * height) for x in range(width)] for y in range(height)]
    draw_text(pixels, "QOR", 14, 10, 6, 128)
    draw_text(pixels, "RELEASE", 128, 14, 2, 200)
    draw_text(pixels, "AUTHENTICATION", 128, 32, 2, 200)
    rows = b"".join(bytes(pixels[y]) for y in reversed(range(height)))  # bottom-up, 312 = 4 * 78
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    return header + info + table + rows


def icon():
    size = 32
    # The 16 standard colours; 0 black, 4 navy, 11 yellow, 15 white.
    palette = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
               (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
               (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    pixels = [[4] * size for _ in range(size)]
    for i in range(size):
        pixels[0][i] = pixels[size - 1][i] = pixels[i][0] = pixels[i][size - 1] = 11
    draw_text(pixels, "Q", 6, 5, 3, 11)
    xor = b"".join(bytes((row[x] << 4) | row[x + 1] for x in range(0, size, 2))
                   for row in reversed(pixels))
    mask = bytes(4 * size)  # opaque everywhere
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + table + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(os.path.join(HERE, "banner.bmp"), "wb") as f:
        f.write(banner())
    with open(os.path.join(HERE, "qorcert.ico"), "wb") as f:
        f.write(icon())
