"""tarniff.write saves what tniff saves from the same pixels, refuses what it cannot save before
writing anything, and writes a path whole or not at all."""

import io
import os

import numpy as np
import pytest

import tarniff


def pixels_of(shape, seed=3):
    # Runs of equal pixels as well as noise, so that both raw and compressed tiles are written.
    rng = np.random.default_rng(seed)
    pixels = rng.integers(0, 256, size=shape, dtype=np.uint8)
    pixels[: shape[0] // 2] = pixels[: shape[0] // 2, :1]
    return pixels


# shape, and what a read gives back: the module saves gray as three equal channels, with alpha
# after them
SHAPES = [(70, 90), (70, 90, 1), (33, 65, 2), (64, 64, 3), (100, 129, 4), (1, 1, 4), (1, 200, 3), (130, 2, 1)]


def as_read(pixels):
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    if pixels.shape[2] <= 2:
        gray = np.repeat(pixels[:, :, :1], 3, axis=2)
        return np.concatenate([gray, pixels[:, :, 1:]], axis=2)
    return pixels


@pytest.mark.parametrize("shape", SHAPES, ids=["x".join(map(str, s)) for s in SHAPES])
def test_write_then_read_round_trips(tmp_path, shape):
    pixels = pixels_of(shape)
    path = tmp_path / "out.iff"
    tarniff.write(path, pixels)
    image = tarniff.read(path)
    np.testing.assert_array_equal(image.pixels, as_read(pixels))
    assert image.depth is None and image.complete


@pytest.mark.parametrize("shape", SHAPES, ids=["x".join(map(str, s)) for s in SHAPES])
def test_write_gives_tniffs_bytes(tmp_path, tniff_save, shape):
    pixels = pixels_of(shape, seed=sum(shape))
    tarniff.write(str(tmp_path / "out.iff"), pixels)
    assert (tmp_path / "out.iff").read_bytes() == tniff_save(pixels)


def test_a_file_object_gets_the_same_bytes(tmp_path):
    pixels = pixels_of((50, 70, 4))
    tarniff.write(tmp_path / "out.iff", pixels)
    stream = io.BytesIO()
    tarniff.write(stream, pixels)
    assert stream.getvalue() == (tmp_path / "out.iff").read_bytes()


# Arrays that are not C-contiguous are copied into one that is, and saved as that copy.
NOT_CONTIGUOUS = {
    "transposed": lambda p: np.ascontiguousarray(p.transpose(1, 0, 2)).transpose(1, 0, 2),
    "every other column": lambda p: np.repeat(p, 2, axis=1)[:, ::2],
    "reversed rows": lambda p: np.ascontiguousarray(p[::-1])[::-1],
    "fortran order": np.asfortranarray,
    "channel slice": lambda p: np.concatenate([p, p[:, :, :1]], axis=2)[:, :, :4],
}


@pytest.mark.parametrize("make", NOT_CONTIGUOUS.values(), ids=NOT_CONTIGUOUS.keys())
def test_arrays_that_are_not_contiguous_are_saved_as_their_copy(tmp_path, make):
    pixels = pixels_of((40, 50, 4))
    strided = make(pixels)
    assert not strided.flags.c_contiguous
    tarniff.write(tmp_path / "strided.iff", strided)
    tarniff.write(tmp_path / "plain.iff", pixels)
    assert (tmp_path / "strided.iff").read_bytes() == (tmp_path / "plain.iff").read_bytes()


REFUSED = [
    ([[1, 2], [3, 4]], TypeError, "NumPy array of uint8, not list"),
    (np.zeros((4, 4, 3), np.float32), TypeError, "uint8 .8 bits per channel., not float32"),
    (np.zeros((4, 4), np.uint16), TypeError, "not uint16"),
    (np.zeros((4, 4), bool), TypeError, "not bool"),
    (np.zeros(16, np.uint8), ValueError, "not of 1 dimensions"),
    (np.zeros((2, 4, 4, 3), np.uint8), ValueError, "not of 4 dimensions"),
    (np.zeros((4, 4, 5), np.uint8), ValueError, "1 to 4 channels .* not 5"),
    (np.zeros((4, 4, 0), np.uint8), ValueError, "not 0"),
    (np.zeros((0, 4, 3), np.uint8), ValueError, "empty"),
]


@pytest.mark.parametrize("pixels,error,words", REFUSED, ids=[r[2] for r in REFUSED])
def test_refused_before_anything_is_written(tmp_path, pixels, error, words):
    existing = tmp_path / "existing.iff"
    existing.write_bytes(b"keep me")
    for target in (tmp_path / "new.iff", existing):
        with pytest.raises(error, match=words):
            tarniff.write(target, pixels)
    assert sorted(os.listdir(tmp_path)) == ["existing.iff"]
    assert existing.read_bytes() == b"keep me"


# Pixels of another dtype, and the gray levels the conversion a refusal suggests must give them:
# full scale stays full scale (a plain .astype(numpy.uint8) turns floats from 0 to 1 black).
CONVERTED = {
    "float32 from 0 to 1": (np.array([0, 0.25, 0.5, 1, 1.5, -0.2], np.float32), [0, 64, 128, 255, 255, 0]),
    "float64 from 0 to 1": (np.array([0, 1 / 255, 0.999, 1]), [0, 1, 255, 255]),
    "float16": (np.array([0, 0.5, 1], np.float16), [0, 128, 255]),
    "uint16": (np.array([0, 257, 32896, 65535], np.uint16), [0, 1, 128, 255]),
    "bool": (np.array([False, True]), [0, 255]),
    "int64 from 0 to 255": (np.array([0, 7, 255, 300, -4]), [0, 7, 255, 255, 0]),
    "int16 from 0 to 255": (np.array([0, 128, 255, 1000], np.int16), [0, 128, 255, 255]),
    "uint32": (np.array([0, 200, 255], np.uint32), [0, 200, 255]),
}


@pytest.mark.parametrize("values,gray", CONVERTED.values(), ids=CONVERTED.keys())
def test_a_refused_dtype_is_told_a_conversion_that_keeps_its_range(tmp_path, values, gray):
    pixels = np.tile(values, (3, 1))
    with pytest.raises(TypeError, match=f"must be uint8 .8 bits per channel., not {pixels.dtype}; for ") as caught:
        tarniff.write(tmp_path / "refused.iff", pixels)
    expression = str(caught.value).rsplit(": ", 1)[1]
    converted = eval(expression, {"numpy": np, "pixels": pixels})
    tarniff.write(tmp_path / "converted.iff", converted)
    np.testing.assert_array_equal(tarniff.read(tmp_path / "converted.iff").pixels[0, :, 0], gray)


def test_a_text_mode_target_is_refused_before_anything_is_written(tmp_path):
    with open(tmp_path / "out.iff", "w") as text:
        with pytest.raises(TypeError, match=r"^tarniff\.write needs a binary file: open it in binary mode \('wb'\)"):
            tarniff.write(text, pixels_of((8, 8, 3)))
    assert (tmp_path / "out.iff").read_bytes() == b""


# Sizes the format cannot hold: tniff's words, before the pixels are copied (np.zeros takes
# memory only when it is touched).
TOO_LARGE = [((1, 40000), "40000 by 1 is too large for the format: at most 32767 pixels on a side"),
             ((8193, 32767), "it needs 66048 tiles of 64 x 64, and a file holds at most 65535")]


@pytest.mark.parametrize("shape,words", TOO_LARGE, ids=["side", "tiles"])
def test_sizes_the_format_cannot_hold_are_refused_in_tniffs_words(tmp_path, shape, words):
    with pytest.raises(tarniff.Error, match=words):
        tarniff.write(tmp_path / "big.iff", np.zeros(shape, np.uint8))
    assert os.listdir(tmp_path) == []


def test_a_failed_write_leaves_nothing_and_replaces_nothing(tmp_path):
    directory = tmp_path / "folder.iff"
    directory.mkdir()
    with pytest.raises(tarniff.Error) as caught:
        tarniff.write(directory, pixels_of((8, 8, 3)))
    assert str(caught.value) == f"{directory}: cannot write: it is a directory"
    assert os.listdir(directory) == [] and sorted(os.listdir(tmp_path)) == ["folder.iff"]
    with pytest.raises(tarniff.Error, match="No such file or directory"):
        tarniff.write(tmp_path / "missing" / "out.iff", pixels_of((8, 8, 3)))


def test_a_replaced_file_is_replaced_whole(tmp_path):
    path = tmp_path / "out.iff"
    path.write_bytes(b"old")
    os.chmod(path, 0o600)
    tarniff.write(path, pixels_of((20, 30, 3)))
    assert tarniff.read(path).pixels.shape == (20, 30, 3)
    assert os.stat(path).st_mode & 0o777 == 0o600
    assert os.listdir(tmp_path) == ["out.iff"]
