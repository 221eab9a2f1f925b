"""Keeps the report lines of SimpleImage.open out of standard output, on every thread.

    python examples/quiet_reports.py IMAGE...

Installs a filter on sys.stdout once, then opens the images on four threads, each
writing the size of what it opened: only those lines reach the output.
"""
import re
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TextIO, cast

from Vextaro.simpleImage_ext import SimpleImage

REPORT = re.compile(r"\[SimpleImage\] Opened image: \d+x\d+, channels=\d+\n?")


class DropReports:
    """Passes everything written on to `stream`, except the report lines of SimpleImage.open."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        # print() writes a line and its newline in two calls, and another thread may write
        # between them: each thread remembers whether its next newline ends a report.
        self.after_report = threading.local()

    def write(self, text: str) -> int:
        newline_pending = getattr(self.after_report, "pending", False)
        report = REPORT.fullmatch(text) is not None
        self.after_report.pending = report and not text.endswith("\n")
        if report or (newline_pending and text == "\n"):
            return len(text)
        return self.stream.write(text)

    def __getattr__(self, name: str) -> Any:  # flush, fileno, encoding, ...: the stream's own
        return getattr(self.stream, name)


def drop_reports() -> None:
    """Puts the filter in front of sys.stdout, once, before the threads start."""
    if not isinstance(sys.stdout, DropReports):
        sys.stdout = cast(TextIO, DropReports(sys.stdout))


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
