"""A short tour: open a PNG and a BMP, read and write pixels, copy, build an image."""
import sys
from pathlib import Path

from Vextaro.simpleImage_ext import SimpleImage

folder = Path(sys.argv[1] if len(sys.argv) > 1 else "samples")

png = SimpleImage.open(folder / "sample.png")            # prints its report line
print("PNG size:", png.size, "alpha plane:", png._alpha is not None)
print("PNG pixel (30, 30):", png.getPixel((30, 30)))
print("PNG chunks:", [chunk_type.decode() for chunk_type, _, _ in png._png_chunks])
print("PNG filter types used:", sorted(set(png._png_filters)))

bmp = SimpleImage.open((folder / "sample.bmp").read_bytes())  # raw bytes work too
print("BMP pixel (70, 40):", bmp.getPixel((70, 40)), "header:", bmp._bmp_header)

bmp.putPixel((0, 0), (255, 255, 255))
duplicate = bmp.copy()
duplicate.putPixel((0, 0), (0, 0, 0))
print("after editing the copy, the original keeps", bmp.getPixel((0, 0)), "and the copy has", duplicate.getPixel((0, 0)))

tiny = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
print("built by hand:", tiny.size, tiny.getPixel((1, 0)))
try:
    tiny.getPixel((2, 0))
except ValueError as error:
    print("outside the image:", error)
