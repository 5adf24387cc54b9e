#!/usr/bin/env python3
"""Draws Bitlay's icons from one pixel-art glyph: a "B" of horizontal copper runs (the lines Bitlay
places, one per run of a colour) on a green board. Writes the application icon (48 and 256 px PNG,
SVG) and the KiCad toolbar icons (24 and 48 px, for light and dark themes), each pixel of the glyph
a square block, so that the small sizes stay sharp.

Usage: make-icons.py [PACKAGING_DIR]   (defaults to the folder of this script)
"""

import struct
import sys
import zlib
from pathlib import Path

GLYPH = [
    ".oooooooooo.",
    "obbbbbbbbbbo",
    "obccccccbbbo",
    "obccbbbccbbo",
    "obccbbbccbbo",
    "obcccccccbbo",
    "obccbbbbccbo",
    "obccbbbbccbo",
    "obccbbbbccbo",
    "obcccccccbbo",
    "obbbbbbbbbbo",
    ".oooooooooo.",
]

# o: the board's edge, b: the board, c: copper. The light theme's toolbar is pale, the dark one's
# near black: the edge is darker or lighter than the board accordingly.
PALETTES = {
    "light": {"o": (0x0E, 0x3B, 0x1F), "b": (0x1F, 0x7A, 0x3C), "c": (0xF0, 0xB0, 0x38)},
    "dark": {"o": (0x7C, 0xD6, 0x95), "b": (0x2A, 0x8F, 0x4A), "c": (0xFF, 0xC8, 0x57)},
}


def pixels(palette, size):
    """RGBA rows of the glyph at `size` px: whole blocks, centred, transparent around."""
    block = size // len(GLYPH)
    margin = (size - block * len(GLYPH)) // 2
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            gy, gx = (y - margin) // block, (x - margin) // block
            inside = 0 <= y - margin < block * len(GLYPH) and 0 <= x - margin < block * len(GLYPH)
            key = GLYPH[gy][gx] if inside else "."
            row += bytes((*palette[key], 255)) if key != "." else bytes(4)
        rows.append(bytes(row))
    return rows


def png(rows):
    width, height = len(rows[0]) // 4, len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def svg(palette):
    size = len(GLYPH)
    rects = []
    for y, line in enumerate(GLYPH):
        x = 0
        while x < size:
            key = line[x]
            end = x
            while end < size and line[end] == key:
                end += 1
            if key != ".":
                r, g, b = palette[key]
                rects.append(f'  <rect x="{x}" y="{y}" width="{end - x}" height="1" '
                             f'fill="#{r:02x}{g:02x}{b:02x}"/>')
            x = end
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" '
            f'viewBox="0 0 {size} {size}" shape-rendering="crispEdges">\n'
            '  <title>Bitlay</title>\n' + "\n".join(rects) + "\n</svg>\n")


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent
    icons, plugin = root / "icons", root / "kicad-plugin" / "icons"
    icons.mkdir(parents=True, exist_ok=True)
    plugin.mkdir(parents=True, exist_ok=True)
    for size in (48, 256):
        (icons / f"bitlay-{size}.png").write_bytes(png(pixels(PALETTES["light"], size)))
    (icons / "bitlay.svg").write_text(svg(PALETTES["light"]))
    for theme, palette in PALETTES.items():
        for size in (24, 48):
            (plugin / f"bitlay-{theme}-{size}.png").write_bytes(png(pixels(palette, size)))


if __name__ == "__main__":
    main()
