"""import tarniff.pillow: Pillow opens the files by name and by their first bytes, and saves them
through the module."""

import io
import shutil
import warnings

import numpy as np
import pytest
from PIL import Image, ImageFile

import tarniff
import tarniff.pillow  # noqa: F401  (registers the format)
from conftest import SAMPLE


# A file of depth alone (0 channels) opens as a gray image of its depth, with a note.
@pytest.mark.parametrize("channels,depth,mode", [(1, False, "L"), (3, True, "RGB"), (4, False, "RGBA"), (4, True, "RGBA"),
                                                 (0, True, "L")])
def test_open_gives_the_mode_pixels_and_depth(make_file, tniff_pam, channels, depth, mode):
    path = make_file(61, 45, channels, depth=depth, blocks=4)
    planes, _ = tniff_pam(path)
    shown = channels or 1
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size) == ("TARNIFF", mode, (61, 45))
        assert im.info["dpi"] == (72.0, 72.0)
        pixels = np.asarray(im)
        np.testing.assert_array_equal(pixels.reshape(45, 61, shown), planes[:, :, :shown])
        if depth:
            assert im.info["depth"].mode == "L" and im.info["depth"].size == (61, 45)
            np.testing.assert_array_equal(np.asarray(im.info["depth"]), planes[:, :, channels])
        else:
            assert "depth" not in im.info
        assert im.info.get("notes") == (None if channels else [f"{path}: the file holds only a depth buffer; it is "
                                                                "shown as a gray image (near is dark)"])


@pytest.mark.parametrize("how", ["other extension", "file object", "bytes in memory"])
def test_open_by_magic(tmp_path, how):
    renamed = tmp_path / "render.dat"
    shutil.copyfile(SAMPLE, renamed)
    source = {"other extension": str(renamed), "file object": open(renamed, "rb"),
              "bytes in memory": io.BytesIO(SAMPLE.read_bytes())}[how]
    with Image.open(source) as im:
        assert (im.format, im.mode) == ("TARNIFF", "RGBA")
        np.testing.assert_array_equal(np.asarray(im), tarniff.read(SAMPLE).pixels)
    if how == "file object":
        source.close()


@pytest.mark.parametrize("mode,channels", [("L", 1), ("LA", 2), ("RGB", 3), ("RGBA", 4)])
def test_save_gives_tniffs_bytes(tmp_path, tniff_save, mode, channels):
    rng = np.random.default_rng(channels)
    pixels = rng.integers(0, 256, size=(37, 70, channels), dtype=np.uint8)
    pixels[:20] = 9
    im = Image.fromarray(pixels[:, :, 0] if channels == 1 else pixels, mode)
    im.save(tmp_path / "by-name.iff")
    assert (tmp_path / "by-name.iff").read_bytes() == tniff_save(pixels)
    for name in ("TARNIFF", "IFF", "iff"):
        stream = io.BytesIO()
        im.save(stream, format=name)
        assert stream.getvalue() == tniff_save(pixels), name
    im.save(tmp_path / "by-format.dat", format="IFF")
    assert (tmp_path / "by-format.dat").read_bytes() == tniff_save(pixels)


# dpi given to save, and whether a warning says it is not saved: every file reads as 72.
SAVED_DPI = [((300, 300), True), ((72, 96), True), (150, True), ((72, 72), False), ([72.0, 72.0], False), (None, False)]


@pytest.mark.parametrize("dpi,warned", SAVED_DPI, ids=[str(d) for d, _ in SAVED_DPI])
def test_a_resolution_the_format_cannot_store_is_warned_of(tmp_path, dpi, warned):
    im = Image.new("RGB", (9, 7), (10, 20, 30))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        im.save(tmp_path / "res.iff", **({} if dpi is None else {"dpi": dpi}))
    messages = [str(w.message) for w in caught]
    if warned:
        given = tuple(dpi) if isinstance(dpi, tuple) else (dpi, dpi)
        assert messages == [f"{tmp_path / 'res.iff'}: the format stores no resolution; dpi={given} is not saved "
                            "(every file reads as 72 pixels per inch)"]
        assert caught[0].filename == __file__  # said where save was called
    else:
        assert messages == []
    assert tarniff.read(tmp_path / "res.iff").pixels.shape == (7, 9, 3)


@pytest.mark.parametrize("mode", ["1", "P", "I", "F", "CMYK"])
def test_modes_the_format_cannot_hold_are_refused(tmp_path, mode):
    with pytest.raises(OSError, match=f"cannot write mode {mode} as TARNIFF"):
        Image.new(mode, (4, 4)).save(tmp_path / "x.iff")


def test_a_refused_or_cut_file_raises_tniffs_words(tmp_path):
    (tmp_path / "text.iff").write_bytes(b"FOR4\x00\x00\x00\x10CIMGnot really")
    with pytest.raises(tarniff.Error, match=r"text\.iff: the file ends too early \(truncated\) \(eofErr, -39\)$"):
        Image.open(tmp_path / "text.iff")
    (tmp_path / "cut.iff").write_bytes(SAMPLE.read_bytes()[:60000])
    with pytest.raises(tarniff.Error, match=r"cut\.iff: truncated: the module read only") as caught:
        Image.open(tmp_path / "cut.iff")
    # Pillow's own switch, not read's argument, which Image.open does not take.
    assert str(caught.value).endswith(" (set ImageFile.LOAD_TRUNCATED_IMAGES = True to open what there is)")
    assert "partial" not in str(caught.value)
    ImageFile.LOAD_TRUNCATED_IMAGES = True
    try:
        with Image.open(tmp_path / "cut.iff") as im:
            np.testing.assert_array_equal(np.asarray(im), tarniff.read(tmp_path / "cut.iff", partial=True).pixels)
            assert "truncated" in im.info["notes"][0]
    finally:
        ImageFile.LOAD_TRUNCATED_IMAGES = False


def test_saving_an_image_opened_with_depth_warns_that_depth_is_not_saved(tmp_path):
    with Image.open(SAMPLE) as im:
        with pytest.warns(UserWarning, match=r"copy\.iff: the depth buffer is not saved; the format's writer stores none"):
            im.save(tmp_path / "copy.iff")
    assert tarniff.read(tmp_path / "copy.iff").depth is None


def sources(path, how):
    return {"name": str(path), "file object": open(path, "rb"), "bytes in memory": io.BytesIO(path.read_bytes())}[how]


@pytest.mark.parametrize("how", ["name", "file object", "bytes in memory"])
def test_open_reads_only_the_header_and_load_decodes(monkeypatch, make_file, how):
    path = make_file(61, 45, 3, depth=True, blocks=4)
    decoded = []
    read = tarniff._read
    monkeypatch.setattr(tarniff, "_read", lambda *args, **kwargs: decoded.append(1) or read(*args, **kwargs))
    with Image.open(sources(path, how)) as im:
        assert (im.mode, im.size, im.info["dpi"]) == ("RGB", (61, 45), (72.0, 72.0))
        assert decoded == []
        im.load()
        assert decoded == [1]
        expected = tarniff.read(path)
        np.testing.assert_array_equal(np.asarray(im), expected.pixels)
        np.testing.assert_array_equal(np.asarray(im.info["depth"]), expected.depth)
        assert im.info["dpi"] == expected.dpi


# A whole file, and a cut one (refused at open in the module's words, but only after the size check).
BOMBS = {
    "whole": lambda data: data,
    "cut": lambda data: data[:60000],
}


@pytest.mark.parametrize("make", BOMBS.values(), ids=BOMBS.keys())
@pytest.mark.parametrize("how", ["name", "file object", "bytes in memory"])
def test_the_image_size_check_comes_before_any_decoding(monkeypatch, tmp_path, make, how):
    path = tmp_path / "large.iff"
    path.write_bytes(make(SAMPLE.read_bytes()))
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 360 * 240 // 2 - 1)  # the sample is 360 x 240
    for decoder in ("read", "_read"):
        monkeypatch.setattr(tarniff, decoder, lambda *args, **kwargs: pytest.fail("the file was decoded"))
    with pytest.raises(Image.DecompressionBombError, match="86400 pixels"):
        Image.open(sources(path, how))
