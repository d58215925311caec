"""Pillow support for tiled IFF images: ``import tarniff.pillow`` once, then

    >>> from PIL import Image
    >>> im = Image.open("render.iff")        # mode L, RGB or RGBA, found by its first bytes
    >>> im.info["depth"]                     # the depth buffer as an L image (near is dark), if any
    >>> im.info["dpi"]
    (72.0, 72.0)
    >>> im.save("copy.iff")                  # through the module: the same bytes as tniff writes

Files are read and written by the module, as tarniff.read and tarniff.write do; a file the
module refuses raises tarniff.Error from Image.open with tniff's words. A file cut short is
refused unless ``ImageFile.LOAD_TRUNCATED_IMAGES`` is true, when what there is is opened. Images
of mode L, LA, RGB and RGBA are saved (LA as gray and alpha); the module writes no depth buffer,
so saving an image opened with one warns that its depth is not saved.
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


class TarnIffImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = DESCRIPTION

    def _open(self) -> None:
        if not _accept(self.fp.read(12)):
            raise SyntaxError("not a tiled IFF image")
        self.fp.seek(0)
        # The module opens files by name: the file itself when Pillow was given one, else the
        # bytes of the stream.
        source = self.filename if isinstance(self.filename, (str, bytes)) and self.filename and \
            os.path.isfile(self.filename) else self.fp
        read = tarniff.read(source, partial=ImageFile.LOAD_TRUNCATED_IMAGES)
        channels = read.pixels.shape[2]
        if channels not in _MODES:
            raise tarniff.Error(f"{self.filename or '<stream>'}: the file holds only a depth buffer and no "
                                "colour image; tarniff.read gives it as an array")
        self.mode = _MODES[channels]
        self._size = (read.width, read.height)
        self.info["dpi"] = read.dpi
        if read.depth is not None:
            self.info["depth"] = Image.fromarray(read.depth, "L")
        if read.notes:
            self.info["notes"] = read.notes
        self._pixels = read.pixels
        self.tile = []

    def load(self):
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
