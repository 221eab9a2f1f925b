"""The library on 1 and 2 threads.

    python bench/at_scale.py [--rounds N] [--cache DIR]

On the benchmark's photographs (bench.py makes them): opens, saves (the default and at
compress_level=1) and whole BMP-to-PNG conversions of 8 images on 1 and 2 threads.
Prints a Markdown table of the fastest round of each (default 5). Saves by level
against the default and the compressors alone are bench/levels.py's.
"""
import argparse
import os
import platform
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "examples")]

import bench  # noqa: E402
from quiet_reports import drop_reports  # noqa: E402
from timing import timed  # noqa: E402
from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

BATCH = 8


# The fastest of the rounds, not their median: on a machine whose cores other work
# shares, the fastest round is the one least disturbed.
def best_time(fn, rounds):
    return min(timed(fn) for _ in range(rounds))


def threads(paths, rounds, tmp):
    from Vextaro.convert import convert_file

    with open(paths["photo_rgb"], "rb") as f:
        data = f.read()
    image = SimpleImage.open(data)
    bmp = os.path.join(tmp, "in.bmp")
    image.saveBmp(bmp)
    tasks = {
        "open a 1920x1280 PNG photograph": (lambda i: SimpleImage.open(data)),
        "save it": (lambda i: image.save(os.path.join(tmp, f"s{i}.png"))),
    }
    tasks["save it at compress_level=1"] = lambda i: image.save(os.path.join(tmp, f"f{i}.png"), compress_level=1)
    tasks["convert a 1920x1280 BMP to PNG (vextaro convert)"] = \
        lambda i: convert_file(bmp, os.path.join(tmp, f"c{i}.png"))
    print(f"\n| {BATCH} times | 1 thread | 2 threads | 2 / 1 |")
    print("|---|---:|---:|---:|")
    pools = {workers: ThreadPoolExecutor(workers) for workers in (1, 2)}
    for workers, pool in pools.items():
        list(pool.map(len, [b""] * workers))  # the workers started before timing
    for label, task in tasks.items():
        times = {1: [], 2: []}
        for _ in range(rounds):  # 1 and 2 threads take turns
            for workers, pool in pools.items():
                times[workers].append(timed(lambda pool=pool, task=task: list(pool.map(task, range(BATCH)))))
        one, two = min(times[1]), min(times[2])
        print(f"| {label} | {one:.2f} s | {two:.2f} s | {two / one:.2f}x |")
    for pool in pools.values():
        pool.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "bench"))
    args = parser.parse_args()
    source, paths = bench.make_inputs(args.cache, bench.SIZES["full"])
    print(f"{platform.python_implementation()} {platform.python_version()}, inputs: {source}, "
          f"the fastest of {args.rounds} rounds, load average {os.getloadavg()[0]:.1f}\n")
    drop_reports()  # the report line of every open, on every thread
    # Files go to memory where it can, as bench.py's do: the disk's own times are not the library's.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=shm) as tmp:
        threads(paths, args.rounds, tmp)
    print(f"\nload average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
