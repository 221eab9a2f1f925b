"""Saves through other zlib-compatible compressors, and the library on 1 and 2 threads.

    python bench/at_scale.py [--rounds N] [--cache DIR]

On the benchmark's photographs (bench.py makes them): the time and size of a save with
the host's zlib, zlib-ng and isal (each where it imports; through examples/fast_save.py),
beside that compressor's own `compress` of the same scanlines, and an open's time while
a fast save is under way; then opens, saves and
whole BMP-to-PNG conversions of 8 images on 1 and 2 threads. Prints Markdown tables of
the fastest round of each (default 5).
"""
import argparse
import contextlib
import os
import platform
import sys
import tempfile
import zlib
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "examples")]

import bench  # noqa: E402
from quiet_reports import drop_reports  # noqa: E402
from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

COMPRESSORS = {"zlib": zlib.compress}
# Other compressors go through fast_save.py, which needs zlib-ng.
with contextlib.suppress(ImportError):
    from fast_save import fast_saves, save_fast
    from zlib_ng import zlib_ng

    COMPRESSORS["zlib-ng"] = zlib_ng.compress
    with contextlib.suppress(ImportError):
        from isal import isal_zlib

        COMPRESSORS["isal"] = isal_zlib.compress
BATCH = 8


# The fastest of the rounds, not their median: on a machine whose cores other work
# shares, the fastest round is the one least disturbed.
def best_time(fn, rounds):
    return min(bench.timed(fn) for _ in range(rounds))


def compressors(paths, rounds, tmp):
    print("| image | compressor | save | its `compress` of the scanlines | save / compress | size "
          "| save against zlib's: time, size |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for key in ("photo_rgb", "photo_rgba", "large_rgb"):
        image = SimpleImage.open(paths[key])
        label = f"{image.width}x{image.height} {'RGBA' if image._alpha is not None else 'RGB'}"
        target = os.path.join(tmp, "out.png")
        image.save(target)
        with open(target, "rb") as f:
            scanlines = bytearray(zlib.decompress(bench.idat_payload(f.read())))
        plain = None
        for name, compress in COMPRESSORS.items():
            def save(compress=compress):
                if compress is zlib.compress:  # the module's own path: the default
                    image.save(target)
                    return
                with fast_saves(compress):
                    image.save(target)
            # The two take turns, so that drift of the shared machine hits both alike.
            saves, floors = [], []
            for _ in range(rounds):
                saves.append(bench.timed(save))
                floors.append(bench.timed(compress, scanlines))
            again = SimpleImage.open(target)
            assert (again._pixels, again._alpha) == (image._pixels, image._alpha), name
            save_s, floor_s, size = min(saves), min(floors), os.path.getsize(target)
            plain = plain or (save_s, size)
            print(f"| {label} | {name} | {save_s * 1e3:.0f} ms | {floor_s * 1e3:.0f} ms | "
                  f"{save_s / floor_s:.2f}x | {size:,} B | {save_s / plain[0]:.2f}x, {size / plain[1]:.3f}x |")


def opens_meanwhile(paths, rounds):
    """An open takes the module's Python path while a fast save runs on any thread."""
    with open(paths["photo_rgb"], "rb") as f:
        data = f.read()
    own = best_time(lambda: SimpleImage.open(data), rounds * 3)
    with fast_saves():  # as if another thread were inside a block
        meanwhile = best_time(lambda: SimpleImage.open(data), rounds * 3)
    print(f"\nopen of the 1920x1280 photograph: {own * 1e3:.1f} ms, "
          f"{meanwhile * 1e3:.1f} ms while a fast save runs")


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
    if "zlib-ng" in COMPRESSORS:
        tasks["save it through zlib-ng"] = lambda i: save_fast(image, os.path.join(tmp, f"f{i}.png"))
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
                times[workers].append(bench.timed(lambda: list(pool.map(task, range(BATCH)))))
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
        compressors(paths, args.rounds, tmp)
        if "zlib-ng" in COMPRESSORS:
            opens_meanwhile(paths, args.rounds)
        threads(paths, args.rounds, tmp)
    print(f"\nload average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
