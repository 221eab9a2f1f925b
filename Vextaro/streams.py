"""The command's standard output and error as the shell's own tools treat theirs.

A file name that is not valid UTF-8 reaches Python with its bytes held in lone
surrogates, which no strict encoder writes: they are printed as backslash escapes
(`caf\\xe9.png`), as are characters the stream's encoding lacks. A reader that goes
away (`vextaro info ... | head -2`) ends the command quietly.
"""
from __future__ import annotations

import codecs
import io
import os
import sys
from typing import TextIO

__all__ = ["BROKEN_PIPE", "escape_names", "output_gone"]

# What a shell reports for a command stopped by SIGPIPE.
BROKEN_PIPE = 128 + 13
_HANDLER = "vextaro.backslash"


def _backslash(error: UnicodeError) -> tuple[str, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    escaped = []
    for char in error.object[error.start:error.end]:
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:  # the byte the file name had
            escaped.append(f"\\x{code - 0xDC00:02x}")
        else:
            escaped.append(char.encode("ascii", "backslashreplace").decode("ascii"))
    return "".join(escaped), error.end


codecs.register_error(_HANDLER, _backslash)


def escape_names(*streams: TextIO) -> None:
    for stream in streams:
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors=_HANDLER)


def output_gone() -> int:
    """After a BrokenPipeError: standard output goes nowhere from now on, so that the
    interpreter's last flush raises nothing, and the status is SIGPIPE's."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.__stdout__.fileno() if sys.__stdout__ else 1)
    return BROKEN_PIPE
