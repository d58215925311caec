"""Pillow support for tiled IFF images: ``import tarniff.pillow`` once, then

    >>> from PIL import Image
    >>> im = Image.open("render.iff")        # mode L, RGB or RGBA, found by its first bytes
    >>> im.info["dpi"]
    (72.0, 72.0)
    >>> im.load(); im.info["depth"]          # the depth buffer as an L image (near is dark), if any
    >>> im.save("copy.iff")                  # through the module: the same bytes as tniff writes
    >>> im.save(stream, format="IFF")        # or format="TARNIFF"

Image.open reads only the file's chunk headers, for its size and mode, so that Pillow's check of
the image's size (MAX_IMAGE_PIXELS) refuses a huge image before anything is decoded; load()
reads the file through the module, as tarniff.read and tarniff.write do. A file the module
refuses raises tarniff.Error with tniff's words: from Image.open when its chunk headers show the
damage, else from load(); one that cannot be opened raises what open() would (FileNotFoundError,
...). A file cut short is refused unless ``ImageFile.LOAD_TRUNCATED_IMAGES`` is true, when what
there is is opened. A file that holds only a depth buffer opens as an L image of its depth, with
a note in info["notes"]. Images of mode L, LA, RGB and RGBA are saved (LA as gray and alpha);
the module writes no depth buffer and the format no resolution, so saving an image opened with
depth, or with a dpi other than the 72 every file reads as, warns of what is not saved.
"""

from __future__ import annotations

import io
import os
import warnings

import numpy as np
from PIL import Image, ImageFile

import tarniff

FORMAT = "TARNIFF"
#: Other names save(..., format=) takes for the format.
SAVE_ALIASES = ("IFF",)
DESCRIPTION = "Tiled IFF image"
EXTENSIONS = (".iff",)
_MODES = {1: "L", 3: "RGB", 4: "RGBA"}
#: The resolution every file reads as: the format stores none.
_DPI = (72.0, 72.0)
#: What a refusal of a file cut short tells a Pillow user to do.
_TRUNCATED_HINT = "set ImageFile.LOAD_TRUNCATED_IMAGES = True to open what there is"


def _mode(channels: int, depth: bool):
    """Pillow's mode for a file of these colour channels; a file of depth alone shows its depth
    as gray. None for what no mode holds."""
    return "L" if channels == 0 and depth else _MODES.get(channels)


def _accept(prefix: bytes) -> bool:
    """A "FOR4" group of type "CIMG": the bytes the module identifies a file by."""
    return len(prefix) >= 12 and prefix[:4] == b"FOR4" and prefix[8:12] == b"CIMG"


class _Stream(io.BytesIO):
    """The bytes of a stream Pillow was given, read once, under the stream's name for messages."""

    def __init__(self, fp) -> None:
        super().__init__(fp.read())
        name = getattr(fp, "name", None)
        self.name = name if isinstance(name, (str, bytes)) else "<stream>"


class TarnIffImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = DESCRIPTION

    def _open(self) -> None:
        if not _accept(self.fp.read(12)):
            raise SyntaxError("not a tiled IFF image")
        self.fp.seek(0)
        # The module opens files by name: the file itself when Pillow was given one, else the
        # bytes of the stream, read once here and kept for load().
        if isinstance(self.filename, (str, bytes)) and self.filename and os.path.isfile(self.filename):
            self._source = self.filename
        else:
            self._source = _Stream(self.fp)
        # Only the chunk headers are read here, so that Pillow's image-size check (its guard
        # against decompression bombs, which follows _open) refuses a huge image before a pixel
        # of it is decoded; load() decodes.
        header = tarniff._header(self._stream())
        size = (header["width"], header["height"])
        mode = _mode(header["channels"], header["depth"])
        if header["whole"] and mode is not None:
            self.mode = mode
            self._size = size
            self.info["dpi"] = _DPI  # what the module gives every file; load() sets it again
            self.tile = []
            return
        # A damaged file is refused here in the module's words, as a whole one would be when it
        # is loaded; what size its header gives is checked first all the same.
        if header["has_header"] and hasattr(Image, "_decompression_bomb_check"):
            Image._decompression_bomb_check(size)
        self._decode()

    def _stream(self):
        """The source for the next pass over the file: its name, or its bytes from the start."""
        if isinstance(self._source, _Stream):
            self._source.seek(0)
        return self._source

    def _decode(self) -> None:
        """Reads the file through the module; its pixels wait in self._pixels for load()."""
        # Pillow's own size check (MAX_IMAGE_PIXELS) came at open; the library's memory limit has
        # no switch in Pillow, so a refusal by it says nothing of how to raise it.
        read = tarniff._read(self._stream(), ImageFile.LOAD_TRUNCATED_IMAGES, False, 0, _TRUNCATED_HINT, "")
        self._source = None
        mode, size = _MODES[read.pixels.shape[2]], (read.width, read.height)
        if self.mode and (self.mode, self.size) != (mode, size):
            raise tarniff.Error(f"{self.filename or '<stream>'}: the module read a {size[0]} x {size[1]} "
                                f"{mode} image where the file's header gives {self.size[0]} x {self.size[1]} "
                                f"{self.mode}")
        self.mode = mode
        self._size = size
        self.info["dpi"] = read.dpi
        if read.depth is not None:
            self.info["depth"] = Image.fromarray(read.depth, "L")
        if read.notes:
            self.info["notes"] = read.notes
        self._pixels = read.pixels
        self.tile = []

    def load(self):
        if getattr(self, "_source", None) is not None:
            self._decode()
        pixels = getattr(self, "_pixels", None)
        if pixels is not None:
            # Decoded already: the pixels go to Pillow as raw bytes (the raw decoder's arguments
            # without an orientation, so that Pillow does not map the .iff file as raw pixels).
            self._pixels = None
            if self.fp is not None and self._exclusive_fp:
                self.fp.close()
            self.fp = io.BytesIO(pixels.tobytes())
            self.tile = [("raw", (0, 0) + self.size, 0, (self.mode, 0))]
        return super().load()


def _save(im: Image.Image, fp, filename) -> None:
    if im.mode not in ("L", "LA", "RGB", "RGBA"):
        raise OSError(f"cannot write mode {im.mode} as {FORMAT}; convert it to L, LA, RGB or RGBA first")
    tarniff.write(fp, np.asarray(im))
    name = (filename.decode(errors="replace") if isinstance(filename, bytes) else str(filename)) or "<stream>"
    if "depth" in im.info:  # an image opened from a file with depth, saved again
        warnings.warn(tarniff._the_module().depth_not_saved(name), stacklevel=3)
    dpi = im.encoderinfo.get("dpi")
    if dpi is not None:
        dpi = tuple(dpi) if isinstance(dpi, (tuple, list)) else (dpi, dpi)
        if dpi != _DPI:
            warnings.warn(f"{name}: the format stores no resolution; dpi={dpi} is not saved (every file reads "
                          f"as {_DPI[0]:g} pixels per inch)", stacklevel=3)


Image.register_open(FORMAT, TarnIffImageFile, _accept)
Image.register_save(FORMAT, _save)
for _alias in SAVE_ALIASES:
    Image.register_save(_alias, _save)
Image.register_extensions(FORMAT, EXTENSIONS)
Image.register_mime(FORMAT, "image/x-tarniff")
