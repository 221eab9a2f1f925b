"""Saves an image as a PNG with the filter type that suits each row, for a smaller file.

    python examples/smaller_png.py IN OUT.png

IN is a PNG or BMP. For every row it takes the filter type (0 to 4) whose filtered
bytes, read as signed bytes, have the smallest sum of absolute values: the choice
mainstream PNG encoders make. A PNG keeps its chunks. Needs numpy.
"""
import contextlib
import io
import os
import sys
from collections import Counter

import numpy as np
import numpy.typing as npt

from Vextaro.simpleImage_ext import SimpleImage

Bytes2D = npt.NDArray[np.uint8]
# Rows are weighed a block at a time, so that the temporaries stay small (and in cache).
BLOCK_BYTES = 1 << 18


def scanlines(image: SimpleImage) -> Bytes2D:
    """The rows as the PNG encoder filters them: R, G, B (and A) per pixel."""
    width, height = image.size
    rgb = np.frombuffer(image._pixels, np.uint8).reshape(height, width, 3)
    if image._alpha is None:
        return rgb.reshape(height, width * 3)
    alpha = np.frombuffer(image._alpha, np.uint8).reshape(height, width, 1)
    return np.concatenate([rgb, alpha], axis=2).reshape(height, width * 4)


def costs(filtered: Bytes2D) -> npt.NDArray[np.int64]:
    """Per row, the sum of the bytes' absolute values as signed bytes."""
    # For a byte v that is min(v, 256 - v), and -v wraps to 256 - v in uint8.
    per_row: npt.NDArray[np.int64] = np.minimum(filtered, -filtered).sum(axis=1, dtype=np.int64)
    return per_row


def filter_types(image: SimpleImage) -> bytearray:
    """The filter type of least cost for every row; ties go to the lower type."""
    rows = scanlines(image)
    height, stride = rows.shape
    bpp = 3 if image._alpha is None else 4
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


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    # open() prints a report line; keep it out of this program's own output.
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(argv[1])
    image._bmp_header = None  # a BMP's image would be saved as BMP otherwise
    image._png_filters = filter_types(image)
    image.save(argv[2])
    counts = Counter(image._png_filters)
    print(f"{argv[2]}: {os.path.getsize(argv[2])} bytes; rows per filter type: "
          + ", ".join(f"{name} {counts[t]}" for t, name in enumerate(["None", "Sub", "Up", "Average", "Paeth"])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
