"""Works on an image as numpy arrays, and makes an image from an array.

    python examples/numpy_bridge.py IN OUT.png

Writes OUT.png with IN on the left and its greyscale version on the right (the
alpha plane, if any, on both halves). Needs numpy.
"""
import contextlib
import io
import sys
from typing import Optional

import numpy as np
import numpy.typing as npt

from Vextaro.simpleImage_ext import SimpleImage

Array = npt.NDArray[np.uint8]


def pixel_array(image: SimpleImage) -> Array:
    """The image's own pixels as a (height, width, 3) array: no copy, writes change the image.

    It stays the image's only while `image._pixels` is the same bytearray: assigning a
    new one leaves the array on the old buffer."""
    return np.frombuffer(image._pixels, np.uint8).reshape(image.height, image.width, 3)


def alpha_array(image: SimpleImage) -> Optional[Array]:
    """The alpha plane as a (height, width) array, likewise shared; None without one."""
    if image._alpha is None:
        return None
    return np.frombuffer(image._alpha, np.uint8).reshape(image.height, image.width)


def from_array(array: Array) -> SimpleImage:
    """A new image from a (height, width, 3) RGB or (height, width, 4) RGBA uint8 array."""
    height, width, channels = array.shape
    if array.dtype != np.uint8 or channels not in (3, 4):
        raise ValueError(f"expected uint8 values in 3 or 4 channels, got {array.dtype} in {channels}")
    # The constructor measures its data with len(), which is the height for a 3-D array: it
    # takes the bytes flat. ascontiguousarray copies only what is not laid out as rows of
    # bytes already (the RGB part of an RGBA array): PyPy would read such a strided array's
    # memory as if it were contiguous. The constructor then copies what it is given.
    rgb = np.ascontiguousarray(array[..., :3]).reshape(-1)
    alpha = np.ascontiguousarray(array[..., 3]).reshape(-1) if channels == 4 else None
    return SimpleImage(width, height, rgb, alpha)


def luma(rgb: Array) -> Array:
    """ITU-R 601-2 luma, rounded, as Pillow's convert("L") computes it."""
    weights = np.array([19595, 38470, 7471], np.uint32)  # 0.299, 0.587, 0.114 in 1/65536
    return ((rgb @ weights + 0x8000) >> 16).astype(np.uint8)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    # open() prints a report line; keep it out of this program's own output.
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(argv[1])
    grey = image.copy()
    grey_pixels = pixel_array(grey)
    grey_pixels[...] = luma(grey_pixels)[..., np.newaxis]  # straight into grey's own buffer
    halves = [pixel_array(image), pixel_array(grey)]
    alpha = alpha_array(image)
    if alpha is not None:
        halves = [np.dstack([half, alpha]) for half in halves]
    from_array(np.concatenate(halves, axis=1)).save(argv[2])  # built from pixels: a plain PNG
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
