"""Writes the seed corpora under fuzz/corpus/ (run from anywhere; the output is deterministic).

The files are small and varied: every filter type, both pixel layouts, image data in one or
several chunks, extra chunks, empty images, BMP rows bottom-up and top-down with padding.
"""
import os
import random
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from bmptools import bmp  # noqa: E402
from pngtools import image, scanlines  # noqa: E402


def png_file(rng, width, height, colour, filters, **kw):
    bpp = 4 if colour == 6 else 3
    rows = [rng.randbytes(width * bpp) for _ in range(height)]
    return image(width, height, scanlines(filters, rows), colour, **kw)


def seeds():
    rng = random.Random(1)
    text = (b"tEXt", b"Comment\0seed")
    png = {
        "rgb-filters.png": png_file(rng, 5, 5, 2, [0, 1, 2, 3, 4]),
        "rgba-filters.png": png_file(rng, 4, 5, 6, [4, 3, 2, 1, 0]),
        "one-pixel.png": png_file(rng, 1, 1, 2, [0]),
        "zero-width.png": image(0, 3, b"\0\1\4", 2),
        "split-idat.png": png_file(rng, 6, 4, 6, [1, 4, 4, 2], sizes=[5, 9, 1], extra=[text]),
        "stored.png": image(3, 2, scanlines([2, 3], [rng.randbytes(9)] * 2), 2,
                            payload=zlib.compress(scanlines([2, 3], [rng.randbytes(9)] * 2), 0)),
        "wide.png": png_file(rng, 40, 2, 2, [3, 4]),
        "tall.png": png_file(rng, 1, 30, 6, [y % 5 for y in range(30)]),
        "no-iend.png": png_file(rng, 2, 2, 2, [1, 2])[:-12],
    }
    pixels = lambda w, h: rng.randbytes(w * abs(h) * 3)  # noqa: E731
    bmp_files = {
        "bottom-up.bmp": bmp(3, 2, pixels(3, 2)),
        "top-down.bmp": bmp(2, -3, pixels(2, 3)),
        "padding.bmp": bmp(1, 4, pixels(1, 4)),
        "gap.bmp": bmp(5, 2, pixels(5, 2), gap=bytes(6)),
        "zero-width.bmp": bmp(0, 5, raw=b""),
        "zero-height.bmp": bmp(5, 0, raw=b""),
        "square.bmp": bmp(7, 7, pixels(7, 7)),
    }
    encode = {f"random-{n}": rng.randbytes(n) for n in (8, 40, 300, 1500)}
    encode["rgba-all-types"] = bytes([9, 5, 1, 1, 0, 1, 2, 3, 4]) + bytes(range(256))
    # A level picked by the first byte (13: zlib's default), then the file.
    roundtrip = {name: bytes([n % 14]) + data for n, (name, data) in enumerate(png.items())}
    return {"png_decode": png, "bmp_decode": bmp_files, "encode": encode, "png_roundtrip": roundtrip}


def main():
    for target, files in seeds().items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
