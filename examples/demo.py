"""A short tour: open a PNG and a BMP, change pixels, save both, open them again."""
import sys
from pathlib import Path

from Vextaro.simpleImage_ext import SimpleImage


def describe_png(image: SimpleImage) -> str:
    chunks, filter_types = image._png_chunks or [], image._png_filters or bytearray()
    chunk_types = [chunk_type.decode() for chunk_type, _, _ in chunks]
    idat_sizes = [size for chunk_type, _, size in chunks if chunk_type == b"IDAT"]
    filters = {kind: filter_types.count(kind) for kind in sorted(set(filter_types))}
    return f"chunks {chunk_types}\n    IDAT sizes {idat_sizes}\n    rows per filter type {filters}"


folder = Path(sys.argv[1] if len(sys.argv) > 1 else "samples")

png = SimpleImage.open(folder / "sample.png")            # prints its report line
print("  opened:", describe_png(png))
print("  pixel (100, 100):", png.getPixel((100, 100)), "alpha plane:", png._alpha is not None)

bmp = SimpleImage.open((folder / "sample.bmp").read_bytes())  # raw bytes work too
print("  BMP header fields:", bmp._bmp_header)

# Draw a white cross on both and save them in the format they came from.
for image in (png, bmp):
    for i in range(40):
        image.putPixel((100 + i, 120), (255, 255, 255))
        image.putPixel((120, 100 + i), (255, 255, 255))
png.save(str(folder / "edited.png"))
bmp.save(str(folder / "edited.bmp"))
png.saveBmp(str(folder / "edited-as.bmp"))                  # alpha is dropped in a BMP

again = SimpleImage.open(folder / "edited.png")
print("  saved and reopened:", describe_png(again))
print("  same pixels and alpha:", again._pixels == png._pixels and again._alpha == png._alpha)
source_ancillary = [c for c in png._png_chunks or [] if c[0] != b"IDAT"]
print("  non-image chunks kept byte for byte:",
      [c for c in again._png_chunks or [] if c[0] != b"IDAT"] == source_ancillary)
print("  BMP round trip keeps the header:", SimpleImage.open(folder / "edited.bmp")._bmp_header == bmp._bmp_header)

duplicate = png.copy()
duplicate.putPixel((0, 0), (0, 0, 0))
print("  a copy is independent:", png.getPixel((0, 0)) != duplicate.getPixel((0, 0)))
try:
    png.getPixel((png.width, 0))
except ValueError as error:
    print("  outside the image:", error)
