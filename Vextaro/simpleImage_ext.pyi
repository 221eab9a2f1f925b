# Type information for the compiled module. Parameter names and defaults are
# those of the module's own function objects (tests/python/test_stub.py checks
# them); where the module carries text annotations, the types here are what
# those texts name.
import os
import struct as struct
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import Dict, Iterable, Iterator, List as List, Mapping, NoReturn, Optional, Protocol
from typing import Sequence as Sequence, SupportsIndex, Tuple as Tuple, Union as Union

from typing_extensions import Buffer, Self, TypeAlias, disjoint_base

class _Readable(Protocol):
    def read(self, n: int, /) -> bytes: ...

class _ReadableSeekable(_Readable, Protocol):
    def seek(self, position: int, /) -> object: ...

# Anything the writers hand to the built-in open() for "wb".
_FilePath: TypeAlias = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
# What bytearray() reads item by item: a list of 0..255, a range, a 1-D numpy array, ...
class _SizedInts(Protocol):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

# Anything bytearray() accepts and len() measures. Buffer alone would not do: before
# Python 3.12 numpy's stubs give an array no __buffer__.
_ByteData: TypeAlias = Union[Buffer, _SizedInts]
# The writers fill and read alpha planes and filter lists in place, so these must be writable.
_WritableBytes: TypeAlias = Union[bytearray, memoryview]
# One preserved PNG chunk: (type, data, data length); IDAT entries carry None as data.
_Chunk: TypeAlias = Tuple[bytes, Optional[bytes], int]
# "xppm", "yppm", "clrUsed", "clrImportant" of a BMP file.
_BmpHeader: TypeAlias = Dict[str, int]
# width, height, pixels, channels, alpha, chunks, BMP header, PNG filter types
_DecodedImage: TypeAlias = Tuple[
    int, int, bytearray, int, Optional[bytearray], Optional[List[_Chunk]], Optional[_BmpHeader], Optional[bytearray]
]

# A C type with its own instance layout: it cannot share a subclass with another such base.
@disjoint_base
class SimpleImage:
    width: int
    height: int
    _pixels: bytearray
    _alpha: Optional[bytearray]
    _png_chunks: Optional[List[_Chunk]]
    _png_filters: Optional[bytearray]
    _bmp_header: Optional[_BmpHeader]
    # The checks and copies happen when the instance is made, before any subclass __init__.
    def __new__(
        cls,
        width: int,
        height: int,
        pixels: _ByteData,
        alpha: Optional[_ByteData] = None,
        png_chunks: Optional[Iterable[_Chunk]] = None,
        bmp_header: Optional[Union[Mapping[str, int], Iterable[Tuple[str, int]]]] = None,
        png_filters: Optional[_ByteData] = None,
    ) -> Self: ...
    @property
    def size(self) -> Tuple[int, int]: ...
    @staticmethod
    def _streamToImage(stream: _ReadableSeekable) -> _DecodedImage: ...
    # A subclass's open() makes an instance of the subclass (an image given as the source
    # comes back as it is, whatever its class).
    @classmethod
    def open(cls, source: ImageInput) -> Self: ...
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]: ...
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None: ...
    def copy(self) -> SimpleImage: ...
    def save(self, path: str) -> None: ...
    def saveBmp(self, path: str) -> None: ...
    # Pickling and copy.copy()/deepcopy() are refused; copy() is the way to duplicate.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

PNG_SIGNATURE: bytes
ImageInput: TypeAlias = Union[str, Path, bytes, bytearray, SimpleImage]

def _readChunk(stream: _Readable) -> Tuple[bytes, bytes]: ...
def _makeChunk(chunkType: bytes, data: bytes) -> bytes: ...
def _writePng(
    path: _FilePath,
    width: int,
    height: int,
    pixels: _ByteData,
    alpha: Optional[_WritableBytes] = None,
    filter_types: Optional[_WritableBytes] = None,
) -> None: ...
def _split_idat_payload(data: bytes, lengths: List[int]) -> List[bytes]: ...
def _writePngWithChunks(
    path: _FilePath,
    width: int,
    height: int,
    pixels: _ByteData,
    alpha: Optional[_WritableBytes],
    chunks: Optional[Sequence[_Chunk]],
    filter_types: Optional[_WritableBytes] = None,
) -> None: ...
def _writeBmp(
    path: _FilePath, width: int, height: int, pixels: _ByteData, meta: Optional[Mapping[str, int]] = None
) -> None: ...
