"""The `vextaro` command (also `python -m Vextaro`).

    vextaro convert SRC... -o OUT_DIR|FILE.png|FILE.bmp|- [--to png|bmp] [--compress-level N]
                    [--jobs N] [--scheduler ADDRESS [--timeout SECONDS]] [--overwrite]
                    [--keep-if-smaller] [--preserve-time] [--dry-run] [-q]
    vextaro info FILE... [--json]

Exit status: 0 when every file was converted or described, 1 when any failed (each
reported on stderr with its path), 2 for a usage error or a refused plan, 130 after
Ctrl-C, 141 when standard output was closed.
"""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TextIO

from .status import INTERRUPTED
from .streams import escape_names, output_gone

__all__ = ["main"]


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


class _Version(argparse.Action):
    """--version, which alone reads the package's metadata."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        from . import __version__

        sys.stdout.write(f"vextaro {__version__}\n")
        parser.exit()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vextaro", description="Convert and describe PNG and BMP files "
                                     "with Vextaro.simpleImage_ext.")
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    convert = commands.add_parser("convert", help="convert files and folders to PNG or BMP", description=(
        "Converts each SRC file, and every .png and .bmp file of each SRC folder (walked recursively), "
        "into OUT_DIR: a file given by name goes to OUT_DIR/<its name>, a folder's files to "
        "OUT_DIR/<their path inside it>, with the target's extension. Outputs that would meet are refused "
        "before anything is written; existing outputs are skipped unless --overwrite."))
    convert.add_argument("sources", nargs="+", metavar="SRC")
    convert.add_argument("-o", "--out", required=True, metavar="OUT_DIR",
                         help="the output folder; for one file SRC, a FILE.png or FILE.bmp, or - for stdout")
    convert.add_argument("--to", choices=("png", "bmp"),
                         help="the output format (default: the -o file's extension, or png)")
    convert.add_argument("--compress-level", type=_level, metavar="N",
                         help="the PNG save's compression level, 0 to 12 (default: the module's)")
    convert.add_argument("--jobs", type=_jobs, default=os.cpu_count() or 1, metavar="N",
                         help="threads converting at once (default: the machine's cores)")
    convert.add_argument("--scheduler", metavar="ADDRESS",
                         help="convert on the Dask cluster of this scheduler (needs 'Vextaro[dask]')")
    convert.add_argument("--timeout", type=_seconds, default=30.0, metavar="SECONDS",
                         help="with --scheduler: how long to wait for the scheduler and a worker (default: 30)")
    convert.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    convert.add_argument("--keep-if-smaller", action="store_true",
                         help="where a PNG re-encoded from a PNG is no smaller, write a byte copy of the source")
    convert.add_argument("--preserve-time", action="store_true", help="give outputs their source's modification time")
    convert.add_argument("--dry-run", action="store_true",
                         help="name each source and its output, and write nothing (not even OUT_DIR)")
    convert.add_argument("-q", "--quiet", action="store_true", help="no progress bar or counter")
    info = commands.add_parser("info", help="describe PNG and BMP files", description=(
        "For each file: kind, size, channels, chunks (type, length, text keywords), IDAT sizes and rows per "
        "filter type. With --json, one object per line, the keys of Vextaro.info.describe."))
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON object per file and line")
    return parser


def _info(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    import json

    from .errors import error_message
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
                if args.command == "convert":
                    from .convert_cli import convert

                    return convert(args, out, err)
                return _info(args, out, err)
            except KeyboardInterrupt:  # before any file was under way: nothing to sum up
                err.write("vextaro: interrupted\n")
                return INTERRUPTED
            finally:
                sys.stdout = out
                out.flush()
    except BrokenPipeError:
        return output_gone()
