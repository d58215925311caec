"""Failures raise tarniff.Error with tniff's words and the module's code, and a file that cannot be
opened what open() raises for it; a cut file is read only when asked to."""

import errno
import json
import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarniff
from conftest import SAMPLE


def damaged(tmp_path, name, change):
    data = bytearray(SAMPLE.read_bytes())
    change(data)
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return path


# What is wrong with the file, and the host code name the module reports (None: not the module's)
DAMAGE = {
    "not this format": (lambda d: d.__setitem__(slice(0, 4), b"RIFF"), "formatCannotRead"),
    "another group type": (lambda d: d.__setitem__(slice(8, 12), b"ILBM"), "formatCannotRead"),
    "header width 0": (lambda d: d.__setitem__(slice(d.index(b"TBHD") + 8, d.index(b"TBHD") + 12), bytes(4)),
                       "formatCannotRead"),
    "tile outside the image": (lambda d: d.__setitem__(slice(d.index(b"RGBA") + 12, d.index(b"RGBA") + 14),
                                                       b"\x7f\xff"), "formatCannotRead"),
    "empty": (lambda d: d.__delitem__(slice(0, None)), "eofErr"),
    "eleven bytes": (lambda d: d.__delitem__(slice(11, None)), "eofErr"),
}


@pytest.mark.parametrize("change,code_name", DAMAGE.values(), ids=DAMAGE.keys())
def test_a_refused_file_raises_tniffs_words(tmp_path, tniff_error, change, code_name):
    path = damaged(tmp_path, "damaged.iff", change)
    with pytest.raises(tarniff.Error) as caught:
        tarniff.read(path)
    error = caught.value
    assert str(error) == tniff_error(path)
    assert error.code_name == code_name
    assert str(error).endswith(f"({code_name}, {error.code})")
    assert isinstance(error, OSError)


def test_the_name_a_message_gives(tmp_path):
    data = SAMPLE.read_bytes()[:11]
    with pytest.raises(tarniff.Error, match=r"^<bytes>: too short to be an image in this format \(eofErr, -39\)$"):
        tarniff.read(data)
    with open(damaged(tmp_path, "short.iff", lambda d: d.__delitem__(slice(11, None))), "rb") as file:
        with pytest.raises(tarniff.Error, match=r"short\.iff: too short"):
            tarniff.read(file)
    with pytest.raises(tarniff.Error, match="missing.iff: cannot open: No such file or directory$") as caught:
        tarniff.read(tmp_path / "missing.iff")
    assert caught.value.code == 0 and caught.value.code_name is None
    with pytest.raises(tarniff.Error, match="cannot open: it is a directory$"):
        tarniff.read(tmp_path)


# Cut after this many bytes of the sample: inside the first colour tiles, in the depth tiles
CUTS = [20000, 61000, 120000]


@pytest.mark.parametrize("length", CUTS)
def test_a_cut_file_raises_unless_partial(tmp_path, tniff_error, tniff_pam, length):
    path = damaged(tmp_path, "cut.iff", lambda d: d.__delitem__(slice(length, None)))
    with pytest.raises(tarniff.Error) as caught:
        tarniff.read(path)
    words = tniff_error(path)  # "...: truncated: ... (use --partial to convert what there is)"
    assert str(caught.value) == words.replace("--partial to convert", "partial=True to read")
    assert "truncated: the module read only" in str(caught.value)

    image = tarniff.read(path, partial=True)
    planes, _ = tniff_pam(path, partial=True)
    np.testing.assert_array_equal(image.pixels, planes[:, :, :4])
    np.testing.assert_array_equal(image.depth, planes[:, :, 4])
    assert not image.complete
    assert image.tiles.colour < 24 or image.tiles.depth < 24
    assert image.tiles.colour_expected == image.tiles.depth_expected == 24
    assert image.notes == [str(caught.value).split(" (use partial")[0] + "; the rest of the image is 0"]


def zero_run_stream(data):
    """Zeroes the pixel data of the sample's first compressed colour tile: one-byte literal
    packets then, which end long before the tile's planes are full."""
    at = 104
    while True:
        at = data.index(b"RGBA", at)
        size = int.from_bytes(data[at + 4:at + 8], "big")
        x1, y1, x2, y2 = (int.from_bytes(data[at + 8 + 2 * i:at + 10 + 2 * i], "big") for i in range(4))
        if size - 8 < (x2 - x1 + 1) * (y2 - y1 + 1) * 4:
            data[at + 16:at + 8 + size] = bytes(size - 8)
            return
        at += 8 + size


def test_a_damaged_tile_raises_unless_partial(tmp_path, tniff_error, tniff_pam):
    path = damaged(tmp_path, "damaged.iff", zero_run_stream)
    with pytest.raises(tarniff.Error) as caught:
        tarniff.read(path)
    assert str(caught.value) == tniff_error(path).replace("--partial to convert", "partial=True to read")
    assert ": damaged: tile " in str(caught.value)
    image = tarniff.read(path, partial=True)
    planes, _ = tniff_pam(path, partial=True)
    np.testing.assert_array_equal(image.pixels, planes[:, :, :4])
    assert not image.complete and image.tiles == tarniff.Tiles(24, 24, 24, 24)


def test_tiles_that_leave_pixels_uncovered_are_incomplete(make_file, tmp_path, tniff_error):
    # A whole file whose header announces one tile too few.
    path = make_file(70, 64, 3, tile=64)
    data = bytearray(path.read_bytes())
    count = data.index(b"TBHD") + 8 + 18  # width, height, auxA, auxB, flags, auxC: then the count
    assert data[count:count + 2] == b"\x00\x02"
    data[count:count + 2] = b"\x00\x01"
    path.write_bytes(bytes(data))
    with pytest.raises(tarniff.Error, match="incomplete: the header announces 1 tile, and no tile covers") as caught:
        tarniff.read(path)
    assert str(caught.value) == tniff_error(path).replace("--partial to convert", "partial=True to read")
    assert not tarniff.read(path, partial=True).complete



# A file that cannot be opened: how it is made, the builtin class open() raises for it (None:
# none of those), the errno and tniff's words.
UNOPENABLE = {
    "missing": (lambda folder: folder / "missing.iff", FileNotFoundError, errno.ENOENT,
                "cannot open: No such file or directory"),
    "in a missing folder": (lambda folder: folder / "gone" / "a.iff", FileNotFoundError, errno.ENOENT,
                            "cannot open: No such file or directory"),
    "a directory": (lambda folder: folder, IsADirectoryError, errno.EISDIR, "cannot open: it is a directory"),
    "a FIFO": (lambda folder: os.mkfifo(folder / "fifo.iff") or folder / "fifo.iff", None, errno.EINVAL,
               "cannot open: not a regular file"),
}


@pytest.mark.parametrize("make,builtin,number,words", UNOPENABLE.values(), ids=UNOPENABLE.keys())
@pytest.mark.parametrize("call", ["read", "info"])
@pytest.mark.parametrize("kind", [str, Path])
def test_a_file_that_cannot_be_opened_raises_what_open_raises(tmp_path, make, builtin, number, words, call, kind):
    source = kind(make(tmp_path))
    with pytest.raises(OSError) as caught:
        getattr(tarniff, call)(source)
    error = caught.value
    assert isinstance(error, tarniff.Error)  # what callers caught before still catches it
    if builtin is not None:
        assert isinstance(error, builtin)
    else:
        assert type(error) is tarniff.Error
    assert (error.errno, error.strerror, error.filename) == (number, os.strerror(number), source)
    assert str(error) == f"{source}: {words}"
    assert (error.code, error.code_name) == (0, None)
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.errno, again.strerror, again.filename) == \
        (type(error), str(error), error.errno, error.strerror, error.filename)


UNREADABLE_CHILD = """
import json, sys
import tarniff
try:
    tarniff.read(sys.argv[1])
except PermissionError as error:
    print(json.dumps([type(error).__name__, isinstance(error, tarniff.Error), error.errno, error.strerror,
                      error.filename, str(error)]))
"""


def test_an_unreadable_file_raises_permission_error(tmp_path):
    path = tmp_path / "secret.iff"
    shutil.copyfile(SAMPLE, path)
    path.chmod(0)
    tmp_path.chmod(0o711)
    # The superuser reads any file: the read runs as nobody then.
    user = 65534 if os.geteuid() == 0 else None
    run = subprocess.run([sys.executable, "-P", "-c", UNREADABLE_CHILD, str(path)], capture_output=True, text=True,
                         user=user)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == ["PermissionDenied", True, errno.EACCES, os.strerror(errno.EACCES), str(path),
                                      f"{path}: cannot open: Permission denied"]


# The image-size limit read and info take, against the sample (360 x 240, 5 planes: 432000
# bytes), given as a path or as bytes; None: the default.
@pytest.mark.parametrize("limit,refused", [(432000, False), (431999, True), (1000, True), (None, False)])
@pytest.mark.parametrize("call", ["read", "info"])
@pytest.mark.parametrize("as_bytes", [False, True], ids=["path", "bytes"])
def test_max_image_size_is_the_limit_and_its_refusal_says_so(limit, refused, call, as_bytes):
    source = SAMPLE.read_bytes() if as_bytes else SAMPLE
    if not refused:
        getattr(tarniff, call)(source, max_image_size=limit)
        return
    with pytest.raises(tarniff.Error) as caught:
        getattr(tarniff, call)(source, max_image_size=limit)
    assert str(caught.value) == (
        f"{'<bytes>' if as_bytes else SAMPLE}: 360 by 240 with 5 planes needs 432000 bytes, more than the "
        f"image-size limit of {limit} bytes (max_image_size= raises it) (memFullErr, -108)")
    assert "--max-image-size" not in str(caught.value)


@pytest.mark.parametrize("limit,error", [(0, ValueError), (-1, ValueError), (1 << 64, ValueError),
                                         (1.5, TypeError), ("432000", TypeError), (True, TypeError)])
def test_max_image_size_is_a_positive_count_of_bytes(limit, error):
    with pytest.raises(error, match="max_image_size"):
        tarniff.read(SAMPLE, max_image_size=limit)
