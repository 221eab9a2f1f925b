"""Converts every PNG and BMP file of a folder to PNG on a Dask cluster.

    python examples/dask_convert.py IN_DIR OUT_DIR [--scheduler ADDRESS] [--workers N]

With --scheduler the work goes to that running cluster (its workers must see IN_DIR
and OUT_DIR at the same paths, and have Vextaro installed); without it, to a local
cluster of N worker processes (default 2) on this machine. Pixels and alpha are kept,
and a PNG keeps its chunks. Each task opens and saves by path and hands back a few
numbers: images cannot be pickled, so they never leave the worker. Needs dask's
`distributed`.
"""
import argparse
import hashlib
import os
import struct
import sys
from pathlib import Path
from typing import NamedTuple, Optional

from distributed import Client, LocalCluster

from quiet_reports import drop_reports
from Vextaro.simpleImage_ext import SimpleImage

HERE = Path(__file__).resolve().parent


class Converted(NamedTuple):
    """What a task hands back: small, picklable results, never the image."""

    name: str
    error: Optional[str] = None
    bytes_in: int = 0
    bytes_out: int = 0
    # sha256 of the pixels and alpha: the same for the source and the PNG written.
    digest: str = ""


def convert(source: str, target: str) -> Converted:
    drop_reports()  # once per worker process: its threads share one sys.stdout
    try:
        image = SimpleImage.open(source)
        image._bmp_header = None  # a BMP's image is saved as PNG without it
        image.save(target)
    except (OSError, ValueError, struct.error) as error:
        return Converted(os.path.basename(source), error=str(error))
    digest = hashlib.sha256(image._pixels)
    digest.update(image._alpha or b"")
    return Converted(os.path.basename(source), None, os.path.getsize(source), os.path.getsize(target),
                     digest.hexdigest())


def convert_folder(client: Client, in_dir: Path, out_dir: Path) -> list[Converted]:
    sources = sorted(p for p in in_dir.iterdir() if p.suffix.lower() in (".png", ".bmp") and p.is_file())
    out_dir.mkdir(parents=True, exist_ok=True)
    # Modules of this folder that the tasks use, for workers that do not have them.
    client.upload_file(str(HERE / "quiet_reports.py"))
    futures = client.map(convert, [str(p) for p in sources], [str(out_dir / (p.stem + ".png")) for p in sources],
                         pure=False)
    results: list[Converted] = client.gather(futures)
    return results


def main(argv: list[str]) -> int:
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("in_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--scheduler", metavar="ADDRESS")
    parser.add_argument("--workers", type=int, default=2, metavar="N")
    args = parser.parse_args(argv[1:])
    if args.scheduler:
        with Client(args.scheduler) as client:
            results = convert_folder(client, args.in_dir, args.out_dir)
    else:
        # Loopback only, and no dashboard: nothing listens beyond this machine.
        with LocalCluster(n_workers=args.workers, processes=True, host="127.0.0.1", dashboard_address=None) as cluster, \
                Client(cluster) as client:
            results = convert_folder(client, args.in_dir, args.out_dir)
    failed = [r for r in results if r.error]
    for r in results:
        print(f"skipped {r.name}: {r.error}" if r.error else f"{r.name}: {r.bytes_in} -> {r.bytes_out} bytes, {r.digest}",
              file=sys.stderr if r.error else sys.stdout)
    print(f"converted {len(results) - len(failed)} of {len(results)} files to {args.out_dir}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
