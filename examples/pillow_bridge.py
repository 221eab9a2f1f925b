"""Hands pictures between Pillow and SimpleImage through their raw pixel bytes.

    python examples/pillow_bridge.py IN OUT.png

Reads IN in any format Pillow knows (GIF, JPEG, TIFF, ...), passes it to SimpleImage,
saves it with this library as PNG, then opens that file again and hands it back to
Pillow to show that nothing changed on the way.
"""
import contextlib
import io
import sys

from PIL import Image

from Vextaro.simpleImage_ext import SimpleImage


def to_simple(picture: Image.Image) -> SimpleImage:
    """Pillow -> SimpleImage: the RGB bytes, plus the alpha plane if there is one."""
    has_alpha = "A" in picture.getbands() or "transparency" in picture.info
    rgba = picture.convert("RGBA" if has_alpha else "RGB")
    alpha = rgba.getchannel("A").tobytes() if has_alpha else None
    return SimpleImage(rgba.width, rgba.height, rgba.convert("RGB").tobytes(), alpha)


def to_pillow(image: SimpleImage) -> Image.Image:
    """SimpleImage -> Pillow: the same bytes the other way."""
    picture = Image.frombytes("RGB", image.size, bytes(image._pixels))
    if image._alpha is not None:
        picture.putalpha(Image.frombytes("L", image.size, bytes(image._alpha)))
    return picture


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with Image.open(argv[1]) as source:
        source.load()
    image = to_simple(source)
    image.save(argv[2])  # built from pixels alone, so save() writes a plain PNG
    with contextlib.redirect_stdout(io.StringIO()):
        again = SimpleImage.open(argv[2])
    same = to_pillow(again).tobytes() == to_pillow(image).tobytes()
    print(f"{argv[1]} ({source.format} {source.mode}) -> {argv[2]} {image.size[0]}x{image.size[1]}, "
          f"{'RGBA' if image._alpha is not None else 'RGB'}; back in Pillow unchanged: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
