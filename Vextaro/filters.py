"""A PNG filter type for every row of an image, chosen for a smaller file.

For each row the type (0 to 4) whose filtered bytes, read as signed bytes, have the
smallest sum of absolute values: the choice mainstream PNG encoders make; ties go to
the lower type. With numpy it is vectorised there; without it, the same choice is made
on Python integers holding many bytes each, a few times slower but needing nothing.
"""
from __future__ import annotations

import functools
from collections.abc import Callable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .simpleImage_ext import SimpleImage

__all__ = ["filter_types", "filter_types_numpy", "filter_types_portable"]

# Rows are weighed a block at a time, so that the temporaries stay small (and in cache).
BLOCK_BYTES = 1 << 18
FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")


def _scanlines(image: SimpleImage) -> tuple[memoryview, int, int]:
    """(the rows as the PNG encoder filters them, bytes per pixel, bytes per row)."""
    width, height = image.size
    if image._alpha is None:
        return memoryview(image._pixels), 3, width * 3
    rows = bytearray(width * height * 4)
    rows[0::4], rows[1::4], rows[2::4] = image._pixels[0::3], image._pixels[1::3], image._pixels[2::3]
    rows[3::4] = image._alpha
    return memoryview(rows), 4, width * 4


# A signed byte's absolute value, for every byte.
_COST = bytes(min(v, 256 - v) for v in range(256))


def filter_types_portable(image: SimpleImage) -> bytearray:
    """The choice on Python integers: every byte in a 16-bit lane of its own, so that sums
    and differences of a few bytes never reach the next lane."""
    rows, bpp, stride = _scanlines(image)
    height = image.height
    # Each row goes in behind bpp zero bytes, the pixels the filters see left of the image.
    padded = stride + bpp
    step = max(1, BLOCK_BYTES // padded)
    chosen = bytearray()
    above = bytes(padded)
    for top in range(0, height, step):
        count = min(step, height - top)
        block = bytearray(padded * (count + 1))
        block[:padded] = above
        for r in range(count):
            start = (top + r) * stride
            block[(r + 1) * padded + bpp:(r + 2) * padded] = rows[start:start + stride]
        above = bytes(block[-padded:])
        n = padded * count
        lanes = _Lanes(n)
        x = lanes.spread(block[padded:])
        a = lanes.spread(bytes(bpp) + block[padded:-bpp])
        b = lanes.spread(block[:n])
        c = lanes.spread(bytes(bpp) + block[:n - bpp])
        predictions = [0, a, b, ((a + b) >> 1) & lanes.k(0xFF), lanes.paeth(a, b, c)]
        sums: list[list[int]] = []
        for prediction in predictions:
            costs = lanes.gather((x + lanes.k(0x100) - prediction) & lanes.k(0xFF)).translate(_COST)
            sums.append([sum(costs[r * padded + bpp:(r + 1) * padded]) for r in range(count)])
        for r in range(count):
            per_type = [s[r] for s in sums]
            chosen.append(per_type.index(min(per_type)))
    return chosen


class _Lanes:
    """n bytes held in one integer, a 16-bit lane each, lowest first."""

    def __init__(self, n: int) -> None:
        self.n = n
        self.ones = int.from_bytes(b"\1\0" * n, "little")

    def k(self, value: int) -> int:
        return self.ones * value

    def spread(self, data: bytes | bytearray) -> int:
        wide = bytearray(2 * self.n)
        wide[0::2] = data
        return int.from_bytes(wide, "little")

    def gather(self, value: int) -> bytes:
        return value.to_bytes(2 * self.n, "little")[0::2]

    def mask(self, flags: int) -> int:
        """0xFFFF in every lane whose flag (bit 0) is set."""
        return flags * 0xFFFF

    def abs_biased(self, value: int, bias_bit: int) -> int:
        """|v - 2**bias_bit| in every lane, for lane values v below 2**(bias_bit + 1)."""
        bias = self.k(1 << bias_bit)
        at_or_above = self.mask((value >> bias_bit) & self.ones)
        below = self.k(0xFFFF) ^ at_or_above
        # Each subtraction leaves every lane non-negative, so none borrows from the next.
        return ((value & at_or_above) - (bias & at_or_above)) + ((bias & below) - (value & below))

    def at_most(self, p: int, q: int) -> int:
        """1 in every lane where p <= q (both below 0x8000)."""
        return ((q + self.k(0x8000) - p) >> 15) & self.ones

    def paeth(self, a: int, b: int, c: int) -> int:
        pa = self.abs_biased(b + self.k(0x100) - c, 8)  # |p - a| = |b - c|
        pb = self.abs_biased(a + self.k(0x100) - c, 8)  # |p - b| = |a - c|
        pc = self.abs_biased(a + b + self.k(0x200) - 2 * c, 9)  # |p - c| = |a + b - 2c|
        take_a = self.at_most(pa, pb) & self.at_most(pa, pc)
        take_b = self.at_most(pb, pc) & (self.ones ^ take_a)
        mask_a, mask_b = self.mask(take_a), self.mask(take_b)
        return (a & mask_a) | (b & mask_b) | (c & (self.k(0xFFFF) ^ (mask_a | mask_b)))


def _numpy_chooser() -> Callable[[SimpleImage], bytearray] | None:
    try:
        import numpy as np
        import numpy.typing as npt
    except ImportError:
        return None

    def costs(filtered: npt.NDArray[np.uint8]) -> npt.NDArray[np.int64]:
        # For a byte v that is min(v, 256 - v), and -v wraps to 256 - v in uint8.
        per_row: npt.NDArray[np.int64] = np.minimum(filtered, -filtered).sum(axis=1, dtype=np.int64)
        return per_row

    def choose(image: SimpleImage) -> bytearray:
        data, bpp, stride = _scanlines(image)
        height = image.height
        rows = np.frombuffer(data, np.uint8).reshape(height, stride)
        # A zero row above and zero pixels to the left are what the filters see outside the image.
        padded = np.zeros((height + 1, stride + bpp), np.uint8)
        padded[1:, bpp:] = rows
        chosen = bytearray()
        step = max(1, BLOCK_BYTES // max(stride, 1))
        for top in range(0, height, step):
            bottom = min(top + step, height)
            x = padded[top + 1:bottom + 1, bpp:]
            a = padded[top + 1:bottom + 1, :-bpp]  # left
            b = padded[top:bottom, bpp:]  # up
            c = padded[top:bottom, :-bpp]  # up and left
            average = (a & b) + ((a ^ b) >> 1)  # (a + b) // 2 without leaving uint8
            # Paeth: whichever of a, b, c is nearest a + b - c, in that order on ties.
            c16 = c.astype(np.int16)
            b_c, a_c = b - c16, a - c16
            pa, pb, pc = np.abs(b_c), np.abs(a_c), np.abs(b_c + a_c)
            paeth = np.where(pb <= pc, b, c)
            np.copyto(paeth, a, where=(pa <= pb) & (pa <= pc))
            per_type = np.stack([costs(x), costs(x - a), costs(x - b), costs(x - average), costs(x - paeth)])
            chosen += per_type.argmin(axis=0).astype(np.uint8).tobytes()
        return chosen

    return choose


# numpy is imported when a filter type is first chosen, not when the package is.
_numpy_choose = functools.cache(_numpy_chooser)


def filter_types_numpy(image: SimpleImage) -> bytearray:
    """The choice made with numpy; ImportError without it."""
    choose = _numpy_choose()
    if choose is None:
        raise ImportError("filter_types_numpy needs numpy")
    return choose(image)


def filter_types(image: SimpleImage) -> bytearray:
    """The filter type of least cost for every row of `image`, a bytearray of its height:
    assign it to `image._png_filters` before saving the image as PNG."""
    if image.width == 0 or image.height == 0:
        return bytearray(image.height)
    return (_numpy_choose() or filter_types_portable)(image)
