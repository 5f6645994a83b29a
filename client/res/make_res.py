#!/usr/bin/env python3
"""Writes the client's icons (107-110) and connect-dialog banner (112).

Run from anywhere; the files land beside this script. Plain shapes only: a
coloured disc per tray state and a blue gradient banner.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def disc_pixels(size, rgb, ring):
    """BGRA rows, top row first: a disc with a lighter ring, transparent corners."""
    rows = []
    c = (size - 1) / 2.0
    r_out = size / 2.0 - 0.5
    for y in range(size):
        row = b""
        for x in range(size):
            d = ((x - c) ** 2 + (y - c) ** 2) ** 0.5
            if d > r_out:
                row += b"\x00\x00\x00\x00"
            elif d > r_out - max(1, size // 10):
                row += bytes((ring[2], ring[1], ring[0], 255))
            else:
                row += bytes((rgb[2], rgb[1], rgb[0], 255))
        rows.append(row)
    return rows


def icon_image(size, rgb, ring):
    rows = disc_pixels(size, rgb, ring)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(reversed(rows))  # bottom-up
    mask_row = ((size + 31) // 32) * 4
    mask = b"\x00" * (mask_row * size)  # alpha decides; the mask shows everything
    return header + xor + mask


def write_icon(name, rgb, ring):
    images = [icon_image(s, rgb, ring) for s in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


def write_banner(name, width=300, height=63):
    stride = (width * 3 + 3) & ~3
    pixels = b""
    for y in range(height):  # bottom-up
        row = b""
        for x in range(width):
            t = x / (width - 1)
            row += bytes((int(160 + 80 * t), int(70 + 60 * t), int(20 + 30 * t)))  # BGR
        pixels += row + b"\x00" * (stride - width * 3)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(head + info + pixels)


if __name__ == "__main__":
    write_icon("app.ico", (40, 90, 200), (160, 190, 240))           # 107
    write_icon("disconnected.ico", (130, 130, 130), (200, 60, 60))  # 108
    write_icon("connected.ico", (40, 170, 60), (170, 230, 170))     # 109
    write_icon("connecting.ico", (230, 180, 30), (250, 230, 150))   # 110
    write_banner("banner.bmp")                                      # 112
