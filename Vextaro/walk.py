"""What `vextaro convert` finds under its sources: every file is found, skipped with a
reason or failed with the system's message, never passed over in silence.

Links to folders are followed, each real folder walked once: a link back to a folder
being walked (a loop), or to one walked already, is named as skipped. Only regular
files are found; a FIFO, a device or a socket is named and never opened.
"""
from __future__ import annotations

import errno
import os
import stat
from typing import NamedTuple

__all__ = ["IMAGE_SUFFIXES", "Found", "Walked", "read_regular", "walk"]

# What a folder walk converts; a file given by name is always tried.
IMAGE_SUFFIXES = (".png", ".bmp")

_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


class Found(NamedTuple):
    path: str
    # Its path inside the source folder; its own name for a file given by name.
    relative: str


class Walked(NamedTuple):
    found: list[Found]
    # (path, reason) of what is not converted, and (path, message) of what could not be read.
    skipped: list[tuple[str, str]]
    failed: list[tuple[str, str]]


def _message(error: OSError) -> str:
    return error.strerror or str(error)


def _not_regular(mode: int) -> str:
    kind = next((name for test, name in _KINDS if test(mode)), None)
    return f"not a regular file ({kind})" if kind else "not a regular file"


def walk(sources: list[str], out_dir: str) -> Walked:
    """The files of `sources` in order; a folder's files sorted by name, each folder's before
    its subfolders'. `out_dir`, where it exists, is not walked: it holds outputs."""
    walked = Walked([], [], [])
    try:
        out = os.stat(out_dir)
        out_key: tuple[int, int] | None = (out.st_dev, out.st_ino)
    except OSError:
        out_key = None
    seen: dict[tuple[int, int], str] = {}
    for source in sources:
        try:
            found = os.stat(source)
        except OSError as error:
            walked.failed.append((source, _message(error)))
            continue
        if stat.S_ISDIR(found.st_mode):
            _walk_folder(source, (found.st_dev, found.st_ino), out_key, seen, walked)
        elif stat.S_ISREG(found.st_mode):
            walked.found.append(Found(source, os.path.basename(source)))
        else:
            walked.skipped.append((source, _not_regular(found.st_mode)))
    return walked


def _walk_folder(top: str, top_key: tuple[int, int], out_key: tuple[int, int] | None,
                 seen: dict[tuple[int, int], str], walked: Walked) -> None:
    if top_key in seen:
        walked.skipped.append((top, f"the folder {seen[top_key]}, walked already"))
        return
    seen[top_key] = top
    # (folder, its path inside top, the folders above it); a stack, so that no depth of
    # folders meets the recursion limit.
    stack: list[tuple[str, str, frozenset[tuple[int, int]]]] = [(top, "", frozenset([top_key]))]
    while stack:
        folder, inside, above = stack.pop()
        try:
            with os.scandir(folder) as listing:
                names = sorted(entry.name for entry in listing)
        except OSError as error:
            walked.failed.append((folder, _message(error)))
            continue
        below: list[tuple[str, str, frozenset[tuple[int, int]]]] = []
        for name in names:
            path, relative = os.path.join(folder, name), os.path.join(inside, name)
            try:
                found = os.stat(path)
            except OSError as error:
                walked.failed.append((path, _message(error)))
                continue
            key = (found.st_dev, found.st_ino)
            if stat.S_ISDIR(found.st_mode):
                if key == out_key:
                    continue
                if key in above:
                    walked.skipped.append((path, f"a link back to {seen[key]}, a loop"))
                elif key in seen:
                    walked.skipped.append((path, f"the folder {seen[key]}, walked already"))
                else:
                    seen[key] = path
                    below.append((path, relative, above | {key}))
            elif not stat.S_ISREG(found.st_mode):
                walked.skipped.append((path, _not_regular(found.st_mode)))
            elif os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES:
                walked.found.append(Found(path, relative))
            else:
                walked.skipped.append((path, "not a .png or .bmp file"))
        stack.extend(reversed(below))


def read_regular(path: str) -> bytes:
    """The bytes of a regular file; a FIFO or a device that took the name since the walk is
    refused without blocking on it."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    with open(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        return file.read()
