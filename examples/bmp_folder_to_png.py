"""Converts every BMP file of a folder to PNG on every core, showing progress.

    python examples/bmp_folder_to_png.py IN_DIR OUT_DIR [--jobs N]

N threads convert at once (default: one per core): the module lets go of the
interpreter lock while it decodes and compresses. Progress is a tqdm bar where tqdm
is installed, one updated line otherwise. Files that cannot be read are reported and
skipped; the exit status is then 1. With numpy, each row gets the filter type that
suits it (smaller_png.py): smaller files.
"""
import argparse
import os
import struct
import sys
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Callable, Optional

from quiet_reports import drop_reports
from Vextaro.simpleImage_ext import SimpleImage

try:
    from smaller_png import filter_types
except ImportError:  # no numpy: every row keeps filter type 0

    def filter_types(image: SimpleImage) -> bytearray:
        return bytearray(image.height)


def convert(source: Path, target: Path) -> None:
    image = SimpleImage.open(source)
    # save() writes the format an image came from; without its BMP header an
    # image is saved as PNG.
    image._bmp_header = None
    image._png_filters = filter_types(image)
    image.save(str(target))


def progress_shower(total: int) -> tuple[Callable[[str], None], Callable[[], None]]:
    """(step, close): step(name) counts one more file done."""
    try:
        from tqdm import tqdm
    except ImportError:
        return line_progress(total)
    bar = tqdm(total=total, unit="file")

    def step(name: str) -> None:
        bar.update()

    return step, bar.close


def line_progress(total: int) -> tuple[Callable[[str], None], Callable[[], None]]:
    done = shown = 0

    def step(name: str) -> None:
        nonlocal done, shown
        done += 1
        text = f"[{done}/{total}] {name}"
        print("\r" + text.ljust(shown), end="", flush=True)  # padded over the longer line before it
        shown = len(text)

    return step, lambda: print("\r" + " " * shown + "\r", end="", flush=True)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(usage=__doc__.strip().splitlines()[2].strip(), description=__doc__)
    parser.add_argument("in_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N")
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    args = parser.parse_args(argv[1:])
    sources = sorted(p for p in args.in_dir.iterdir() if p.suffix.lower() == ".bmp" and p.is_file())
    args.out_dir.mkdir(parents=True, exist_ok=True)
    # open() prints a report line per image, from whichever thread opened it.
    drop_reports()
    failed = []
    step, close = progress_shower(len(sources))
    with ThreadPoolExecutor(max(1, args.jobs)) as pool:
        jobs: dict[Future[None], Path] = {
            pool.submit(convert, source, args.out_dir / (source.stem + ".png")): source for source in sources}
        for job in as_completed(jobs):
            error: Optional[BaseException] = job.exception()
            if isinstance(error, (OSError, ValueError, struct.error)):
                failed.append(f"{jobs[job].name}: {error}")
            elif error is not None:
                raise error
            step(jobs[job].name)
    close()
    print(f"converted {len(sources) - len(failed)} of {len(sources)} BMP files to {args.out_dir}")
    for line in sorted(failed):
        print("skipped", line, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
