"""Failures raise tarniff.Error with tniff's words and the module's code; a cut file is read only
when asked to."""

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

