"""A/B of two builds of the module on the operations the benchmark times: each build
runs in a child process of its own, the two take turns round by round (so that drift
of the machine hits both alike), and the median of each is reported with their ratio.

    python bench/ab.py TREE_A TREE_B [--rounds 15]

A tree is a folder holding the package Vextaro/ with the module built for this
interpreter (a source tree after `build_host`, or a checkout of another commit).
"""
import argparse
import json
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import contextlib, gc, io, json, os, random, sys, time
sys.path.insert(0, sys.argv[1])
from Vextaro.simpleImage_ext import SimpleImage
folder = sys.argv[2]
W, H = 1920, 1280

def photo(alpha):
    # Smooth light with grain, as a photograph has: Paeth rows, a few MB compressed.
    rng = random.Random(7)
    grain = bytes(rng.randrange(12) for _ in range(1 << 16))
    rows = bytearray()
    for y in range(H):
        g = grain[(y * 977) % 40000:][:W * 3]
        rows += bytes(((x * 255 // (W * 3)) + (y >> 3) + g[x]) & 255 for x in range(W * 3))
    return SimpleImage(W, H, rows, bytes(W * H) if alpha else None, None, None, bytes([4]) * H)

paths = {}
with contextlib.redirect_stdout(io.StringIO()):
    for name, alpha in (("rgb", False), ("rgba", True)):
        paths[name] = os.path.join(folder, name + ".png")
        if not os.path.exists(paths[name]):
            photo(alpha).save(paths[name])
    data = {k: open(p, "rb").read() for k, p in paths.items()}
    bmp = os.path.join(folder, "photo.bmp")
    if not os.path.exists(bmp):
        SimpleImage.open(data["rgb"]).saveBmp(bmp)
    bmp_data = open(bmp, "rb").read()
    opened = SimpleImage.open(data["rgb"])
    small = SimpleImage(256, 256, bytes(256 * 256 * 3))

def scan():
    get = small.getPixel
    for y in range(256):
        for x in range(256):
            get((x, y))

def write():
    put, v = small.putPixel, (1, 2, 3)
    for y in range(256):
        for x in range(256):
            put((x, y), v)

ops = {
    "open PNG RGB (bytes)": lambda: SimpleImage.open(data["rgb"]),
    "open PNG RGBA (bytes)": lambda: SimpleImage.open(data["rgba"]),
    "open PNG RGB (path)": lambda: SimpleImage.open(paths["rgb"]),
    "open BMP (bytes)": lambda: SimpleImage.open(bmp_data),
    "save PNG, source's chunks and filters": lambda: opened.save(os.path.join(folder, "out.png")),
    "saveBmp": lambda: opened.saveBmp(os.path.join(folder, "out.bmp")),
    "getPixel, 65536 calls": scan,
    "putPixel, 65536 calls": write,
}
for line in sys.stdin:
    times = {}
    with contextlib.redirect_stdout(io.StringIO()):
        for name, op in ops.items():
            gc.collect()  # outside the timed span: PyPy frees large buffers only when it collects
            t = time.perf_counter()
            op()
            times[name] = time.perf_counter() - t
    print(json.dumps(times), flush=True)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        children = [subprocess.Popen([sys.executable, "-c", CHILD, tree, folder], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True) for tree in (args.a, args.b)]
        samples = [[], []]
        for r in range(args.rounds + 2):  # two rounds of warm-up
            for k, child in enumerate(children):
                child.stdin.write("go\n")
                child.stdin.flush()
                times = json.loads(child.stdout.readline())
                if r >= 2:
                    samples[k].append(times)
        for child in children:
            child.stdin.close()
            child.wait()
    print(f"{'operation':42s} {'A ms':>9s} {'B ms':>9s}  B/A   (medians of {args.rounds} rounds; IQR % of median)")
    for name in samples[0][0]:
        med, spread = [], []
        for k in range(2):
            values = sorted(s[name] for s in samples[k])
            q = statistics.quantiles(values, n=4)
            med.append(statistics.median(values))
            spread.append((q[2] - q[0]) / med[-1] * 100)
        print(f"{name:42s} {med[0] * 1e3:9.2f} {med[1] * 1e3:9.2f}  {med[1] / med[0]:.2f}"
              f"  (±{spread[0]:.0f} % / ±{spread[1]:.0f} %)")


if __name__ == "__main__":
    main()
