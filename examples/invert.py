"""Inverts the colours of an image and saves it in the format it came in.

    python examples/invert.py IN OUT

A PNG keeps its chunks, filter types and alpha plane; a BMP keeps its header fields.
"""
import sys

from Vextaro.simpleImage_ext import SimpleImage

# 0 -> 255, 1 -> 254, ...: one table lookup per byte.
INVERT = bytes(range(255, -1, -1))


def inverted(image: SimpleImage) -> SimpleImage:
    result = image.copy()
    # The pixel buffer is a plain bytearray of R, G, B bytes, so a change to every
    # pixel is one operation on it, not a loop over getPixel/putPixel.
    result._pixels[:] = result._pixels.translate(INVERT)
    return result


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    inverted(SimpleImage.open(argv[1])).save(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
