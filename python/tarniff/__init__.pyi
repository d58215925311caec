import os
from typing import BinaryIO, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
MODULE_PATH: str

Source = Union[str, os.PathLike[str], bytes, bytearray, memoryview, BinaryIO]
Target = Union[str, bytes, os.PathLike[str], os.PathLike[bytes], BinaryIO]

class Error(OSError):
    code: int
    code_name: Optional[str]
    def __init__(self, message: str, code: int = ..., code_name: Optional[str] = ...) -> None: ...

class FileNotFound(Error, FileNotFoundError): ...
class PermissionDenied(Error, PermissionError): ...
class IsADirectory(Error, IsADirectoryError): ...

class Tiles(NamedTuple):
    colour: int
    colour_expected: int
    depth: int
    depth_expected: int

class Image:
    pixels: npt.NDArray[np.uint8]
    depth: Optional[npt.NDArray[np.uint8]]
    dpi: Tuple[float, float]
    notes: List[str]
    complete: bool
    tiles: Tiles
    raw_depth: Optional[npt.NDArray[np.uint32]]
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

def read(source: Source, partial: bool = ..., raw_depth: bool = ...,
         max_image_size: Optional[int] = ...) -> Image: ...
def write(target: Target, pixels: npt.NDArray[np.uint8]) -> None: ...
def info(source: Source, max_image_size: Optional[int] = ...) -> dict: ...
