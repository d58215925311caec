"""What the web page must show for each test file, as the native tniff of the same tree gives it.

    python3 expect.py TNIFF DIR MAX_IMAGE_BYTES > cases.json

Writes PNG files of every colour type, bit depth and interlacing, and cut copies, into DIR beside
the .iff files already there, then runs tniff on each file in DIR. Files are taken as their first
bytes say, as the page and tniff take them:
  - a file tniff converts to PAM: the page's summary line, from the PAM's pixels as RGBA;
  - one it refuses as incomplete: the same from `--partial`, and the note tniff prints;
  - one it refuses otherwise: the message `tniff info` gives, which the page must give word for
    word;
  - every .iff file: the tile counts and damage `tniff info --json` gives, which the page's
    description must show;
  - a PNG file: the bytes `tniff convert y.png y.iff` writes, which the page's save must write,
    or the message it refuses the file with.
tniff runs with --max-image-size set to the page's limit, so that the limit's message matches.
"""
import hashlib
import json
import os
import random
import struct
import subprocess
import sys
import zlib


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def pack_row(samples, depth):
    if depth == 8:
        return bytes(samples)
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    out, bits, count = bytearray(), 0, 0
    for s in samples:
        bits = (bits << depth) | s
        count += depth
        if count == 8:
            out.append(bits)
            bits = count = 0
    if count:
        out.append(bits << (8 - count))
    return bytes(out)


def filter_rows(rows, bpp, rng):
    """Each row with a filter type drawn at random, so that the reader meets all five."""
    out, prior = bytearray(), bytes(len(rows[0]))
    for row in rows:
        kind = rng.randrange(5)
        out.append(kind)
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prior[i]
            c = prior[i - bpp] if i >= bpp else 0
            if kind == 0:
                v = x
            elif kind == 1:
                v = x - a
            elif kind == 2:
                v = x - b
            elif kind == 3:
                v = x - ((a + b) >> 1)
            else:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                v = x - (a if pa <= pb and pa <= pc else b if pb <= pc else c)
            out.append(v & 0xFF)
        prior = row
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def make_png(path, width, height, colour_type, depth, seed, interlace=False, trns=None, palette=None):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    rng = random.Random(seed)
    top = (len(palette) // 3 if palette else 1 << depth) - 1
    pixels = [[[rng.randint(0, top) for _ in range(channels)] for _ in range(width)] for _ in range(height)]
    if trns is not None and colour_type in (0, 2):
        # Some pixels carry the transparent colour exactly.
        key = trns
        for y in range(0, height, 3):
            pixels[y][y % width] = list(key)
    bpp = max(1, channels * depth // 8)

    def rows_of(xs, ys):
        return [pack_row([s for x in xs for s in pixels[y][x]], depth) for y in ys]

    if interlace:
        data = b""
        for x0, y0, dx, dy in ADAM7:
            xs, ys = list(range(x0, width, dx)), list(range(y0, height, dy))
            if xs and ys:
                data += filter_rows(rows_of(xs, ys), bpp, rng)
    else:
        data = filter_rows(rows_of(range(width), range(height)), bpp, rng)
    out = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                                                                 1 if interlace else 0))
    if palette:
        out += png_chunk(b"PLTE", bytes(palette))
    if trns is not None:
        if colour_type == 3:
            out += png_chunk(b"tRNS", bytes(trns))
        else:
            out += png_chunk(b"tRNS", b"".join(struct.pack(">H", v) for v in trns))
    out += png_chunk(b"IDAT", zlib.compress(data, 6)) + png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)


def make_pngs(directory):
    palette = [v for i in range(12) for v in (i * 20, 255 - i * 20, (i * 57) % 256)]
    cases = [
        ("gray8.png", 37, 23, 0, 8, {}),
        ("gray1.png", 41, 9, 0, 1, {}),
        ("gray4-trns.png", 19, 30, 0, 4, {"trns": (5,)}),
        ("gray16.png", 33, 17, 0, 16, {}),
        ("gray-alpha8.png", 31, 20, 4, 8, {}),
        ("gray-alpha16.png", 15, 15, 4, 16, {}),
        ("rgb8.png", 70, 66, 2, 8, {}),
        ("rgb8-trns.png", 25, 25, 2, 8, {"trns": (1, 2, 3)}),
        ("rgb16.png", 21, 12, 2, 16, {}),
        ("rgba8.png", 130, 70, 6, 8, {}),
        ("rgba16.png", 29, 31, 6, 16, {}),
        ("palette-trns.png", 45, 27, 3, 8, {"palette": palette, "trns": [0, 128, 255, 7]}),
        ("palette2.png", 23, 11, 3, 2, {"palette": palette[:12]}),
        ("rgba8-interlaced.png", 67, 35, 6, 8, {"interlace": True}),
        ("gray2-interlaced.png", 13, 21, 0, 2, {"interlace": True}),
        ("too-wide.png", 40000, 1, 0, 1, {}),  # more than the format's 32767 pixels on a side
    ]
    for seed, (name, width, height, colour_type, depth, extra) in enumerate(cases):
        make_png(os.path.join(directory, name), width, height, colour_type, depth, seed, **extra)
    # Cut short in the header, in the image data, and just before the end chunk.
    whole = open(os.path.join(directory, "rgba8.png"), "rb").read()
    for name, length in (("cut-header.png", 40), ("cut-data.png", len(whole) // 2), ("cut-end.png", len(whole) - 12)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(whole[:length])


def read_pam(path):
    data = open(path, "rb").read()
    head, _, pixels = data.partition(b"ENDHDR\n")
    fields = dict(line.split(" ", 1) for line in head.decode().splitlines()[1:] if " " in line)
    return int(fields["WIDTH"]), int(fields["HEIGHT"]), int(fields["DEPTH"]), fields.get("TUPLTYPE", ""), pixels


def summary_of_pam(path):
    """The page's line: RGBA rows from the top, gray as three equal channels, alpha 255 where the
    file has none; a file of depth alone shows its depth as gray."""
    width, height, depth, tuple_type, pixels = read_pam(path)
    colour = {"GRAYSCALE": 1, "RGB": 3, "RGB_ALPHA": 4}.get(tuple_type.replace("_DEPTH", ""), 0)
    if tuple_type == "DEPTH":
        colour = 0
    rgba = bytearray(width * height * 4)
    for i in range(width * height):
        p = pixels[i * depth:(i + 1) * depth]
        if colour >= 3:
            rgba[4 * i:4 * i + 3] = p[0:3]
            rgba[4 * i + 3] = p[3] if colour == 4 else 255
        else:
            rgba[4 * i:4 * i + 3] = bytes([p[0]]) * 3
            rgba[4 * i + 3] = 255
    return f"{width}x{height} {depth} sha256={hashlib.sha256(rgba).hexdigest()}"


def probes_of_pam(path):
    """Every plane of a few pixels (x, y from the top left): what the page's readout must say."""
    width, height, depth, tuple_type, pixels = read_pam(path)
    probes = []
    for x, y in ((0, 0), (width - 1, 0), (width // 3, height // 2), (width - 1, height - 1)):
        i = (y * width + x) * depth
        probes.append({"x": x, "y": y, "tuple": tuple_type, "values": list(pixels[i:i + depth])})
    return probes


def run(tniff, directory, limit, *args):
    done = subprocess.run([tniff, "--max-image-size", str(limit), *args], cwd=directory, capture_output=True,
                          text=True)
    return done.returncode, done.stderr


def main():
    tniff, directory, limit = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    make_pngs(directory)
    cases = []
    for name in sorted(os.listdir(directory)):
        case = {"file": name}
        with open(os.path.join(directory, name), "rb") as f:
            png = f.read(8) == b"\x89PNG\r\n\x1a\n"
        if not png:
            code, err = run(tniff, directory, limit, "convert", name, "expected.pam")
            if code != 0 and "--partial" in err:
                code, err = run(tniff, directory, limit, "convert", "--partial", name, "expected.pam")
                notes = [line[len("tniff: note: "):] for line in err.splitlines() if line.startswith("tniff: note: ")]
                case["note"] = notes[0].removesuffix("; the rest of the image is 0")
            if code == 0:
                pam = os.path.join(directory, "expected.pam")
                case["summary"] = summary_of_pam(pam)
                case.setdefault("note", "")
                case["probes"] = probes_of_pam(pam)
            info = json.loads(subprocess.run([tniff, "--max-image-size", str(limit), "info", "--json", name],
                                             cwd=directory, capture_output=True, text=True).stdout)[0]
            if code != 0:
                # The page opens every file that is not a PNG through the module, as `info` does.
                # Its limit cannot be raised, so its refusal names no way to raise it.
                case["summary"] = "error: " + info["error"].replace(" (--max-image-size raises it)", "")
            described = {}
            if "tileCounts" in info:
                counts = info["tileCounts"]
                described["Tiles"] = f"{counts['total']}: {counts['raw']} raw, {counts['compressed']} compressed"
            if "damage" in info:
                described["Damage"] = info["damage"]["reason"]
            if info.get("damagedTiles"):
                t = info["damagedTiles"][0]
                described["Damaged tiles"] = (f"{len(info['damagedTiles'])}: the first, tile {t['index']} ({t['kind']} "
                                              f"{t['x1']},{t['y1']}-{t['x2']},{t['y2']} at offset {t['offset']}): "
                                              f"{t['reason']}")
            case["described"] = described
        else:
            iff = os.path.splitext(name)[0] + ".iff"
            code, err = run(tniff, directory, limit, "convert", name, os.path.join("..", "saved-" + iff))
            if code != 0:
                errors = [line for line in err.splitlines() if not line.startswith("tniff: note: ")]
                case["saved"] = "error: " + errors[-1].removeprefix("tniff: ")
                cases.append(case)
                continue
            saved = open(os.path.join(directory, "..", "saved-" + iff), "rb").read()
            os.remove(os.path.join(directory, "..", "saved-" + iff))
            case["saved"] = f"{iff} {len(saved)} bytes sha256={hashlib.sha256(saved).hexdigest()}"
        cases.append(case)
    if os.path.exists(os.path.join(directory, "expected.pam")):
        os.remove(os.path.join(directory, "expected.pam"))
    json.dump(cases, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
