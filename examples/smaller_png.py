"""Saves an image as a PNG with the filter type that suits each row, for a smaller file.

    python examples/smaller_png.py IN OUT.png

IN is a PNG or BMP. For every row, `Vextaro.filters.filter_types` takes the filter type
(0 to 4) whose filtered bytes, read as signed bytes, have the smallest sum of absolute
values: the choice mainstream PNG encoders make (with numpy where it is installed). A
PNG keeps its chunks. `vextaro convert` does the same for every BMP it converts.
"""
import contextlib
import io
import os
import sys
from collections import Counter

from Vextaro.filters import FILTER_NAMES, filter_types
from Vextaro.simpleImage_ext import SimpleImage


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
          + ", ".join(f"{name} {counts[t]}" for t, name in enumerate(FILTER_NAMES)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
