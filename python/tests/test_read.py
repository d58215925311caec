"""tarniff.read gives what tniff gives for the same file: the same pixels and depth, from every
kind of source."""

import codecs
import io
import resource
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import tarniff
from conftest import SAMPLE

# width, height, colour channels, depth, tile form, tile side, blocks (runs of one colour, so
# that tiles compress), shuffled tile order
SHAPES = [
    (90, 70, 1, False, "smallest", 32, 6, False),
    (77, 64, 3, False, "raw", 64, 1, False),
    (130, 65, 3, False, "smallest", 64, 8, True),
    (100, 100, 4, False, "smallest", 48, 5, False),
    (96, 80, 4, True, "smallest", 32, 8, True),
    (40, 33, 1, True, "raw", 16, 1, False),
    (65, 3, 3, True, "smallest", 64, 4, False),
    (31, 17, 0, True, "raw", 8, 1, False),
    (1, 1, 4, False, "raw", 64, 1, False),
    (129, 1, 1, False, "smallest", 64, 16, False),
]


@pytest.mark.parametrize("width,height,channels,depth,form,tile,blocks,shuffled", SHAPES,
                         ids=[f"{w}x{h}-c{c}{'-depth' if d else ''}-{f}-t{t}" for w, h, c, d, f, t, _, _ in SHAPES])
def test_read_equals_tniff(make_file, tniff_pam, tniff_info, width, height, channels, depth, form, tile, blocks,
                           shuffled):
    path = make_file(width, height, channels, depth=depth, form=form, tile=tile, blocks=blocks, shuffled=shuffled)
    counts = tniff_info(path)["tileCounts"]
    assert counts["compressed"] > 0 if form == "smallest" else counts["compressed"] == 0
    planes, _ = tniff_pam(path)
    image = tarniff.read(path)
    # A file of depth alone is shown as tniff shows it: a gray image of its depth, with a note.
    shown = channels or 1
    assert image.pixels.shape == (height, width, shown)
    assert image.pixels.dtype == np.uint8
    np.testing.assert_array_equal(image.pixels, planes[:, :, :shown])
    if depth:
        assert image.depth.shape == (height, width)
        np.testing.assert_array_equal(image.depth, planes[:, :, channels])
    else:
        assert image.depth is None
        assert planes.shape[2] == channels
    assert image.complete
    assert image.notes == ([] if channels else
                           [f"{path}: the file holds only a depth buffer; it is shown as a gray image (near is dark)"])
    announced = -(-width // tile) * -(-height // tile)
    assert image.tiles == (announced if channels else 0, announced if channels else 0,
                           announced if depth else 0, announced if depth else 0)


def test_sample_render(tniff_pam):
    planes, kind = tniff_pam(SAMPLE)
    image = tarniff.read(SAMPLE)
    assert kind == "RGB_ALPHA_DEPTH"
    np.testing.assert_array_equal(image.pixels, planes[:, :, :4])
    np.testing.assert_array_equal(image.depth, planes[:, :, 4])
    assert (image.width, image.height) == (360, 240)
    assert image.dpi == (72.0, 72.0)
    assert image.tiles == tarniff.Tiles(24, 24, 24, 24)
    assert image.raw_depth is None


def test_raw_depth_is_what_the_file_stores(make_file):
    # The sample's stored values, scaled by the module's rule, give its depth bytes.
    image = tarniff.read(SAMPLE, raw_depth=True)
    raw = image.raw_depth
    assert raw.dtype == np.uint32 and raw.shape == (240, 360)
    present = (raw >> 24) != 0
    low, high = int(raw[present].min()), int(raw[present].max())
    scaled = np.where(present, np.minimum((raw.astype(np.uint64) - low) * 256 // (high - low), 255), 0)
    np.testing.assert_array_equal(scaled.astype(np.uint8), image.depth)
    assert 0 < raw.view(np.float32)[present].min() < raw.view(np.float32)[present].max()
    assert tarniff.read(make_file(30, 20, 3), raw_depth=True).raw_depth is None


@pytest.mark.parametrize("kind", ["str", "path", "bytes", "bytearray", "memoryview", "file", "bytesio"])
def test_every_kind_of_source_reads_the_same(kind):
    expected = tarniff.read(SAMPLE)
    data = SAMPLE.read_bytes()
    if kind == "file":
        with open(SAMPLE, "rb") as file:
            image = tarniff.read(file)
    else:
        source = {"str": str(SAMPLE), "path": SAMPLE, "bytes": data, "bytearray": bytearray(data),
                  "memoryview": memoryview(data), "bytesio": io.BytesIO(data)}[kind]
        image = tarniff.read(source)
    np.testing.assert_array_equal(image.pixels, expected.pixels)
    np.testing.assert_array_equal(image.depth, expected.depth)


# Text-mode file objects: what decodes the file fails with TypeError, not with an error of the
# decoding (the sample is not UTF-8).
TEXT_SOURCES = {
    "text file, UTF-8": lambda: open(SAMPLE, "r", encoding="utf-8"),
    "text file, Latin-1": lambda: open(SAMPLE, "r", encoding="latin-1"),
    "StringIO": lambda: io.StringIO("FOR4"),
    "codecs reader": lambda: codecs.getreader("utf-8")(open(SAMPLE, "rb")),
}


@pytest.mark.parametrize("make", TEXT_SOURCES.values(), ids=TEXT_SOURCES.keys())
@pytest.mark.parametrize("call", ["read", "info"])
def test_text_file_objects_are_refused(make, call):
    with make() as text:
        with pytest.raises(TypeError, match=rf"^tarniff needs a binary file: open it in binary mode \('rb'\)"):
            getattr(tarniff, call)(text)


def test_other_sources_are_refused():
    with pytest.raises(TypeError, match="path, bytes or a binary file object"):
        tarniff.read(42)


def test_arrays_outlive_the_image_and_each_other():
    image = tarniff.read(SAMPLE)
    pixels, depth = image.pixels, image.depth
    del image
    copy = tarniff.read(SAMPLE)
    np.testing.assert_array_equal(pixels, copy.pixels)
    np.testing.assert_array_equal(depth, copy.depth)
    pixels[:] = 0  # writable, and not shared with another read
    assert copy.pixels.any()


def test_reads_in_threads_take_turns_and_agree(make_file):
    # The GIL is released while the module works; reads from several threads must not mix.
    paths = [make_file(70 + i, 50, 4, depth=True, blocks=3, seed=i) for i in range(4)]
    expected = [tarniff.read(path) for path in paths]
    failures = []

    def run(index):
        for _ in range(10):
            got = tarniff.read(paths[index])
            if not (np.array_equal(got.pixels, expected[index].pixels) and np.array_equal(got.depth, expected[index].depth)):
                failures.append(index)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# Daemon threads inside tarniff.read when the interpreter ends: the interpreter ends such a
# thread when it wants the GIL back, and that must not take the process down with it.
DAEMONS_AT_EXIT = """
import sys, threading, time
import tarniff
def loop():
    while True:
        tarniff.read(sys.argv[1])
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(1.5)
print("main thread done", flush=True)
"""


def test_daemon_threads_inside_a_read_let_the_interpreter_end():
    run = subprocess.run([sys.executable, "-P", "-c", DAEMONS_AT_EXIT, str(SAMPLE)], capture_output=True,
                         text=True, timeout=120)
    assert (run.returncode, run.stdout, run.stderr) == (0, "main thread done\n", "")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def test_two_hundred_reads_do_not_grow_the_process(make_file):
    # 512 x 512 RGBA and depth: a read that kept its image (1.25 MiB) or its planes would add
    # 250 MiB over the loop.
    path = make_file(512, 512, 4, depth=True, blocks=5)
    for _ in range(20):
        tarniff.read(path)
    before = resident_bytes()
    for _ in range(200):
        image = tarniff.read(path)
        del image
    grown = resident_bytes() - before
    assert grown < 16 << 20, f"the process grew by {grown >> 20} MiB over 200 reads"
