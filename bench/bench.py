"""Speed and memory of Vextaro.simpleImage_ext as ratios against Pillow, pypng, pyspng and floors.

Every contender runs on the same inputs in the same process; the contenders of a
comparison take turns round by round, so that drift of the machine hits all of them
alike, and each time reported is the median of many rounds after a warm-up.

    python bench/bench.py [--quick] [--out DIR] [--cache DIR]
    python bench/bench.py --combine RESULTS.json... [--out DIR]   # one chart of several hosts
"""

import argparse
import contextlib
import json
import os
import platform
import shutil
import statistics
import sys
import tempfile

from common import DEFLATE, PILLOW, PYPNG, PYSPNG, ROOT
from inputs import SIZES, make_inputs
from measure import (
    ROUNDS,
    bench_bmp,
    bench_memory,
    bench_opens_amid_pypng,
    bench_opens_in_a_row,
    bench_pixels,
    bench_png,
    bench_threads,
)
from report import chart, combine, comparisons, markdown
from timing import SPREAD, STEADINESS, quartiles


def host_info():
    cpu = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    return {"implementation": platform.python_implementation(), "python": platform.python_version(),
            "pillow": PILLOW, "pypng": PYPNG, "pyspng": PYSPNG, "deflate": DEFLATE, "cpu": cpu, "cores": os.cpu_count(),
            "machine": platform.machine(), "load_before": load_average()}


def load_average():
    # Other processes skew every number, the two-thread ratio most: the report shows how busy the machine was.
    try:
        return round(os.getloadavg()[0], 2)
    except OSError:
        return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds on small images (a smoke run)")
    parser.add_argument("--out", help="folder for results.json, results.md and ratios.png "
                                      "(default: build/bench/results/<host>[-quick])")
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "bench"),
                        help="folder where the generated inputs are kept")
    parser.add_argument("--combine", nargs="+", metavar="RESULTS_JSON",
                        help="measure nothing: draw these runs side by side into --out (ratios.png, results.md)")
    args = parser.parse_args(argv)
    if args.combine:
        return combine(args.combine, args.out or os.path.join(ROOT, "build", "bench", "results"))
    mode = "quick" if args.quick else "full"
    if args.out is None:
        tag = "pypy3" if platform.python_implementation() == "PyPy" else f"cp{sys.version_info[0]}{sys.version_info[1]}"
        args.out = os.path.join(ROOT, "build", "bench", "results", tag + ("-quick" if args.quick else ""))
    rounds = ROUNDS[mode]

    source, paths = make_inputs(args.cache, SIZES[mode])
    results = {"quick": args.quick, "host": host_info(), "inputs": source}
    tmp = tempfile.mkdtemp(prefix="simpleimage-bench-", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        # The module reports every open on stdout.
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            (results["open_png"], results["save_png"], results["save_png_unfiltered"],
             results["save_png_sizes"]) = bench_png(paths, rounds, tmp)
            size, opened, saved = bench_bmp(paths, rounds, tmp)
            results["bmp"] = {"size": size, "open": opened, "save": saved}
            size, calls, got, put = bench_pixels(paths, rounds)
            results["pixels"] = {"size": size, "calls": calls, "get": got, "put": put}
            results["memory"] = bench_memory(paths, rounds)
            results["threads"] = bench_threads(paths, rounds)
            results["open_png_amid_pypng"] = bench_opens_amid_pypng(paths, rounds) or {}
            results["open_png_in_a_row"] = bench_opens_in_a_row(paths, rounds)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    results["host"]["load_after"] = load_average()
    if STEADINESS:
        q1, q3 = quartiles(STEADINESS)
        median = statistics.median(STEADINESS)
        results["host"]["steadiness"] = {"median": median, "spread": (q3 - q1) / median, "samples": len(STEADINESS)}
    results["spread"] = SPREAD
    rows = comparisons(results)
    results["comparisons"] = rows
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    table = markdown(results, rows)
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as f:
        f.write(table)
    chart([(results, rows)], os.path.join(args.out, "ratios.png"))
    sys.stdout.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
