"""Writes sample images with Pillow, a program independent of this library."""
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter, PngImagePlugin

folder = Path(sys.argv[1] if len(sys.argv) > 1 else "samples")
folder.mkdir(parents=True, exist_ok=True)

width, height = 480, 320
picture = Image.linear_gradient("L").resize((width, height)).convert("RGB")
draw = ImageDraw.Draw(picture)
draw.ellipse((60, 40, 240, 220), fill=(200, 40, 40))
draw.rectangle((220, 120, 440, 290), fill=(30, 90, 200))
# Some grain, so that the image data spans several IDAT chunks.
grain = Image.merge("RGB", [Image.effect_noise((width, height), 40)] * 3)
picture = Image.blend(picture, grain, 0.2).filter(ImageFilter.SMOOTH)

picture.save(folder / "sample.bmp")
with_alpha = picture.copy()
with_alpha.putalpha(Image.linear_gradient("L").rotate(90).resize((width, height)))
text = PngImagePlugin.PngInfo()
text.add_text("Comment", "written by Pillow for the demonstration")
with_alpha.save(folder / "sample.png", pnginfo=text, dpi=(72, 72))
print(f"wrote {folder / 'sample.png'} and {folder / 'sample.bmp'}")
