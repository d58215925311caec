"""Pillow support for tiled IFF images: ``import tarniff.pillow`` once, then

    >>> from PIL import Image
    >>> im = Image.open("render.iff")        # mode L, RGB or RGBA, found by its first bytes
    >>> im.info["dpi"]
    (72.0, 72.0)
    >>> im.load(); im.info["depth"]          # the depth buffer as an L image (near is dark), if any
    >>> im.save("copy.iff")                  # through the module: the same bytes as tniff writes

Image.open reads only the file's chunk headers, for its size and mode, so that Pillow's check of
the image's size (MAX_IMAGE_PIXELS) refuses a huge image before anything is decoded; load()
reads the file through the module, as tarniff.read and tarniff.write do. A file the module
refuses raises tarniff.Error with tniff's words: from Image.open when its chunk headers show the
damage, else from load(). A file cut short is refused unless ``ImageFile.LOAD_TRUNCATED_IMAGES``
is true, when what there is is opened. Images of mode L, LA, RGB and RGBA are saved (LA as gray
and alpha); the module writes no depth buffer, so saving an image opened with one warns that its
depth is not saved.
"""

from __future__ import annotations

import io
import os
import warnings

import numpy as np
from PIL import Image, ImageFile

import tarniff

FORMAT = "TARNIFF"
DESCRIPTION = "Tiled IFF image"
EXTENSIONS = (".iff",)
_MODES = {1: "L", 3: "RGB", 4: "RGBA"}


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
        if header["whole"] and header["channels"] in _MODES:
            self.mode = _MODES[header["channels"]]
            self._size = size
            self.info["dpi"] = (72.0, 72.0)  # what the module gives every file; load() sets it again
            self.tile = []
            return
        # A damaged file, or one of only depth, is refused here in the module's words, as a whole
        # one would be when it is loaded; what size its header gives is checked first all the same.
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
        read = tarniff.read(self._stream(), partial=ImageFile.LOAD_TRUNCATED_IMAGES)
        self._source = None
        channels = read.pixels.shape[2]
        if channels not in _MODES:
            raise tarniff.Error(f"{self.filename or '<stream>'}: the file holds only a depth buffer and no "
                                "colour image; tarniff.read gives it as an array")
        mode, size = _MODES[channels], (read.width, read.height)
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
    if "depth" in im.info:  # an image opened from a file with depth, saved again
        name = filename.decode(errors="replace") if isinstance(filename, bytes) else str(filename)
        warnings.warn(tarniff._the_module().depth_not_saved(name or "<stream>"), stacklevel=3)


Image.register_open(FORMAT, TarnIffImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_extensions(FORMAT, EXTENSIONS)
Image.register_mime(FORMAT, "image/x-tarniff")
