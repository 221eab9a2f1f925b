"""Keeps the report lines of SimpleImage.open out of standard output, on every thread.

    python examples/quiet_reports.py IMAGE...

Installs a filter on sys.stdout once (the package's `Vextaro.quiet.drop_reports`), then
opens the images on four threads, each writing the size of what it opened: only those
lines reach the output.
"""
import sys
from concurrent.futures import ThreadPoolExecutor

from Vextaro.quiet import drop_reports
from Vextaro.simpleImage_ext import SimpleImage


def show_size(path: str) -> None:
    image = SimpleImage.open(path)
    # One write per line: print() writes the text and its newline in two, between which
    # another thread's line could land.
    sys.stdout.write(f"{path}: {image.width}x{image.height}\n")


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    drop_reports()
    with ThreadPoolExecutor(max_workers=4) as pool:
        list(pool.map(show_size, argv[1:]))  # list() lets a failed open raise here
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
