"""The `vextaro` command (also `python -m Vextaro`).

    vextaro convert SRC... -o OUT_DIR [--to png|bmp] [--compress-level N] [--jobs N]
                    [--scheduler ADDRESS] [--overwrite]
    vextaro info FILE... [--json]

Exit status: 0 when every file was converted or described, 1 when any failed (each
reported on stderr with its path), 2 for a usage error or a refused plan.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Sequence
from typing import Any, TextIO

from . import __version__
from .streams import escape_names, output_gone

__all__ = ["main"]

USAGE_ERROR = 2
# What a shell reports for a command stopped by Ctrl-C.
INTERRUPTED = 130


class _Progress:
    """A tqdm bar where tqdm is installed, a counter otherwise; only on a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.shown = stream.isatty() and total > 0
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


def _level(text: str) -> int:
    level = int(text)
    if not 0 <= level <= 12:
        raise argparse.ArgumentTypeError(f"{text} is not a level from 0 to 12")
    return level


def _jobs(text: str) -> int:
    jobs = int(text)
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"{text}: at least one thread")
    return jobs


def _seconds(text: str) -> float:
    seconds = float(text)
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"{text}: a number of seconds above 0")
    return seconds


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vextaro", description="Convert and describe PNG and BMP files "
                                     "with Vextaro.simpleImage_ext.")
    parser.add_argument("--version", action="version", version=f"vextaro {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    convert = commands.add_parser("convert", help="convert files and folders to PNG or BMP", description=(
        "Converts each SRC file, and every .png and .bmp file of each SRC folder (walked recursively), "
        "into OUT_DIR: a file given by name goes to OUT_DIR/<its name>, a folder's files to "
        "OUT_DIR/<their path inside it>, with the target's extension. Outputs that would meet are refused "
        "before anything is written; existing outputs are skipped unless --overwrite."))
    convert.add_argument("sources", nargs="+", metavar="SRC")
    convert.add_argument("-o", "--out", required=True, metavar="OUT_DIR")
    convert.add_argument("--to", choices=("png", "bmp"), default="png", help="the output format (default: png)")
    convert.add_argument("--compress-level", type=_level, metavar="N",
                         help="the PNG save's compression level, 0 to 12 (default: the module's)")
    convert.add_argument("--jobs", type=_jobs, default=os.cpu_count() or 1, metavar="N",
                         help="threads converting at once (default: the machine's cores)")
    convert.add_argument("--scheduler", metavar="ADDRESS",
                         help="convert on the Dask cluster of this scheduler (needs 'Vextaro[dask]')")
    convert.add_argument("--timeout", type=_seconds, default=30.0, metavar="SECONDS",
                         help="with --scheduler: how long to wait for the scheduler and a worker (default: 30)")
    convert.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    info = commands.add_parser("info", help="describe PNG and BMP files", description=(
        "For each file: kind, size, channels, chunks (type, length, text keywords), IDAT sizes and rows per "
        "filter type. With --json, one object per line, the keys of Vextaro.info.describe."))
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON object per file and line")
    return parser


def _convert(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from .cluster import Unreachable
    from .convert import Converted, Skipped, out_dir_problem, plan, run_dask, run_threads
    from .interrupt import Interrupt

    if args.compress_level is not None and args.to == "bmp":
        err.write("vextaro: --compress-level applies to PNG output, not to --to bmp\n")
        return USAGE_ERROR
    if args.scheduler:
        try:
            import distributed  # noqa: F401
        except ImportError:
            err.write("vextaro: --scheduler needs Dask's distributed: pip install 'Vextaro[dask]'\n")
            return USAGE_ERROR
    problem = out_dir_problem(args.out)
    if problem:
        err.write(f"vextaro: {args.out}: {problem}\n")
        return USAGE_ERROR
    started = time.perf_counter()
    settled = plan(args.sources, args.out, args.to, args.overwrite)
    if settled.collisions:
        err.writelines(f"vextaro: refused: {line}\n" for line in settled.collisions)
        err.write(f"vextaro: nothing written: {len(settled.collisions)} collision(s)\n")
        return USAGE_ERROR
    err.writelines(f"vextaro: {failure.path}: {failure.reason}\n" for failure in settled.failed)
    progress = _Progress(len(settled.jobs), err)
    results: list[Converted] = []

    def done(result: Converted) -> None:
        results.append(result)
        if result.error is not None:
            progress.write(f"vextaro: {result.error_path or result.source}: {result.error}")
        progress.step()

    try:
        with Interrupt() as stop:
            if args.scheduler:
                run_dask(args.scheduler, settled.jobs, args.to, args.compress_level, done, stop, args.overwrite,
                         args.timeout, lambda line: progress.write(f"vextaro: {line}"))
            else:
                run_threads(settled.jobs, args.to, args.compress_level, args.jobs, done, stop, args.overwrite)
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
    out.writelines(f"skipped {skip.path}: {skip.reason}\n" for skip in skipped)
    not_started = f", not started {len(settled.jobs) - len(results)}" if interrupted else ""
    out.write(f"{'interrupted: ' if interrupted else ''}converted {len(converted)}, skipped {len(skipped)}, "
              f"failed {failed}{not_started}; {sum(r.bytes_in for r in converted)} bytes in, "
              f"{sum(r.bytes_out for r in converted)} bytes out; {time.perf_counter() - started:.2f} s\n")
    if interrupted:
        return INTERRUPTED
    return 1 if failed else 0


def _info(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from .convert import error_message
    from .info import describe, text

    status = 0
    for path in args.files:
        try:
            found = describe(path)
        except Exception as error:  # noqa: BLE001 - whatever stops one file is reported for it
            err.write(f"vextaro: {path}: {error_message(error)}\n")
            status = 1
            continue
        out.write((json.dumps(found) if args.json else text(found)) + "\n")
    return status


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    out, err = sys.stdout, sys.stderr
    escape_names(out, err)
    # Every open prints a report line on sys.stdout, from whichever thread opened. This
    # process is the command's own: its sys.stdout goes nowhere while it runs, and its
    # own lines go to the real standard output.
    try:
        with open(os.devnull, "w") as quiet:
            sys.stdout = quiet
            try:
                return (_convert if args.command == "convert" else _info)(args, out, err)
            except KeyboardInterrupt:  # before any file was under way: nothing to sum up
                err.write("vextaro: interrupted\n")
                return INTERRUPTED
            finally:
                sys.stdout = out
                out.flush()
    except BrokenPipeError:
        return output_gone()
