"""Exact-round-trip PNG and BMP images: open, read and write pixels, copy, save.

An image opened from a PNG keeps its chunk sequence, its non-image chunks byte for byte,
the filter type of every row and its IDAT sizes when saved again; one opened from a BMP
keeps its resolution and colour-count fields. `SimpleImage.open` prints one report line
per image on standard output.

    >>> from Vextaro.simpleImage_ext import SimpleImage
    >>> image = SimpleImage.open("photo.png")
    [SimpleImage] Opened image: 640x480, channels=3
    >>> image.putPixel((0, 0), (255, 0, 0))
    >>> image.save("edited.png")
"""
# Type information for the compiled module. Parameter names and defaults are
# those of the module's own function objects (tests/python/test_stub.py checks
# them); where the module carries text annotations, the types here are what
# those texts name.
import os
import struct as struct
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import (
    Dict,
    Iterable,
    Iterator,
    List as List,
    Mapping,
    NoReturn,
    Optional,
    Protocol,
    Sequence as Sequence,
    SupportsIndex,
    Tuple as Tuple,
    Union as Union,
)

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
    """An RGB image with an optional alpha plane, and what it keeps of its file.

    SimpleImage(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None,
    png_filters=None) builds one from R, G, B bytes, rows top to bottom; every buffer is
    copied. `SimpleImage.open(source)` decodes a PNG or BMP file.

    Raises ValueError when a buffer's length does not match the dimensions, TypeError
    or OverflowError for dimensions that are not 32-bit integers.

        >>> image = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
        >>> image.getPixel((1, 0))
        (0, 0, 255)

    Images cannot be pickled or copied with the copy module: use `copy()`, and hand other
    processes paths or bytes.
    """

    width: int
    """Width in pixels."""
    height: int
    """Height in pixels."""
    _pixels: bytearray
    """The image's own buffer of width * height * 3 bytes, R, G, B per pixel, rows top to
    bottom: changing it changes the image (numpy can view it in place)."""
    _alpha: Optional[bytearray]
    """None, or width * height alpha bytes; getPixel and putPixel never touch it."""
    _png_chunks: Optional[List[_Chunk]]
    """For a PNG, (type, data, length) of every chunk in file order; IDAT entries carry
    None as data. An image with chunks is saved as PNG with them."""
    _png_filters: Optional[bytearray]
    """For a PNG, the filter type (0 to 4) of every row, applied again when saving."""
    _bmp_header: Optional[_BmpHeader]
    """For a BMP, {"xppm", "yppm", "clrUsed", "clrImportant"}. An image without PNG
    chunks but with this is saved as BMP: set it to None to save a PNG."""
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
    def size(self) -> Tuple[int, int]:
        """(width, height), read-only."""
    @staticmethod
    def _streamToImage(stream: _ReadableSeekable) -> _DecodedImage: ...
    # A subclass's open() makes an instance of the subclass (an image given as the source
    # comes back as it is, whatever its class).
    @classmethod
    def open(cls, source: ImageInput) -> Self:
        """Decodes an 8-bit RGB or RGBA PNG, or an uncompressed 24-bit BMP, from a path
        (str or Path) or the file's bytes; an image given as source is returned as it is.
        Prints "[SimpleImage] Opened image: WxH, channels=N" on standard output.

        The format is decided by the data, not the name. Raises TypeError for another
        kind of source, OSError (FileNotFoundError, ...) when the file cannot be read,
        ValueError for data it does not read ("Unsupported image format", "Only 8-bit PNG
        images are supported", "Corrupted PNG chunk detected", ...), zlib.error for image
        data that is not a zlib stream, struct.error for a truncated header.

            >>> image = SimpleImage.open("photo.png")
            [SimpleImage] Opened image: 640x480, channels=4
            >>> same = SimpleImage.open(Path("photo.png").read_bytes())
            [SimpleImage] Opened image: 640x480, channels=4
        """
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """(r, g, b) of the pixel at (x, y), x from the left, y from the top.

        Raises ValueError("Pixel coordinate out of bounds") outside the image, TypeError
        when coords is not a tuple.

            >>> SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255])).getPixel((1, 0))
            (0, 0, 255)
        """
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Sets the pixel at (x, y) to (r, g, b), each kept modulo 256 (300 -> 44, -1 -> 255).
        The alpha plane is left alone.

        Raises ValueError("Pixel coordinate out of bounds") outside the image, ValueError
        for a colour of other than three values, TypeError when coords is not a tuple.
        """
    def copy(self) -> SimpleImage:
        """An independent image with copies of every buffer: changing one leaves the other alone."""
    def save(self, path: str, *, compress_level: Optional[SupportsIndex] = None) -> None:
        """Writes the format the image carries, whatever the name says: with `_png_chunks`
        a PNG with those chunks, the row filters of `_png_filters` and the source's IDAT
        sizes; otherwise with `_bmp_header` a BMP; otherwise a plain PNG.

        compress_level chooses how PNG data is compressed. None (the default): the
        module's `zlib.compress` at its default level, the same bytes as always. 0 to 12:
        the module's own deflater at that level, from 0 (stored) and 1 (fastest) to 12
        (smallest), run without the interpreter lock; 1 is about 20 times as fast as the
        default, 6 about 4 times at a slightly smaller size, 12 the smallest files.
        Chunks, filter types and IDAT sizes are kept as in any save.

        Raises TypeError when path is not a str (pass str(a_path)) or compress_level is
        not an integer (bool, float, str), ValueError for a level outside 0-12 or a level
        given for an image that saves as BMP, for buffers that do not match the
        dimensions or a filter type above 4, OSError when the file cannot be written. A
        failed PNG save leaves an existing file untouched.

            >>> image.save("out.png", compress_level=1)   # fast, a little larger
            >>> image._bmp_header = None   # an image opened from a BMP, saved as PNG
            >>> image.save("out.png")
        """
    def saveBmp(self, path: str) -> None:
        """Writes a 24-bit bottom-up BMP, with the resolution and colour counts of
        `_bmp_header` where it has them; the alpha plane is dropped.

        Raises TypeError when path is not a str, ValueError for pixels that do not match
        the dimensions, struct.error for header values outside the file's fields, OSError
        when the file cannot be written.
        """
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
    *,
    compress_level: Optional[SupportsIndex] = None,
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
    *,
    compress_level: Optional[SupportsIndex] = None,
) -> None: ...
def _writeBmp(
    path: _FilePath, width: int, height: int, pixels: _ByteData, meta: Optional[Mapping[str, int]] = None
) -> None: ...
