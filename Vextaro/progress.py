"""The progress of `vextaro convert` on a terminal."""
from __future__ import annotations

from typing import Any, TextIO

__all__ = ["Progress"]


class Progress:
    """A tqdm bar where tqdm is installed, a counter otherwise; only on a terminal."""

    def __init__(self, total: int, stream: TextIO, shown: bool = True) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.shown = shown and stream.isatty() and total > 0
        self.bar: Any = None
        if not self.shown:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            self._draw()
            return
        self.bar = tqdm(total=total, unit="file", file=stream)

    def _draw(self) -> None:
        self.stream.write(f"\r{self.done}/{self.total} files")
        self.stream.flush()

    def step(self) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.update()
        elif self.shown:
            self._draw()

    def write(self, line: str) -> None:
        """A line of its own, above the bar or counter."""
        if self.bar is not None:
            self.bar.write(line, file=self.stream)
        elif self.shown:
            self.stream.write("\r\033[K" + line + "\n")
            self._draw()
        else:
            self.stream.write(line + "\n")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
