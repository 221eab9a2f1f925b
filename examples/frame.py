"""Draws a frame around an image and saves the result as a 24-bit BMP.

    python examples/frame.py IN OUT.bmp [THICKNESS] [R,G,B]

THICKNESS defaults to 4 pixels and the colour to black; a BMP holds no alpha plane.
"""
import sys

from Vextaro.simpleImage_ext import SimpleImage


def framed(image: SimpleImage, thickness: int, colour: tuple[int, int, int]) -> SimpleImage:
    result = image.copy()
    width, height = result.size
    for y in range(height):
        inside_rows = thickness <= y < height - thickness
        # Inside rows only need their left and right edges; the others are painted whole.
        xs = [*range(min(thickness, width)), *range(max(width - thickness, 0), width)] if inside_rows else range(width)
        for x in xs:
            result.putPixel((x, y), colour)
    return result


def main(argv: list[str]) -> int:
    if not 3 <= len(argv) <= 5:
        print(__doc__, file=sys.stderr)
        return 2
    thickness = int(argv[3]) if len(argv) > 3 else 4
    r, g, b = (int(c) for c in argv[4].split(",")) if len(argv) > 4 else (0, 0, 0)
    framed(SimpleImage.open(argv[1]), thickness, (r, g, b)).saveBmp(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
