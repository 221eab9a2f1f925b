"""`vextaro convert` with `-` for standard input or `-o -` for standard output: the
conversion runs on files in a scratch folder, which are read from and copied to the
streams, so that what is written is what the module's save writes."""
from __future__ import annotations

import os
import shutil
import tempfile
from typing import BinaryIO

from .convert import STREAM, Converted, Saving, convert_file

__all__ = ["convert_streamed"]


def convert_streamed(source: str, target: str, to: str, compress_level: int | None, saving: Saving,
                     stdin: BinaryIO, stdout: BinaryIO) -> Converted:
    """Converts `source` into `target`, either of which may be STREAM: `stdin`, `stdout`."""
    with tempfile.TemporaryDirectory(prefix="vextaro-") as scratch:
        given_from = source if source != STREAM else os.path.join(scratch, "stdin")
        given_to = target if target != STREAM else os.path.join(scratch, "stdout." + to)
        if source == STREAM:
            with open(given_from, "wb") as file:
                shutil.copyfileobj(stdin, file)
        # A scratch copy of standard input has no time of its own to give.
        saving = saving._replace(overwrite=saving.overwrite or target == STREAM,
                                 preserve_time=saving.preserve_time and source != STREAM)
        result = convert_file(given_from, given_to, to, compress_level, saving=saving)
        assert result is not None  # nothing asked it to stop
        if target == STREAM and result.error is None and not result.skip_reason:
            with open(given_to, "rb") as file:
                shutil.copyfileobj(file, stdout)
            stdout.flush()
    as_given = {given_from: source, given_to: target}
    return result._replace(source=source, target=target,
                           error_path=as_given.get(result.error_path, result.error_path))
