"""Tiled IFF images (a "FOR4" group of type "CIMG": colour, alpha and a depth buffer, as 3D
renderers write them) as NumPy arrays.

Every file is read and written by the TarnIFF module file, module/TnIffFormat.so, shipped inside
this package and called through its ENTRYPOINT exactly as the tniff command, the GIMP plug-in and
image editors call it: the same checks, limits and messages, and the same bytes written.

    >>> import tarniff
    >>> image = tarniff.read("render.iff")
    >>> image.pixels.shape, image.pixels.dtype          # H x W x C, C = 1, 3 or 4
    ((240, 360, 4), dtype('uint8'))
    >>> image.depth.shape                               # the depth buffer, near is dark
    (240, 360)
    >>> tarniff.write("copy.iff", image.pixels)         # colour and alpha; no depth is written

read        open a file (path, bytes or binary file object) into an Image
write       save an H x W or H x W x 1..4 uint8 array
info        what `tniff info --json` says about a file, as a dict
Image       pixels, depth, dpi, notes, complete and tile counts of a file read
Error       a failure, with tniff's words and the module's code (an OSError); a file that
            cannot be opened raises one that is also FileNotFoundError, PermissionError or
            IsADirectoryError, as open() would

``import tarniff.pillow`` lets Pillow open and save these files too.
"""

from __future__ import annotations

import errno as _errno
import io
import json
import numbers
import os
from typing import Any, BinaryIO, NamedTuple, Optional, Tuple, Union

import numpy as np

__all__ = ["read", "write", "info", "Image", "Tiles", "Error", "FileNotFound", "PermissionDenied",
           "IsADirectory", "MODULE_PATH"]
__version__ = "0.1.0"

#: The module file every read and write goes through.
MODULE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "module", "TnIffFormat.so")


class Error(OSError):
    """A file the module refused, could not read or write, or that is not whole.

    ``str(error)`` is the line tniff prints (without its "tniff: " prefix), for example
    ``render.iff: not an image in this format (formatCannotRead, -30501)``. ``code`` is the
    module's result code and ``code_name`` the host's name for it ("formatCannotRead"); both are
    0 and None for a failure the module did not report (a file cut short, a file not found).
    A file that cannot be opened also has ``errno``, ``strerror`` and ``filename`` set as open()
    sets them, and is one of the classes below.
    """

    def __init__(self, message: str, code: int = 0, code_name: Optional[str] = None) -> None:
        super().__init__(message)
        self.code = code
        self.code_name = code_name

    def __str__(self) -> str:
        return str(self.args[0])

    def __reduce__(self):
        state = {"errno": self.errno, "strerror": self.strerror, "filename": self.filename}
        return (type(self), (self.args[0], self.code, self.code_name), state)


# A file that cannot be opened raises what open() raises for it, so that ``except
# FileNotFoundError`` and ``except OSError`` work as they do with open() and Pillow, and what
# callers caught before, ``except tarniff.Error``, still catches it.
class FileNotFound(Error, FileNotFoundError):
    """There is no file of that name (ENOENT)."""


class PermissionDenied(Error, PermissionError):
    """The file may not be read (EACCES, EPERM)."""


class IsADirectory(Error, IsADirectoryError):
    """The name is a directory's (EISDIR)."""


_SYSTEM_ERRORS = {_errno.ENOENT: FileNotFound, _errno.EACCES: PermissionDenied,
                  _errno.EPERM: PermissionDenied, _errno.EISDIR: IsADirectory}


def _error(message: str, code: int, code_name: Optional[str], system_error: int) -> Error:
    """The exception for a failure of the library (the bridge raises what this gives): the class
    open() raises for the system's error number, if there is one, else Error."""
    error = _SYSTEM_ERRORS.get(system_error, Error)(message, code, code_name)
    if system_error:
        error.errno = system_error
        error.strerror = os.strerror(system_error)
    return error


from . import _tarniff  # noqa: E402  (Error must exist before the bridge can raise it)

_module: Optional[_tarniff.Module] = None


def _the_module() -> _tarniff.Module:
    global _module
    if _module is None:
        _module = _tarniff.Module(MODULE_PATH)
    return _module


class Tiles(NamedTuple):
    """Tiles the module handed over, and how many of each kind the file's header announces."""

    colour: int
    colour_expected: int
    depth: int
    depth_expected: int


class Image:
    """A file as the module read it.

    pixels    H x W x C uint8 array, rows from the top: C = 1 gray, 3 RGB, 4 RGB and alpha
              (straight, not premultiplied); a file that holds only a depth buffer gives its
              depth as gray (C = 1, the memory of depth itself), and notes says so
    depth     H x W uint8 array (0 nearest or no depth, 255 farthest, scaled per file), or None

    Both arrays are the module's image itself, handed over without a copy: channel after
    channel, as the host keeps it, so pixels is not C-contiguous (a pixel's channels lie one
    channel's size apart). NumPy, Pillow and most libraries take it as it is;
    numpy.ascontiguousarray(image.pixels) makes an interleaved copy where one is needed.
    dpi       (horizontal, vertical) resolution in pixels per inch
    notes     what a reader should know (with partial=True, how the image is incomplete)
    complete  every tile the header announces was read, and they cover every pixel
    tiles     Tiles(colour, colour_expected, depth, depth_expected)
    raw_depth with read(..., raw_depth=True), for a file with depth: the H x W uint32 array of
              the depth values as the file stores them, unscaled, rows from the top; a value
              whose most significant byte is 0 marks a pixel without depth (0 where no tile
              reached); raw_depth.view(numpy.float32) reads the bits as the floats renderers
              write. Decoded by the package's own reader of the file, not from depth. Else None.
    """

    __slots__ = ("pixels", "depth", "dpi", "notes", "complete", "tiles", "raw_depth")

    def __init__(self, pixels: np.ndarray, depth: Optional[np.ndarray], dpi: Tuple[float, float],
                 notes: list, complete: bool, tiles: Tiles,
                 raw_depth: Optional[np.ndarray] = None) -> None:
        self.pixels = pixels
        self.depth = depth
        self.dpi = dpi
        self.notes = notes
        self.complete = complete
        self.tiles = tiles
        self.raw_depth = raw_depth

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    def __repr__(self) -> str:
        h, w, c = self.pixels.shape
        kind = {1: "gray", 3: "RGB", 4: "RGBA"}.get(c, f"{c} channels")
        return (f"<tarniff.Image {w} x {h}, {kind}, depth {'yes' if self.depth is not None else 'no'}"
                f"{'' if self.complete else ', INCOMPLETE'}>")


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]


def _name_of(source: Any, fallback: str) -> bytes:
    """What messages call a file object: its name when it has one."""
    name = getattr(source, "name", None)
    return os.fsencode(name) if isinstance(name, (str, bytes)) else os.fsencode(fallback)


class _MemoryFile:
    """An anonymous in-memory file, reachable by a path while it is open: the module saves into
    a file by name, and a file object gets the bytes once the save is complete."""

    def __init__(self) -> None:
        self.fd = os.memfd_create("tarniff", os.MFD_CLOEXEC)

    @property
    def path(self) -> str:
        return f"/proc/self/fd/{self.fd}"

    def contents(self) -> bytes:
        size = os.fstat(self.fd).st_size
        return os.pread(self.fd, size, 0) if size else b""

    def __enter__(self) -> "_MemoryFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        os.close(self.fd)


def _path_of(path: Any) -> bytes:
    """A path as the bytes the system takes (any it allows, as tniff takes them); one holding a
    NUL byte raises ValueError, as open() does, rather than naming the file the NUL cuts off."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"tarniff: embedded null byte in the path {encoded!r}")
    return encoded


def _bytes_of(data: Any) -> memoryview:
    """The bytes of a buffer as one C-contiguous run of bytes: a strided or reversed view (a
    file object's read() may give one) is copied into one, in the order it gives its items."""
    view = memoryview(data)
    return view.cast("B") if view.c_contiguous else memoryview(view.tobytes())


def _needs_binary(what: str, mode: str, gave: str) -> TypeError:
    return TypeError(f"{what} needs a binary file: open it in binary mode ({mode!r}), not as text ({gave})")


def _open(source: Source, with_path, with_bytes):
    """with_path(path, name) for a path, else with_bytes(data, name) with the bytes of source;
    name is what messages call the file. A file that cannot be opened raises with filename set
    to source, as open() sets it."""
    if isinstance(source, (str, os.PathLike)):
        path = _path_of(source)
        try:
            return with_path(path, path)
        except Error as error:
            if error.errno is not None:
                error.filename = source
            raise
    if isinstance(source, (bytes, bytearray, memoryview)):
        return with_bytes(_bytes_of(source), b"<bytes>")
    if isinstance(source, io.TextIOBase):
        raise _needs_binary("tarniff", "rb", f"a {type(source).__name__}")
    if hasattr(source, "read"):
        try:
            data = source.read()
        except UnicodeDecodeError as error:  # a text reader of another kind, decoding the file
            raise _needs_binary("tarniff", "rb", f"its read() decodes: {error}") from error
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise _needs_binary("tarniff", "rb", f"its read() gave {type(data).__name__}")
        return with_bytes(_bytes_of(data), _name_of(source, "<stream>"))
    raise TypeError(f"tarniff: the source must be a path, bytes or a binary file object, not {type(source).__name__}")


def _limit(max_image_size: Optional[int]) -> int:
    """max_image_size as the bridge takes it: 0 for the default limit."""
    if max_image_size is None:
        return 0
    if isinstance(max_image_size, bool) or not isinstance(max_image_size, numbers.Integral):
        raise TypeError(f"tarniff: max_image_size is a count of bytes, not {type(max_image_size).__name__}")
    if not 0 < max_image_size < 1 << 64:
        raise ValueError(f"tarniff: max_image_size must be a positive count of bytes, not {max_image_size}")
    return int(max_image_size)


#: What read's refusals tell its caller to do, in read's own terms.
_READ_PARTIAL = "use partial=True to read what there is"
_READ_RAISES_LIMIT = "max_image_size= raises it"


def read(source: Source, partial: bool = False, raw_depth: bool = False,
         max_image_size: Optional[int] = None) -> Image:
    """Reads an .iff file through the module.

    source is a path, the file's bytes, or a binary file object (read to its end); a path
    holding a NUL byte raises ValueError, as open() does, and a text-mode file object TypeError.
    A file that cannot be opened raises what open() would (FileNotFoundError, PermissionError,
    IsADirectoryError: each also an Error). A file the module refuses raises Error with tniff's
    message. A file cut short, whose tiles leave pixels uncovered, or with a damaged tile (a
    compressed tile whose data does not fill it) raises Error unless partial is true; then the
    image holds what there is (0 where no tile reached), complete is False and notes says what is
    missing. raw_depth: also the depth values as stored (Image.raw_depth). An image that needs
    more memory than max_image_size bytes (by default tniff's limit: half the machine's memory,
    at least 1 GiB) is refused before its memory is taken. The GIL is released while the module
    works.
    """
    return _read(source, partial, raw_depth, _limit(max_image_size), _READ_PARTIAL, _READ_RAISES_LIMIT)


def _read(source: Source, partial: bool, raw_depth: bool, max_image_bytes: int, partial_hint: str,
          raise_limit: str) -> Image:
    """read, with the advice its refusals give (partial_hint for an incomplete image, raise_limit
    for one above the limit) in the caller's terms."""
    module = _the_module()

    def opened(found: dict, name: bytes) -> Image:
        notes = [found["depth_only_note"]] if found["depth_only"] else []
        if not found["complete"]:
            if not partial:
                raise Error(f"{found['incompleteness']} ({partial_hint})")
            notes.append(found["incompleteness"] + "; the rest of the image is 0")
        return Image(found["pixels"], found["depth"], found["dpi"], notes, found["complete"],
                     Tiles(*found["tiles"]), found["raw_depth"])
    return _open(source,
                 lambda path, name: opened(module.open(path, name, raw_depth, max_image_bytes, raise_limit), name),
                 lambda data, name: opened(module.open_bytes(data, name, raw_depth, max_image_bytes, raise_limit),
                                           name))


def _header(source: Source) -> dict:
    """What the file's chunk headers say, read without the module and without decoding: keys
    recognised, has_header, whole (no damage found), width, height, channels (0, 1, 3 or 4) and
    depth. Only a file that cannot be opened raises (Error)."""
    return _open(source, lambda path, name: _tarniff.layout(path, name),
                 lambda data, name: _tarniff.layout_bytes(data))


#: Channels of the last axis write takes, and what they are.
_CHANNELS = {1: "gray", 2: "gray and alpha", 3: "RGB", 4: "RGB and alpha"}


def _to_uint8(dtype: np.dtype) -> str:
    """How pixels of dtype become uint8 without losing their range: a plain .astype would turn
    floats from 0 to 1 black and keep only the low byte of 16-bit values."""
    if dtype.kind == "f":
        return "for values from 0 to 1: (numpy.clip(pixels, 0, 1) * 255).round().astype(numpy.uint8)"
    if dtype.kind == "b":
        return "for True as white: (pixels * 255).astype(numpy.uint8)"
    if dtype == np.uint16:
        return "for values from 0 to 65535: (pixels / 257).round().astype(numpy.uint8)"
    if dtype.kind in "iu":
        return "for values from 0 to 255: numpy.clip(pixels, 0, 255).astype(numpy.uint8)"
    return "convert them to 8 bits per channel first"


def _pixels_to_save(pixels: Any) -> np.ndarray:
    """pixels checked for write: TypeError or ValueError before anything is written; an array
    that is not C-contiguous is copied into one that is."""
    if not isinstance(pixels, np.ndarray):
        raise TypeError(f"tarniff.write: pixels must be a NumPy array of uint8, not {type(pixels).__name__}")
    if pixels.dtype != np.uint8:
        raise TypeError(f"tarniff.write: pixels must be uint8 (8 bits per channel), not {pixels.dtype}; "
                        f"{_to_uint8(pixels.dtype)}")
    if pixels.ndim not in (2, 3):
        raise ValueError(f"tarniff.write: pixels must be H x W or H x W x C, not of {pixels.ndim} "
                         f"dimensions (shape {pixels.shape})")
    if pixels.ndim == 3 and pixels.shape[2] not in _CHANNELS:
        raise ValueError(f"tarniff.write: the last axis holds 1 to 4 channels (gray, gray and alpha, RGB, "
                         f"RGB and alpha), not {pixels.shape[2]} (shape {pixels.shape})")
    height, width = pixels.shape[:2]
    if width == 0 or height == 0:
        raise ValueError(f"tarniff.write: the image is empty (shape {pixels.shape})")
    return np.ascontiguousarray(pixels)


def write(target: Union[str, "os.PathLike[str]", BinaryIO], pixels: np.ndarray) -> None:
    """Saves pixels through the module as an .iff file.

    pixels is an H x W (gray) or H x W x C uint8 array: C = 1 gray, 2 gray and alpha, 3 RGB,
    4 RGB and alpha. Any other dtype or shape raises TypeError or ValueError before anything is
    written (the message of another dtype says how to scale it to uint8). An array that is not C-contiguous (a slice, a transpose) is copied into one that
    is. A size the format cannot hold (more than 32767 pixels on a side, more than 65535 tiles
    of 64 x 64) raises Error in tniff's words, also before anything is written. The module
    stores gray as three equal channels and writes no depth buffer.

    target is a path or a binary file object. A path is written as tniff writes its outputs:
    under a temporary name beside it, renamed over it once complete, so a failure leaves no
    partial file and never replaces an existing one. A file object gets the bytes only once the
    module has saved them all. Failures raise Error. The GIL is released while the module works.
    """
    pixels = _pixels_to_save(pixels)
    if isinstance(target, (str, bytes, os.PathLike)):
        path = _path_of(target)
        _the_module().save(pixels, path, path, True)
        return
    if not hasattr(target, "write"):
        raise TypeError(f"tarniff.write: the target must be a path or a binary file object, not "
                        f"{type(target).__name__}")
    if isinstance(target, io.TextIOBase):
        raise _needs_binary("tarniff.write", "wb", f"a {type(target).__name__}")
    name = _name_of(target, "<stream>")
    with _MemoryFile() as memory:
        _the_module().save(pixels, memory.path, name, False)
        target.write(memory.contents())


def info(source: Source, max_image_size: Optional[int] = None) -> dict:
    """What `tniff info --json` says about the file, as a dict: what the module described and
    handed over ("image", "read") and the file's layout from its chunk headers ("header",
    "chunks", "tiles", "tileCounts", ..., and "damage" for a file that is not whole). A file
    the module refuses raises Error, one that cannot be opened what read raises; an incomplete
    one is described ("read": {"complete": false, ...}). max_image_size as for read.
    """
    module = _the_module()
    limit = _limit(max_image_size)
    return _open(source, lambda path, name: json.loads(module.info(path, name, limit, _READ_RAISES_LIMIT)),
                 lambda data, name: json.loads(module.info_bytes(data, name, limit, _READ_RAISES_LIMIT)))
