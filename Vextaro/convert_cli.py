"""`vextaro convert`: from the parsed arguments to the outputs, the report and the status."""
from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from typing import TextIO

from .convert import STREAM, Converted, Job, Saving, Skipped, out_dir_problem, plan, run_dask, run_threads
from .interrupt import Interrupt
from .progress import Progress
from .status import INTERRUPTED, USAGE_ERROR

__all__ = ["convert"]

FORMATS = ("png", "bmp")


def _usage_problem(args: argparse.Namespace) -> str | None:
    """What is wrong with the arguments, or None; settles args.to and args.out_is_file:
    with one file SRC (or -), an -o ending in .png or .bmp, or -, is the output itself."""
    from_stdin = STREAM in args.sources
    if from_stdin and len(args.sources) > 1:
        return "- (standard input) must be the only SRC"
    one_file = len(args.sources) == 1 and (from_stdin or not os.path.isdir(args.sources[0]))
    extension = os.path.splitext(args.out)[1].lower().lstrip(".")
    args.out_is_file = one_file and (args.out == STREAM or extension in FORMATS)
    if from_stdin and not args.out_is_file:
        return "- (standard input) needs -o FILE.png, -o FILE.bmp or -o -"
    if args.out == STREAM and not args.out_is_file:
        return "-o - (standard output) takes one file SRC"
    if args.scheduler and STREAM in (args.out, *args.sources):
        return "standard input and output are converted here, not with --scheduler"
    if args.out_is_file and args.out != STREAM:
        if args.to not in (None, extension):
            return f"--to {args.to} disagrees with -o {args.out}"
        args.to = extension
    args.to = args.to or "png"
    if args.compress_level is not None and args.to == "bmp":
        return "--compress-level applies to PNG output, not to BMP"
    if args.scheduler:
        try:
            import distributed  # noqa: F401
        except ImportError:
            return "--scheduler needs Dask's distributed: pip install 'Vextaro[dask]'"
    return None


def _run(jobs: list[Job], args: argparse.Namespace, done: Callable[[Converted], None], stop: Interrupt,
         progress: Progress, out: TextIO) -> None:
    saving = Saving(args.overwrite, args.keep_if_smaller, args.preserve_time)
    if any(STREAM in job for job in jobs):
        # One file, converted on this thread, where Ctrl-C raises KeyboardInterrupt as usual
        # (a read of a terminal would not notice a flag).
        from .streamed import convert_streamed

        for job in jobs:
            done(convert_streamed(job.source, job.target, args.to, args.compress_level, saving,
                                  sys.stdin.buffer, out.buffer))
        return
    with stop:
        if args.scheduler:
            run_dask(args.scheduler, jobs, args.to, args.compress_level, done, stop, saving, args.timeout,
                     lambda line: progress.write(f"vextaro: {line}"))
        else:
            run_threads(jobs, args.to, args.compress_level, args.jobs, done, stop, saving)


def convert(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from .cluster import Unreachable

    problem = _usage_problem(args)
    if problem:
        err.write(f"vextaro: {problem}\n")
        return USAGE_ERROR
    # With -o -, standard output carries the image alone and the report goes to stderr.
    report = err if args.out == STREAM else out
    out_dir = (os.path.dirname(args.out) or ".") if args.out_is_file else args.out
    problem = None if args.out == STREAM else out_dir_problem(out_dir)
    if problem:
        err.write(f"vextaro: {out_dir}: {problem}\n")
        return USAGE_ERROR
    started = time.perf_counter()
    settled = plan(args.sources, args.out, args.to, args.overwrite, args.out_is_file)
    if settled.collisions:
        err.writelines(f"vextaro: refused: {line}\n" for line in settled.collisions)
        err.write(f"vextaro: nothing written: {len(settled.collisions)} collision(s)\n")
        return USAGE_ERROR
    err.writelines(f"vextaro: {failure.path}: {failure.reason}\n" for failure in settled.failed)
    if args.dry_run:
        out.writelines(f"would convert {job.source} to {job.target}\n" for job in settled.jobs)
        out.writelines(f"skipped {skip.path}: {skip.reason}\n" for skip in settled.skipped)
        out.write(f"would convert {len(settled.jobs)}, skipped {len(settled.skipped)}, failed {len(settled.failed)}\n")
        return 1 if settled.failed else 0
    progress = Progress(len(settled.jobs), err, shown=not args.quiet)
    results: list[Converted] = []

    def done(result: Converted) -> None:
        results.append(result)
        if result.error is not None:
            progress.write(f"vextaro: {result.error_path or result.source}: {result.error}")
        progress.step()

    stop = Interrupt()
    try:
        _run(settled.jobs, args, done, stop, progress, out)
    except Unreachable as error:
        progress.close()
        err.write(f"vextaro: {error}\n")
        return USAGE_ERROR
    progress.close()
    interrupted = stop.requested
    converted = [r for r in results if r.error is None and not r.skip_reason]
    skipped = settled.skipped + [Skipped(r.source, r.skip_reason) for r in results if r.skip_reason]
    failed = sum(r.error is not None for r in results) + len(settled.failed)
    dropped = sum(r.alpha_dropped for r in converted)
    if dropped:
        err.write(f"vextaro: BMP holds no alpha: the alpha plane of {dropped} file(s) was dropped\n")
    report.writelines(f"skipped {skip.path}: {skip.reason}\n" for skip in skipped)
    not_started = f", not started {len(settled.jobs) - len(results)}" if interrupted else ""
    report.write(f"{'interrupted: ' if interrupted else ''}converted {len(converted)}, skipped {len(skipped)}, "
                 f"failed {failed}{not_started}; {sum(r.bytes_in for r in converted)} bytes in, "
                 f"{sum(r.bytes_out for r in converted)} bytes out; {time.perf_counter() - started:.2f} s\n")
    if interrupted:
        return INTERRUPTED
    return 1 if failed else 0
