"""Shows what opening a PNG keeps for an exact rewrite: its chunks and filter types.

    python examples/inspect_png.py IN.png
"""
import contextlib
import io
import sys
from collections import Counter
from typing import Optional

from Vextaro.simpleImage_ext import SimpleImage

FILTER_NAMES = ["None", "Sub", "Up", "Average", "Paeth"]


def preview(kind: bytes, data: Optional[bytes]) -> str:
    if data is None:
        return "image data: only its size is kept"
    if kind == b"tEXt":
        keyword, _, text = data.partition(b"\0")
        return f"{keyword.decode('latin-1')}: {text.decode('latin-1')[:60]}"
    return data[:16].hex(" ") + (" ..." if len(data) > 16 else "")


def describe(image: SimpleImage) -> str:
    width, height = image.size
    chunks = image._png_chunks or []
    lines = [f"{width}x{height} {'RGBA' if image._alpha is not None else 'RGB'}, {len(chunks)} chunks in file order:"]
    for kind, data, length in chunks:
        lines.append(f"  {kind.decode('latin-1')} {length:9} bytes  {preview(kind, data)}".rstrip())
    idat = [length for kind, _, length in chunks if kind == b"IDAT"]
    lines.append(f"IDAT chunks: {len(idat)}, sizes {idat}")
    counts = Counter(image._png_filters or b"")
    lines.append("rows per filter type: " + ", ".join(f"{FILTER_NAMES[t]} {n}" for t, n in sorted(counts.items())))
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    # open() prints a report line; keep it out of this program's own output.
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(argv[1])
    if image._png_chunks is None:
        print(f"{argv[1]} is not a PNG file", file=sys.stderr)
        return 1
    print(describe(image))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
