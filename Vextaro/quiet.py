"""Keeps the report lines of SimpleImage.open out of a process's standard output.

`drop_reports()` puts a filter in front of `sys.stdout` once; it drops the report
lines, from any thread, and passes everything else on. A Dask worker takes it as a
preload: `dask worker ADDRESS --preload Vextaro.quiet`.
"""
from __future__ import annotations

import re
import sys
import threading
from typing import Any, TextIO, cast

__all__ = ["REPORT", "DropReports", "dask_setup", "drop_reports"]

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


def dask_setup(worker: object) -> None:
    """Dask's preload hook."""
    drop_reports()
