"""Converting files and folders between PNG and BMP: what `vextaro convert` runs.

`plan` settles every output name before anything is written; `convert_file` converts
one file and never raises for a file it cannot convert; `run_threads` and `run_dask`
run a plan's jobs on threads or on a Dask cluster.
"""
from __future__ import annotations

import os
import unicodedata
import uuid
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import NamedTuple

from .errors import error_message
from .filters import filter_types
from .interrupt import Interrupt, Stop
from .simpleImage_ext import PNG_SIGNATURE, SimpleImage
from .walk import read_regular, walk

__all__ = [
    "Converted",
    "Job",
    "STREAM",
    "Plan",
    "Saving",
    "Skipped",
    "convert_file",
    "error_message",
    "out_dir_problem",
    "plan",
    "run_dask",
    "run_threads",
]

# A source or output of that name is standard input or output.
STREAM = "-"


class Job(NamedTuple):
    source: str
    target: str


class Skipped(NamedTuple):
    path: str
    reason: str


class Plan(NamedTuple):
    jobs: list[Job]
    skipped: list[Skipped]
    # What could not be looked at (an unreadable folder, a broken link), with the system's message.
    failed: list[Skipped]
    # Pairs of files that would meet in one output; a plan with any is refused.
    collisions: list[str]


class Saving(NamedTuple):
    """How outputs are written, beyond their format."""

    # Replace an existing output; without it, one that appeared since the plan is left alone.
    overwrite: bool = True
    # A PNG from a PNG source that is no smaller than its source is replaced by a byte copy of it.
    keep_if_smaller: bool = False
    # The output gets the source's modification time.
    preserve_time: bool = False


# What a conversion does unless told otherwise: it writes its output, whatever is there.
REPLACING = Saving()


class Converted(NamedTuple):
    """What a conversion hands back: paths and a few numbers, never the image, so that
    it crosses to and from a Dask worker cheaply."""

    source: str
    target: str
    error: str | None = None
    bytes_in: int = 0
    bytes_out: int = 0
    alpha_dropped: bool = False
    # The path the error is about: the source when it could not be read, the output (or
    # a folder of it) when it could not be written.
    error_path: str = ""
    # Set when the output was left alone: it appeared after planning, without --overwrite.
    skip_reason: str = ""


def _meeting_key(path: str) -> str:
    """Paths that one file system or another takes for one name: outputs differing only in
    case or Unicode normalisation would meet on FAT, exFAT or a case-folding folder."""
    return unicodedata.normalize("NFC", os.path.realpath(path)).casefold()


def _is_itself(job: Job) -> bool:
    if STREAM in job:
        return False
    try:
        return os.path.samefile(job.source, job.target)
    except OSError:
        return False


def _target(out_dir: str, relative: str, to: str) -> str:
    return os.path.join(out_dir, os.path.splitext(relative)[0] + "." + to)


def plan(sources: Sequence[str], out_dir: str, to: str = "png", overwrite: bool = False,
         out_is_file: bool = False) -> Plan:
    """Every source's output, the files skipped and the collisions, looking at the
    file system only. With `out_is_file`, `out_dir` is the output of the one source;
    either may be STREAM."""
    walked = walk([source for source in sources if source != STREAM], out_dir)
    found = [Job(f.path, out_dir if out_is_file else _target(out_dir, f.relative, to)) for f in walked.found]
    if STREAM in sources:
        found.append(Job(STREAM, out_dir))
    skipped = [Skipped(*skip) for skip in walked.skipped]
    # A source that is its own output (converted in place) meets no one unless replaced.
    itself = {job for job in found if _is_itself(job)}
    in_place = {_meeting_key(job.source): job.source for job in itself}
    source_keys = {_meeting_key(job.source): job.source for job in found if job not in itself and STREAM not in job}
    writers: dict[str, str] = {}
    seen: set[tuple[str, str]] = set()
    jobs: list[Job] = []
    collisions: list[str] = []
    for job in found:
        source_key, target_key = os.path.realpath(job.source), _meeting_key(job.target)
        if (source_key, target_key) in seen:  # one file named twice, as itself and in its folder
            continue
        seen.add((source_key, target_key))
        if job in itself or STREAM in job:  # alone, or written in place
            pass
        elif target_key in source_keys:
            collisions.append(f"{job.source} would be written to {job.target}, which is the source "
                              f"{source_keys[target_key]}")
            continue
        elif overwrite and target_key in in_place:
            collisions.append(f"{job.source} would be written to {job.target}, which --overwrite re-encodes "
                              f"in place from {in_place[target_key]}")
            continue
        elif target_key in writers:
            collisions.append(f"{writers[target_key]} and {job.source} would both be written to {job.target}")
            continue
        else:
            writers[target_key] = job.source
        if not overwrite and job.target != STREAM and os.path.lexists(job.target):
            skipped.append(Skipped(job.source, f"{job.target} exists (--overwrite replaces it)"))
        else:
            jobs.append(job)
    return Plan(jobs, skipped, [Skipped(*failure) for failure in walked.failed], collisions)


def out_dir_problem(out_dir: str) -> str | None:
    """Why outputs cannot be written into `out_dir` (made where missing), or None: a
    file, or a folder this process may not write to, is found before any work."""
    folder = out_dir
    while not os.path.lexists(folder) and folder != (os.path.dirname(folder.rstrip(os.sep)) or "."):
        folder = os.path.dirname(folder.rstrip(os.sep)) or "."
    if not os.path.isdir(folder):
        return "not a folder" if folder == out_dir else f"{folder} is not a folder"
    if not os.access(folder, os.W_OK | os.X_OK):
        return "not writable" if folder == out_dir else f"{folder} is not writable"
    return None


def _claim(target: str) -> int | None:
    """Makes `target` an empty file, unless a file already has that name (on a
    case-insensitive file system, that name in any case): the inode made, or None."""
    try:
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except FileExistsError:
        return None
    try:
        return os.fstat(fd).st_ino
    finally:
        os.close(fd)


def _inode(path: str) -> int | None:
    try:
        return os.lstat(path).st_ino
    except OSError:
        return None


def _write_over(target: str, data: bytes) -> None:
    """`data` in place of the file just saved, which keeps what the save gave it (mode,
    owner, ACL, links); it is at least as long, so the write never needs new space."""
    with open(target, "r+b") as file:
        file.write(data)
        file.truncate()


def convert_file(source: str, target: str, to: str = "png", compress_level: int | None = None,
                 stop: Stop | None = None, saving: Saving = REPLACING) -> Converted | None:
    """Converts `source` (PNG or BMP) into `target` as PNG or BMP. PNG output keeps what
    the module keeps (chunks, filter types); a BMP source gets a filter type per row
    (`filters.filter_types`). BMP output drops the alpha plane. Failures come back as
    the result's `error`; the target is written by the module's save. Without
    `saving.overwrite` an existing target is left alone (`skip_reason`). None when `stop` was set
    before the file was written: the target is left as it was."""
    if stop is not None and stop.requested:
        return None
    try:
        data = read_regular(source)
        image = SimpleImage.open(data)
    except Exception as error:  # noqa: BLE001 - every failure is this file's, and the others go on
        return Converted(source, target, error_message(error), error_path=source)
    if stop is not None and stop.requested:
        return None
    folder = os.path.dirname(target) or "."
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        return Converted(source, target, error_message(error), error_path=folder)
    claimed = None
    try:
        # The save replaces what it finds; an empty file made first with O_EXCL keeps it
        # from replacing an output that appeared since the plan was made.
        if not saving.overwrite:
            claimed = _claim(target)
            if claimed is None:
                return Converted(source, target, skip_reason=f"{target} appeared meanwhile (--overwrite replaces it)")
        # The module's own save replaces the target only with a complete file, and keeps
        # what the file had: its mode, owner, ACL, the links to it.
        if to == "bmp":
            image.saveBmp(target)
        else:
            if image._png_filters is None:  # from a BMP: the module would write type 0 throughout
                image._bmp_header = None
                image._png_filters = filter_types(image)
            if compress_level is None:
                image.save(target)
            else:
                image.save(target, compress_level=compress_level)
        size = os.path.getsize(target)
        if saving.keep_if_smaller and to == "png" and data.startswith(PNG_SIGNATURE) and size >= len(data):
            _write_over(target, data)
            size = len(data)
        if saving.preserve_time:
            times = os.stat(source)
            os.utime(target, ns=(times.st_atime_ns, times.st_mtime_ns))
        return Converted(source, target, None, len(data), size, to == "bmp" and image._alpha is not None)
    except Exception as error:  # noqa: BLE001 - every failure is this file's, and the others go on
        if claimed is not None and _inode(target) == claimed:  # the empty file made above
            os.unlink(target)
        return Converted(source, target, error_message(error), error_path=target)


# How often the main thread looks for Ctrl-C while it waits for results.
POLL_SECONDS = 0.1


def run_threads(jobs: Sequence[Job], to: str, compress_level: int | None, threads: int,
                done: Callable[[Converted], None], stop: Interrupt | None = None, saving: Saving = REPLACING) -> None:
    """Converts on `threads` threads (the module lets go of the interpreter lock while it
    decodes and compresses); `done` is called on this thread for each result. Once
    `stop.requested`, the queued files are dropped and the files being saved finish."""
    stop = stop or Interrupt()
    with ThreadPoolExecutor(max(1, threads)) as pool:
        pending = {pool.submit(convert_file, job.source, job.target, to, compress_level, stop, saving)
                   for job in jobs}
        while pending and not stop.requested:
            finished, pending = wait(pending, POLL_SECONDS, FIRST_COMPLETED)
            for future in finished:
                _report(future, done)
        for future in pending:
            future.cancel()
    for future in pending:
        if not future.cancelled():
            _report(future, done)


def _report(future: Future[Converted | None], done: Callable[[Converted], None]) -> None:
    result = future.result()
    if result is not None:
        done(result)


def run_dask(address: str, jobs: Sequence[Job], to: str, compress_level: int | None,
             done: Callable[[Converted], None], stop: Interrupt | None = None, saving: Saving = REPLACING,
             timeout: float = 30.0, tell: Callable[[str], None] = lambda line: None) -> None:
    """Converts on the Dask cluster whose scheduler is at `address`, raising
    cluster.Unreachable when it cannot be reached or has no worker within `timeout`
    seconds (`tell` hears what it waits for). Workers run in folders of their own, so
    they get absolute paths; a task that fails on a worker (a lost worker, no Vextaro
    there) is reported for its file. Once `stop.requested`, the tasks not begun end at
    once and the files being saved finish, as on threads."""
    from distributed import TimeoutError as Waited, wait as wait_on

    from .cluster import ClusterStop, connect

    stop = stop or Interrupt()
    with connect(address, timeout, tell) as client:
        # Tasks ask the cluster, before they begin and before they save, whether to stop.
        on_cluster = ClusterStop(f"vextaro-stop-{uuid.uuid4().hex}")
        futures = client.map(convert_file, [os.path.abspath(job.source) for job in jobs],
                             [os.path.abspath(job.target) for job in jobs], to=to, compress_level=compress_level,
                             stop=on_cluster, saving=saving, pure=False)
        given = {future.key: job for future, job in zip(futures, jobs)}
        pending = set(futures)
        while pending:
            if stop.requested and not on_cluster.requested:
                on_cluster.request()  # the files being saved finish, the others end at once
            try:
                wait_on(pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED")
            except Waited:
                continue
            for future in [f for f in pending if f.done()]:
                pending.discard(future)
                job = given[future.key]
                try:
                    result: Converted | None = future.result()
                except Exception as error:  # noqa: BLE001 - raised on the worker, or the task lost with it
                    done(Converted(job.source, job.target, "on the cluster: " + error_message(error)))
                    continue
                if result is not None:  # the paths as the user gave them
                    given_as = {os.path.abspath(job.source): job.source, os.path.abspath(job.target): job.target}
                    done(result._replace(source=job.source, target=job.target,
                                         error_path=given_as.get(result.error_path, result.error_path)))
