#!/usr/bin/env python3
"""Draws the properties dialog's picture (engine_ui.bmp) and the link cursor
(hand.cur) from the shapes below, so both files can be made again exactly.

engine_ui.bmp: 24-bit, 144 x 176 pixels: a rounded teal tile shaded from top
to bottom, a row of white waveform bars and the name "Sonvale" in a 5 x 7
pixel alphabet drawn at twice its size.

hand.cur: 32 x 32 monochrome cursor of a pointing hand; the hot spot is the
tip of the index finger.

Usage: make_resources.py OUTPUT_DIR
"""
import math
import struct
import sys

WIDTH, HEIGHT = 144, 176

# The letters of "Sonvale", 5 columns x 7 rows each.
GLYPHS = {
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "o": ["     ", "     ", " ### ", "#   #", "#   #", "#   #", " ### "],
    "n": ["     ", "     ", "# ## ", "##  #", "#   #", "#   #", "#   #"],
    "v": ["     ", "     ", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "a": ["     ", "     ", " ### ", "    #", " ####", "#   #", " ####"],
    "l": [" ##  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "e": ["     ", "     ", " ### ", "#   #", "#####", "#    ", " ### "],
}

# '#' outline (black), 'o' fill (white), ' ' transparent.
HAND = [
    "     ##          ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo###       ",
    "    #oo#oo##     ",
    "    #oo#oo#o##   ",
    " ## #oo#oo#o#o#  ",
    "#oo##oooooooooo# ",
    "#ooo#oooooooooo# ",
    " #oooooooooooooo#",
    "  #ooooooooooooo#",
    "  #ooooooooooooo#",
    "   #oooooooooooo#",
    "   #ooooooooooo# ",
    "    #oooooooooo# ",
    "    #ooooooooo#  ",
    "     #oooooooo#  ",
    "     #oooooooo#  ",
    "     ##########  ",
]
HOT_SPOT = (5, 0)


def lerp(a, b, t):
    return a + (b - a) * t


def inside_rounded(x, y, radius):
    cx = min(max(x, radius), WIDTH - 1 - radius)
    cy = min(max(y, radius), HEIGHT - 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def picture():
    background = (240, 240, 240)  # the dialog's button face, outside the tile
    top, bottom = (31, 115, 140), (13, 56, 84)
    pixels = [[background] * WIDTH for _ in range(HEIGHT)]
    for y in range(HEIGHT):
        t = y / (HEIGHT - 1)
        shade = tuple(round(lerp(top[i], bottom[i], t)) for i in range(3))
        for x in range(WIDTH):
            if inside_rounded(x, y, 14):
                pixels[y][x] = shade
    # Waveform bars, tallest in the middle, round ends.
    bars, centre_y = 13, 70
    for i in range(bars):
        x = round(WIDTH * (i + 1.5) / (bars + 2))
        envelope = math.sin(math.pi * (i + 0.5) / bars)
        half = 36 * envelope * (0.55 + 0.45 * abs(math.sin(i * 1.7)))
        for y in range(round(centre_y - half), round(centre_y + half) + 1):
            for dx in (-1, 0, 1):
                pixels[y][x + dx] = (255, 255, 255)
    # The name, two pixels per glyph pixel, one glyph column apart.
    text, scale = "Sonvale", 2
    text_width = len(text) * 6 * scale - scale
    x0, y0 = (WIDTH - text_width) // 2, 136
    for n, letter in enumerate(text):
        for row, line in enumerate(GLYPHS[letter]):
            for col, cell in enumerate(line):
                if cell != "#":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        pixels[y0 + row * scale + dy][x0 + (n * 6 + col) * scale + dx] = (255, 255, 255)
    return pixels


def write_bmp(path, pixels):
    stride = (WIDTH * 3 + 3) & ~3
    image = bytearray()
    for row in reversed(pixels):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        image += line
    header = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(image), 0, 0, 14 + len(header))
    with open(path, "wb") as f:
        f.write(file_header + header + image)


def write_cur(path):
    size = 32
    xor_rows, and_rows = [], []
    for y in range(size):
        line = HAND[y] if y < len(HAND) else ""
        xor_bits, and_bits = 0, 0
        for x in range(size):
            cell = line[x] if x < len(line) else " "
            bit = 1 << (31 - x)
            if cell == " ":
                and_bits |= bit  # transparent: screen kept
            elif cell == "o":
                xor_bits |= bit  # white
        xor_rows.append(struct.pack(">I", xor_bits))
        and_rows.append(struct.pack(">I", and_bits))
    # Monochrome DIB: height counts both masks, rows bottom-up.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 1, 0, size * size // 4, 0, 0, 2, 0)
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    image = header + palette + b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", size, size, 2, 0, HOT_SPOT[0], HOT_SPOT[1], len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    write_bmp(f"{out}/engine_ui.bmp", picture())
    write_cur(f"{out}/hand.cur")


if __name__ == "__main__":
    main()
