"""Converts every BMP file of a folder to PNG, showing progress on one line.

    python examples/bmp_folder_to_png.py IN_DIR OUT_DIR

Files that cannot be read are reported and skipped; the exit status is then 1.
With numpy, each row gets the filter type that suits it (smaller_png.py): smaller files.
"""
import contextlib
import io
import struct
import sys
from pathlib import Path

from Vextaro.simpleImage_ext import SimpleImage

try:
    from smaller_png import filter_types
except ImportError:  # no numpy: every row keeps filter type 0

    def filter_types(image: SimpleImage) -> bytearray:
        return bytearray(image.height)


def convert(source: Path, target: Path) -> None:
    # open() prints a report line per image; it would break the progress line.
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(source)
    # save() writes the format an image came from; without its BMP header an
    # image is saved as PNG.
    image._bmp_header = None
    image._png_filters = filter_types(image)
    image.save(str(target))


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    sources = sorted(p for p in Path(argv[1]).iterdir() if p.suffix.lower() == ".bmp" and p.is_file())
    out_dir = Path(argv[2])
    out_dir.mkdir(parents=True, exist_ok=True)
    failed = []
    shown = 0

    def status(text: str, end: str = "") -> None:
        nonlocal shown  # pad over the longer line before it
        print("\r" + text.ljust(shown), end=end, flush=True)
        shown = len(text)

    for number, source in enumerate(sources, 1):
        status(f"[{number}/{len(sources)}] {source.name}")
        try:
            convert(source, out_dir / (source.stem + ".png"))
        except (OSError, ValueError, struct.error) as error:
            failed.append(f"{source.name}: {error}")
    status(f"converted {len(sources) - len(failed)} of {len(sources)} BMP files to {out_dir}", end="\n")
    for line in failed:
        print("skipped", line, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
