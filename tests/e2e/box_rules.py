"""What the picture menu's items make of the picture box, worked out here from their rules, for
the end-to-end tests: the box's surface as read off the screen, the pixels' lightness, Otsu's level,
black and white, the mirror image, the nearest colours."""

from fractions import Fraction

from desktop import CLIENT_H, CLIENT_W

WHITE, BLACK, GREY = (255, 255, 255), (0, 0, 0), (240, 240, 240)  # GREY: the box's own


def rows_of(raw):
    """A grab of the box as rows of (r, g, b)."""
    stride = CLIENT_W * 3
    return [[tuple(raw[i:i + 3]) for i in range(start, start + stride, 3)]
            for start in range(0, len(raw), stride)]


def colours_of(rows):
    return {pixel for row in rows for pixel in row}


def lightness(rgb):
    r, g, b = rgb
    return (77 * r + 150 * g + 29 * b + 128) >> 8


def otsu_level(rows):
    """The level 1 to 254 whose split into dark (lightness at most the level) and light has the
    largest variance between the two classes, worked in exact fractions; where consecutive
    levels tie, the middle of them (rounded down)."""
    histogram = [0] * 256
    for row in rows:
        for pixel in row:
            histogram[lightness(pixel)] += 1
    total, whole = sum(histogram), sum(v * n for v, n in enumerate(histogram))
    dark = dark_sum = 0
    best, first, last = Fraction(-1), 128, 128
    for level in range(255):
        dark += histogram[level]
        dark_sum += level * histogram[level]
        light = total - dark
        if level == 0:
            continue
        spread = dark_sum * light - (whole - dark_sum) * dark
        variance = Fraction(spread * spread, dark * light) if dark and light else Fraction(0)
        if variance > best:
            best, first, last = variance, level, level
        elif variance == best and last == level - 1:
            last = level
    return 128 if best <= 0 else (first + last) // 2


def black_and_white(rows, level):
    """Black at or below the level; the box's own grey, beyond the picture or through it, white
    at every level."""
    return [[BLACK if lightness(p) <= level and p != GREY else WHITE for p in row]
            for row in rows]


def mirrored(rows):
    """Left for right about column 154 (half of 309, rounded to even): x becomes 308 - x, which
    in a box 309 pixels wide is the row reversed."""
    assert 2 * 154 == CLIENT_W - 1
    return [row[::-1] for row in rows]


def nearest(pixel, palette):
    """The colours of the palette nearest to the pixel (more than one on a tie)."""
    def distance(colour):
        return sum((a - b) ** 2 for a, b in zip(pixel, colour))
    least = min(distance(c) for c in palette)
    return {c for c in palette if distance(c) == least}


def differing(got, want):
    count = sum(g != w for got_row, want_row in zip(got, want) for g, w in zip(got_row, want_row))
    return f"{count} of {CLIENT_W * CLIENT_H} pixels differ"
