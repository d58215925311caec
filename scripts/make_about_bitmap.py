#!/usr/bin/env python3
"""Draws the About box picture: a tarn (a small mountain lake) at dusk, the lake laid with a
receding grid of tiles, and the name TarnIFF in a pixel font drawn here. Writes an uncompressed
8-bit BMP of 304 by 400 pixels with a 256-colour palette (module/resources/about.bmp by default).

    python3 scripts/make_about_bitmap.py [output.bmp]

Plain Python, no imaging library; the result is committed, so building needs no Python. The
picture is the same on every run (fixed seed, no floating-point noise that depends on the
platform beyond what the final rounding absorbs).
"""
import math
import os
import random
import struct
import sys

WIDTH, HEIGHT = 304, 400
HORIZON = 262  # first row of the lake
TILE_ROWS = 1.5  # tile lines across the lake per unit of depth
TILE_COLUMNS = 3.0  # tile lines that meet at the vanishing point, per pixel of depth

# ---- A small pixel font ------------------------------------------------------------------------
# 5 columns by 7 rows; lowercase letters sit on the same baseline and use rows 2-6.
GLYPHS = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    "a": ["00000", "00000", "01110", "00001", "01111", "10001", "01111"],
    "n": ["00000", "00000", "10110", "11001", "10001", "10001", "10001"],
    "r": ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    ".": ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "4": ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    "6": ["00110", "01000", "10000", "11110", "10001", "10001", "01110"],
    "x": ["00000", "00000", "10001", "01010", "00100", "01010", "10001"],
    "-": ["00000", "00000", "00000", "01110", "00000", "00000", "00000"],
    " ": ["00000"] * 7,
}


def text_width(text, scale, spacing=1):
    return len(text) * (5 + spacing) * scale - spacing * scale


def text_mask(text, scale, spacing=1):
    """The set of (x, y) pixels a text covers, from its top left corner."""
    cells = set()
    for i, ch in enumerate(text):
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit == "1":
                    ox = i * (5 + spacing) * scale + gx * scale
                    for dy in range(scale):
                        for dx in range(scale):
                            cells.add((ox + dx, gy * scale + dy))
    return cells


# ---- Colours -----------------------------------------------------------------------------------
def mix(a, b, t):
    t = min(1.0, max(0.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


SKY_TOP = (22, 30, 68)
SKY_MID = (70, 88, 140)
SKY_LOW = (236, 176, 140)
GLOW = (255, 222, 170)
FAR_RANGE = (112, 116, 162)
MID_RANGE = (66, 70, 118)
NEAR_RANGE = (30, 38, 66)
SNOW = (226, 226, 240)
WATER_NEAR = (12, 24, 46)
GRID = (150, 200, 226)
TITLE = (250, 246, 236)
SHADOW = (16, 20, 44)
SUBTITLE = (206, 214, 240)


def ridge(rng, base, amplitude, roughness, steps=9):
    """A mountain ridge by midpoint displacement: heights (row numbers) for every column."""
    n = 2 ** steps
    h = [0.0] * (n + 1)
    h[0] = base + rng.uniform(-amplitude, amplitude) * 0.5
    h[n] = base + rng.uniform(-amplitude, amplitude) * 0.5
    step, spread = n, amplitude
    while step > 1:
        half = step // 2
        for i in range(half, n, step):
            h[i] = (h[i - half] + h[i + half]) / 2 + rng.uniform(-spread, spread)
        step, spread = half, spread * roughness
    return [h[int(x * n / (WIDTH - 1))] for x in range(WIDTH)]


def render():
    rng = random.Random(1702)
    far = ridge(rng, 186, 46, 0.56)
    mid = ridge(rng, 214, 40, 0.52)
    near = ridge(rng, 244, 26, 0.5)
    sun_x, sun_y = 214, HORIZON - 34

    def sky(x, y):
        t = y / HORIZON
        c = mix(SKY_TOP, SKY_MID, t / 0.55) if t < 0.55 else mix(SKY_MID, SKY_LOW, (t - 0.55) / 0.45)
        d = math.hypot(x - sun_x, (y - sun_y) * 1.4)
        return mix(c, GLOW, 0.85 * math.exp(-d / 34.0))

    def land(x, y):
        """The colour of the mountains at (x, y) above the horizon, or None for sky."""
        if y >= near[x]:
            return mix(NEAR_RANGE, mix(NEAR_RANGE, SKY_LOW, 0.25), (y - near[x]) / 40)
        if y >= mid[x]:
            depth = (y - mid[x]) / 60
            return mix(mix(MID_RANGE, SKY_LOW, 0.12), MID_RANGE, depth)
        if y >= far[x]:
            depth = y - far[x]
            if depth < 7 and far[x] < 172:  # snow on the higher peaks
                return mix(SNOW, FAR_RANGE, depth / 7)
            return mix(FAR_RANGE, mix(FAR_RANGE, SKY_LOW, 0.35), (y - far[x]) / 90)
        return None

    image = [[(0.0, 0.0, 0.0)] * WIDTH for _ in range(HEIGHT)]
    for y in range(HORIZON):
        for x in range(WIDTH):
            c = land(x, y)
            image[y][x] = c if c is not None else sky(x, y)

    # The lake: the scene mirrored about the horizon, darkened with depth, rippled a little.
    vanish_x = WIDTH / 2
    for y in range(HORIZON, HEIGHT):
        dist = (y - HORIZON + 1) / (HEIGHT - HORIZON)
        for x in range(WIDTH):
            ripple = int(round(1.6 * math.sin(y * 0.9 + x * 0.05) * dist))
            sx = min(WIDTH - 1, max(0, x + ripple))
            my = 2 * HORIZON - 1 - y
            c = image[my][sx] if my >= 0 else SKY_TOP
            c = mix(c, WATER_NEAR, 0.25 + 0.7 * dist)
            # Tiles: lines across the lake at equal steps of depth, and lines that meet at the
            # vanishing point on the horizon. A line is drawn on the pixel it crosses; where
            # lines would crowd closer than a few pixels, near the horizon, they fade out.
            strength = 0.42 * min(1.0, max(0.0, (dist - 0.06) / 0.3))
            rows_here = math.floor(TILE_ROWS / dist)
            rows_next = math.floor(TILE_ROWS / (dist + 1.0 / (HEIGHT - HORIZON)))
            spread = y - HORIZON + 1
            cols_here = math.floor((x - vanish_x) * TILE_COLUMNS / spread)
            cols_next = math.floor((x + 1 - vanish_x) * TILE_COLUMNS / spread)
            if strength > 0 and (rows_here != rows_next or cols_here != cols_next):
                c = mix(c, GRID, strength)
            image[y][x] = c

    # A thin bright line where the water meets the land.
    for x in range(WIDTH):
        image[HORIZON][x] = mix(image[HORIZON][x], GLOW, 0.35)

    def stamp(text, scale, top, colour, shadow=None, spacing=1):
        left = (WIDTH - text_width(text, scale, spacing)) // 2
        mask = text_mask(text, scale, spacing)
        if shadow is not None:
            for (mx, my) in mask:
                for ox, oy in ((scale // 2 or 1, scale // 2 or 1),):
                    px, py = left + mx + ox, top + my + oy
                    if 0 <= px < WIDTH and 0 <= py < HEIGHT:
                        image[py][px] = mix(image[py][px], shadow, 0.75)
        for (mx, my) in mask:
            image[top + my][left + mx] = colour

    stamp("TarnIFF", 6, 40, TITLE, SHADOW)
    stamp("TILED IFF FORMAT MODULE", 1, 104, SUBTITLE, SHADOW, spacing=1)
    stamp("GRAY . RGB . ALPHA . DEPTH", 1, 118, SUBTITLE, SHADOW, spacing=1)
    stamp("ARDENWICK", 2, 366, mix(GRID, TITLE, 0.5), SHADOW)
    return image


# ---- 256 colours -------------------------------------------------------------------------------
BAYER4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def median_cut(colours, count):
    """A palette of up to count colours from a list of (r, g, b, weight)."""
    boxes = [colours]
    while len(boxes) < count:
        # Split the box with the widest channel range, weighted by its population.
        best, best_score, best_channel = None, -1, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                lo = min(c[ch] for c in box)
                hi = max(c[ch] for c in box)
                score = (hi - lo) * math.sqrt(sum(c[3] for c in box))
                if score > best_score:
                    best, best_score, best_channel = i, score, ch
        if best is None or best_score <= 0:
            break
        box = sorted(boxes.pop(best), key=lambda c: c[best_channel])
        total = sum(c[3] for c in box)
        acc, cut = 0, 1
        for j, c in enumerate(box):
            acc += c[3]
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, j + 1))
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        w = sum(c[3] for c in box)
        palette.append(tuple(int(round(sum(c[ch] * c[3] for c in box) / w)) for ch in range(3)))
    palette.sort(key=lambda c: (0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2], c))
    while len(palette) < count:
        palette.append((0, 0, 0))
    return palette


def quantise(image):
    counts = {}
    for row in image:
        for c in row:
            key = tuple(min(255, max(0, int(round(v)))) >> 2 << 2 for v in c)
            counts[key] = counts.get(key, 0) + 1
    palette = median_cut([k + (n,) for k, n in counts.items()], 256)
    nearest_cache = {}

    def nearest(c):
        key = tuple(min(255, max(0, int(v))) for v in c)
        hit = nearest_cache.get(key)
        if hit is None:
            hit = min(range(len(palette)),
                      key=lambda i: sum((palette[i][ch] - key[ch]) ** 2 for ch in range(3)))
            nearest_cache[key] = hit
        return hit

    indexes = []
    for y, row in enumerate(image):
        out = []
        for x, c in enumerate(row):
            # Ordered dithering hides the steps of the sky and water gradients.
            d = (BAYER4[y % 4][x % 4] / 16.0 - 0.47) * 4.0
            out.append(nearest(tuple(v + d for v in c)))
        indexes.append(out)
    return palette, indexes


def write_bmp(path, palette, indexes):
    row_size = (WIDTH + 3) & ~3
    pixels = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up rows
        pixels += bytes(indexes[y]) + b"\0" * (row_size - WIDTH)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(colours)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(pixels), 3780, 3780,
                       256, 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(head + info + colours + pixels)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "module", "resources", "about.bmp")
    palette, indexes = quantise(render())
    write_bmp(out, palette, indexes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
