#!/usr/bin/env python3
"""Writes the 23 x 25 animated GIF of the progress panel: eight blue dots on
a circle, a bright head running round with a fading tail.

Usage: make_progress_gif.py OUT.gif   (Python 3 standard library only)
"""
import math
import struct
import sys

WIDTH, HEIGHT = 23, 25
FRAMES = 8
DELAY_CS = 10  # hundredths of a second per frame

# Index 0 is transparent; then the tail, fading towards the background.
PALETTE = [
    (255, 255, 255),
    (0, 72, 241),
    (58, 145, 255),
    (150, 190, 245),
    (214, 226, 243),
]
MIN_CODE_SIZE = 3  # 8 palette entries


def frame_pixels(frame):
    cx, cy, radius, dot = 11.0, 12.0, 8.0, 2.6
    pixels = bytearray(WIDTH * HEIGHT)
    for i in range(FRAMES):
        age = (frame - i) % FRAMES  # 0: the head
        colour = 1 + min(age, 3)
        angle = 2 * math.pi * i / FRAMES - math.pi / 2
        dx, dy = cx + radius * math.cos(angle), cy + radius * math.sin(angle)
        for y in range(HEIGHT):
            for x in range(WIDTH):
                if (x - dx) ** 2 + (y - dy) ** 2 <= dot * dot:
                    pixels[y * WIDTH + x] = colour
    return pixels


def lzw(pixels):
    """GIF LZW with a clear code after every two pixels, so that the code
    width never grows past MIN_CODE_SIZE + 1 bits: simple and valid."""
    clear, end = 1 << MIN_CODE_SIZE, (1 << MIN_CODE_SIZE) + 1
    width = MIN_CODE_SIZE + 1
    codes = []
    for i in range(0, len(pixels), 2):
        codes.append(clear)
        codes.extend(pixels[i:i + 2])
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for code in codes:
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    blocks = bytearray()
    for i in range(0, len(out), 255):
        piece = out[i:i + 255]
        blocks.append(len(piece))
        blocks += piece
    blocks.append(0)
    return bytes(blocks)


def gif():
    table = bytearray()
    for r, g, b in PALETTE + [(0, 0, 0)] * ((1 << MIN_CODE_SIZE) - len(PALETTE)):
        table += bytes((r, g, b))
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", WIDTH, HEIGHT, 0x80 | (MIN_CODE_SIZE - 1), 0, 0)
    data += table
    data += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop forever
    for frame in range(FRAMES):
        # Graphic control: restore to background, transparent index 0.
        data += struct.pack("<BBBBHBB", 0x21, 0xF9, 4, (2 << 2) | 1, DELAY_CS, 0, 0)
        data += struct.pack("<BHHHHB", 0x2C, 0, 0, WIDTH, HEIGHT, 0)
        data.append(MIN_CODE_SIZE)
        data += lzw(frame_pixels(frame))
    data += b"\x3b"
    return bytes(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_progress_gif.py OUT.gif")
    with open(sys.argv[1], "wb") as f:
        f.write(gif())
