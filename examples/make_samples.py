"""Writes sample images with Pillow, a program independent of this library."""
import sys
from pathlib import Path

from PIL import Image, ImageDraw

folder = Path(sys.argv[1] if len(sys.argv) > 1 else "samples")
folder.mkdir(parents=True, exist_ok=True)

picture = Image.linear_gradient("L").resize((96, 64)).convert("RGB")
draw = ImageDraw.Draw(picture)
draw.ellipse((20, 10, 60, 50), fill=(200, 40, 40))
draw.rectangle((55, 30, 90, 60), fill=(30, 90, 200))

picture.save(folder / "sample.bmp")
with_alpha = picture.copy()
with_alpha.putalpha(Image.linear_gradient("L").rotate(90).resize((96, 64)))
with_alpha.save(folder / "sample.png", optimize=True)
print(f"wrote {folder / 'sample.png'} and {folder / 'sample.bmp'}")
