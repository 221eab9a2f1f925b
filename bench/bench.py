"""Speed and memory of Vextaro.simpleImage_ext as ratios against Pillow, pypng, pyspng and floors.

Every contender runs on the same inputs in the same process; the contenders of a
comparison take turns round by round, so that drift of the machine hits all of them
alike, and each time reported is the median of many rounds after a warm-up.

    python bench/bench.py [--quick] [--out DIR] [--cache DIR]
    python bench/bench.py --combine RESULTS.json... [--out DIR]   # one chart of several hosts
"""

import argparse
import contextlib
import gc
import io
import json
import os
import platform
import random
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

try:
    import PIL
    from PIL import Image, ImageFilter, ImageOps

    PILLOW = PIL.__version__
except ImportError:
    Image = None
    PILLOW = None

try:
    import png

    PYPNG = png.__version__
except (ImportError, AttributeError):  # without pypng, the source tree's png/ folder imports as a namespace
    png = None
    PYPNG = None

try:
    import pyspng

    PYSPNG = getattr(pyspng, "__version__", "?")
except ImportError:
    pyspng = None
    PYSPNG = None

try:
    import deflate  # libdeflate

    DEFLATE = getattr(deflate, "__version__", "?")
except ImportError:
    deflate = None
    DEFLATE = None

# Debian's mate-backgrounds (bench/setup.sh installs it): a real 1920x1280 photograph,
# and a detailed 5640x3172 picture that scales down to 4096x2304 with its fine texture kept.
PHOTOS = {
    "storm": "/usr/share/backgrounds/mate/nature/Storm.jpg",
    "detail": "/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg",
}

SIZES = {
    "full": {"photo": (1920, 1280), "large": (4096, 2304), "bmp": (1920, 1280), "pixels": (512, 512)},
    "quick": {"photo": (240, 160), "large": (512, 288), "bmp": (240, 160), "pixels": (48, 48)},
}
# pypng decodes in pure Python, seconds an image on CPython: it opens in only about
# this many of the rounds, spread over the whole race.
SLOW_SAMPLES = 5
ROUNDS = {
    "full": {"warmup": 2, "open": 21, "save": 7, "bmp": 31, "pixels": 11, "threads": 9, "memory": 3},
    "quick": {"warmup": 1, "open": 3, "save": 2, "bmp": 3, "pixels": 2, "threads": 2, "memory": 1},
}
THREADED_OPENS = 16


def progress(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- inputs


def idat_payload(data):
    """The zlib stream of a PNG file: its IDAT chunks' data joined."""
    pos, parts = 8, []
    while pos + 8 <= len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        if data[pos + 4:pos + 8] == b"IDAT":
            parts.append(data[pos + 8:pos + 8 + length])
        pos += 12 + length
    return b"".join(parts)


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def write_png_py(path, width, height, rgb, alpha=None):
    """A PNG written without Pillow, every row with the Sub filter."""
    bpp = 4 if alpha is not None else 3
    lines = bytearray()
    for y in range(height):
        if alpha is None:
            row = rgb[y * width * 3:(y + 1) * width * 3]
        else:
            row = bytearray(width * 4)
            row[0::4] = rgb[y * width * 3:(y + 1) * width * 3:3]
            row[1::4] = rgb[y * width * 3 + 1:(y + 1) * width * 3:3]
            row[2::4] = rgb[y * width * 3 + 2:(y + 1) * width * 3:3]
            row[3::4] = alpha[y * width:(y + 1) * width]
        out = bytearray(row)
        for i in range(bpp, len(row)):
            out[i] = (row[i] - row[i - bpp]) & 255
        lines += b"\x01" + out
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha is not None else 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(bytes(lines)))
                + png_chunk(b"IEND", b""))


def write_bmp_py(path, width, height, rgb):
    stride = (width * 3 + 3) // 4 * 4
    body = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(rgb[y * width * 3:(y + 1) * width * 3])
        row[0::3], row[2::3] = row[2::3], row[0::3]
        body += row + bytes(stride - width * 3)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", 54 + len(body), 0, 0, 54) + info + body)


def synthetic_rgb_py(width, height, seed):
    """Photo-like RGB without Pillow: smooth colour fields plus sensor-like noise."""
    rnd = random.Random(seed)
    cell = 24
    grid = [[[rnd.randrange(256) for _ in range(3)] for _ in range(width // cell + 2)]
            for _ in range(height // cell + 2)]
    noise = [int(rnd.gauss(0, 4)) for _ in range(8191)]
    out = bytearray(width * height * 3)
    o = 0
    for y in range(height):
        gy, fy = divmod(y, cell)
        fy /= cell
        top, bottom = grid[gy], grid[gy + 1]
        for x in range(width):
            gx, fx = divmod(x, cell)
            fx /= cell
            a0, a1, b0, b1 = top[gx], top[gx + 1], bottom[gx], bottom[gx + 1]
            for c in range(3):
                upper = a0[c] + (a1[c] - a0[c]) * fx
                lower = b0[c] + (b1[c] - b0[c]) * fx
                v = int(upper + (lower - upper) * fy) + noise[o % 8191]
                out[o] = 0 if v < 0 else 255 if v > 255 else v
                o += 1
    return bytes(out)


def synthetic_pillow(width, height, seed):
    """Photo-like content: smooth structure plus sensor-like noise."""
    random.seed(seed)
    small = Image.effect_noise((max(width // 16, 1), max(height // 16, 1)), 80).convert("RGB")
    smooth = small.resize((width, height), Image.BICUBIC).filter(ImageFilter.GaussianBlur(3))
    noise = Image.merge("RGB", [Image.effect_noise((width, height), 12)] * 3)
    return Image.blend(smooth, noise, 0.15)


def input_files(cache, sizes):
    """Names of the input files per source, for the sizes of this run."""
    (pw, ph), (lw, lh), (bw, bh), (xw, xh) = sizes["photo"], sizes["large"], sizes["bmp"], sizes["pixels"]
    names = {
        "photo_rgb": f"photo-{pw}x{ph}-rgb.png",
        "photo_rgba": f"photo-{pw}x{ph}-rgba.png",
        "large_rgb": f"large-{lw}x{lh}-rgb.png",
        "bmp": f"bmp-{bw}x{bh}.bmp",
        "pixels": f"pixels-{xw}x{xh}-rgb.png",
    }
    return {source: {k: os.path.join(cache, f"{source}-{v}") for k, v in names.items()}
            for source in ("photo", "synthetic", "synthetic-py")}


def make_inputs(cache, sizes):
    """Makes (or reuses) the inputs and returns (source, {name: path})."""
    os.makedirs(cache, exist_ok=True)
    per_source = input_files(cache, sizes)
    if Image is not None:
        source = "photo" if all(os.path.exists(p) for p in PHOTOS.values()) else "synthetic"
    else:
        # Without Pillow reuse what a Pillow host made, so hosts compare on the same files.
        source = next((s for s in ("photo", "synthetic", "synthetic-py")
                       if all(os.path.exists(p) for p in per_source[s].values())), "synthetic-py")
    paths = per_source[source]
    if all(os.path.exists(p) for p in paths.values()):
        return source, paths
    progress(f"making {source} inputs under {cache}")

    def commit(writer, path):
        # Written aside and renamed, so a concurrent run never reads half a file.
        temporary = f"{path}.{os.getpid()}.tmp"
        writer(temporary)
        os.replace(temporary, path)

    (pw, ph), (lw, lh), (bw, bh), (xw, xh) = sizes["photo"], sizes["large"], sizes["bmp"], sizes["pixels"]
    if source == "synthetic-py":
        photo = synthetic_rgb_py(pw, ph, 1)
        gradient = bytes(y * 255 // max(ph - 1, 1) for y in range(ph) for _ in range(pw))
        commit(lambda p: write_png_py(p, pw, ph, photo), paths["photo_rgb"])
        commit(lambda p: write_png_py(p, pw, ph, photo, gradient), paths["photo_rgba"])
        commit(lambda p: write_png_py(p, lw, lh, synthetic_rgb_py(lw, lh, 2)), paths["large_rgb"])
        commit(lambda p: write_bmp_py(p, bw, bh, synthetic_rgb_py(bw, bh, 3)), paths["bmp"])
        commit(lambda p: write_png_py(p, xw, xh, synthetic_rgb_py(xw, xh, 4)), paths["pixels"])
        return source, paths

    if source == "photo":
        def picture(name, size):
            with Image.open(PHOTOS[name]) as im:
                return ImageOps.fit(im.convert("RGB"), size, Image.LANCZOS)
        photo, large = picture("storm", (pw, ph)), picture("detail", (lw, lh))
        bmp = picture("storm", (bw, bh))
        pixels = picture("detail", (xw, xh))
    else:
        photo, large = synthetic_pillow(pw, ph, 1), synthetic_pillow(lw, lh, 2)
        bmp, pixels = synthetic_pillow(bw, bh, 3), synthetic_pillow(xw, xh, 4)
    rgba = photo.copy()
    rgba.putalpha(Image.linear_gradient("L").resize((pw, ph)))
    commit(lambda p: photo.save(p, "PNG"), paths["photo_rgb"])
    commit(lambda p: rgba.save(p, "PNG"), paths["photo_rgba"])
    commit(lambda p: large.save(p, "PNG"), paths["large_rgb"])
    commit(lambda p: bmp.save(p, "BMP"), paths["bmp"])
    commit(lambda p: pixels.save(p, "PNG"), paths["pixels"])
    return source, paths


# ---------------------------------------------------------------- timing


# CPython's collector is paused while a contender runs, so that no contender pays for
# another's garbage. PyPy's is left alone: there gc.disable() stops the major
# collections that release the C-side objects every call into an extension makes,
# and each call then costs several times more than in any real program. Instead
# PyPy collects before each run, outside the timed span: it frees large buffers
# only when it collects, and a run that finds the last round's buffers still held
# takes fresh pages from the kernel, so times would swing with the collector's
# schedule rather than with the contender (bench/README.md, "PyPy").
PAUSE_GC = platform.python_implementation() != "PyPy"


def timed(fn, *args):
    if PAUSE_GC:
        gc.disable()
    else:
        gc.collect()
    try:
        start = time.perf_counter()
        result = fn(*args)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result  # freed outside the timed span, for every contender alike
    return elapsed


# The first and third quartiles of every median reported, {group: {subject: {contender:
# [q1, q3]}}}, so that the report can say how far the rounds scattered.
SPREAD = {}


def quartiles(samples):
    if len(samples) < 2:
        return [samples[0], samples[0]]
    q1, _, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return [q1, q3]


def race(contenders, rounds, warmup, slow=(), spread=None):
    """Median seconds of each contender, {name: (fn, args)}, taking turns every round;
    the quartiles go to SPREAD under spread, a (group, subject) pair.

    The contenders named in slow run every few rounds only (the first one among them,
    a warm-up), for about SLOW_SAMPLES samples."""
    names = list(contenders)
    samples = {name: [] for name in names}
    every = max(1, rounds // SLOW_SAMPLES)
    for r in range(warmup + rounds):
        # The order rotates too, so that no contender always runs right after another.
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            if name in slow and r % every:
                continue
            fn, args = contenders[name]
            elapsed = timed(fn, *args)
            if r >= warmup:
                samples[name].append(elapsed)
    if spread is not None:
        SPREAD.setdefault(spread[0], {})[spread[1]] = {name: quartiles(v) for name, v in samples.items()}
    return {name: statistics.median(v) for name, v in samples.items()}


def module_open(data):
    return SimpleImage.open(data)


def pillow_open(data):
    im = Image.open(io.BytesIO(data))
    im.load()
    return im


def pypng_open(data):
    # read_flat decodes every row into one array; read() alone would hand back a lazy iterator.
    return png.Reader(bytes=data).read_flat()


def pyspng_open(data):
    return pyspng.load(data)  # a numpy array of every pixel


def libdeflate_inflate(payload, size):
    # libdeflate inflates in one call into a buffer of the size given, here that of the scanlines.
    return deflate.zlib_decompress(payload, size)


def pypng_save(path, width, height, alpha, flat):
    with open(path, "wb") as f:
        png.Writer(width, height, greyscale=False, alpha=alpha).write_array(f, flat)


# ---------------------------------------------------------------- measurements


def bench_png(paths, rounds, tmp):
    opens, saves, plain_saves, sizes = {}, {}, {}, {}
    for key, label in (("photo_rgb", "RGB"), ("photo_rgba", "RGBA"), ("large_rgb", "RGB")):
        with open(paths[key], "rb") as f:
            data = f.read()
        image = SimpleImage.open(data)
        name = f"{image.width}x{image.height} {label}"
        payload = idat_payload(data)
        scanlines = zlib.decompress(payload)
        contenders = {"module": (module_open, (data,)), "zlib.decompress": (zlib.decompress, (payload,))}
        if Image is not None:
            contenders["Pillow"] = (pillow_open, (data,))
        if deflate is not None:
            contenders["libdeflate inflate"] = (libdeflate_inflate, (payload, len(scanlines)))
        if png is not None:
            contenders["pypng"] = (pypng_open, (data,))
        if pyspng is not None:
            contenders["pyspng"] = (pyspng_open, (data,))
        progress(f"open PNG {name}")
        opens[name] = race(contenders, rounds["open"], rounds["warmup"], slow={"pypng"},
                            spread=("open PNG", name))
        opens[name]["file bytes"] = len(data)

        targets = {"module": os.path.join(tmp, "module.png")}
        contenders = {"module": (image.save, (targets["module"],)), "zlib.compress": (zlib.compress, (scanlines,))}
        if Image is not None:
            peer = pillow_open(data)
            targets["Pillow"] = os.path.join(tmp, "pillow.png")
            contenders["Pillow"] = (peer.save, (targets["Pillow"], "PNG"))
        if png is not None:
            width, height, flat, info = pypng_open(data)
            targets["pypng"] = os.path.join(tmp, "pypng.png")
            contenders["pypng"] = (pypng_save, (targets["pypng"], width, height, info["alpha"], flat))
        progress(f"save PNG {name}")
        saves[name] = race(contenders, rounds["save"], rounds["warmup"], spread=("save PNG", name))
        # pypng writes every row unfiltered: its times come with a larger file.
        sizes[name] = {who: os.path.getsize(path) for who, path in targets.items()}

        # Like for like with pypng: the same image without its filter list, so every
        # row goes out unfiltered, and zlib.compress of exactly those scanlines.
        plain = SimpleImage(image.width, image.height, image._pixels, image._alpha, None, None, None)
        plain.save(targets["module"])
        with open(targets["module"], "rb") as f:
            unfiltered = zlib.decompress(idat_payload(f.read()))
        contenders = {"module": (plain.save, (targets["module"],)), "zlib.compress": (zlib.compress, (unfiltered,))}
        if png is not None:
            contenders["pypng"] = (pypng_save, (targets["pypng"], width, height, info["alpha"], flat))
        progress(f"save PNG unfiltered {name}")
        plain_saves[name] = race(contenders, rounds["save"], rounds["warmup"],
                                 spread=("save PNG, rows unfiltered", name))
    return opens, saves, plain_saves, sizes


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def bench_bmp(paths, rounds, tmp):
    with open(paths["bmp"], "rb") as f:
        data = f.read()
    image = SimpleImage.open(data)
    name = f"{image.width}x{image.height}"
    pixels = bytearray(image.width * image.height * 3)
    contenders = {"module": (module_open, (data,)), "bytes copy": (bytes, (pixels,))}
    if Image is not None:
        contenders["Pillow"] = (pillow_open, (data,))
    progress(f"open BMP {name}")
    opened = race(contenders, rounds["bmp"], rounds["warmup"], spread=("open BMP", name))

    contenders = {"module": (image.saveBmp, (os.path.join(tmp, "module.bmp"),)), "bytes copy": (bytes, (pixels,)),
                  # Not a floor but a reference: what writing a file of this size costs here.
                  "file write": (write_file, (os.path.join(tmp, "plain.bmp"), data))}
    if Image is not None:
        peer = pillow_open(data)
        contenders["Pillow"] = (peer.save, (os.path.join(tmp, "pillow.bmp"), "BMP"))
    progress(f"saveBmp {name}")
    saved = race(contenders, rounds["bmp"], rounds["warmup"], spread=("saveBmp", name))
    return name, opened, saved


def scan_calls(get, width, height):
    for y in range(height):
        for x in range(width):
            get((x, y))


def scan_index(px, width, height):
    for y in range(height):
        for x in range(width):
            px[x, y]


def scan_list(values, width, height):
    for y in range(height):
        base = y * width
        for x in range(width):
            values[base + x]


def write_calls(put, width, height, value):
    for y in range(height):
        for x in range(width):
            put((x, y), value)


def write_index(px, width, height, value):
    for y in range(height):
        for x in range(width):
            px[x, y] = value


def write_list(values, width, height, value):
    for y in range(height):
        base = y * width
        for x in range(width):
            values[base + x] = value


def bench_pixels(paths, rounds):
    with open(paths["pixels"], "rb") as f:
        data = f.read()
    image = SimpleImage.open(data)
    w, h = image.width, image.height
    values = [image.getPixel((x, y)) for y in range(h) for x in range(w)]
    value = (12, 34, 56)
    gets = {"module": (scan_calls, (image.getPixel, w, h)), "list of tuples": (scan_list, (values, w, h))}
    puts = {"module": (write_calls, (image.putPixel, w, h, value)),
            "list of tuples": (write_list, (values, w, h, value))}
    if Image is not None:
        peer = pillow_open(data)
        px = peer.load()
        gets["Pillow getpixel"] = (scan_calls, (peer.getpixel, w, h))
        gets["Pillow px[x, y]"] = (scan_index, (px, w, h))
        puts["Pillow putpixel"] = (write_calls, (peer.putpixel, w, h, value))
        puts["Pillow px[x, y]"] = (write_index, (px, w, h, value))
    progress(f"getPixel scan {w}x{h}")
    got = race(gets, rounds["pixels"], rounds["warmup"], spread=("getPixel", f"{w}x{h}"))
    progress(f"putPixel scan {w}x{h}")
    put = race(puts, rounds["pixels"], rounds["warmup"], spread=("putPixel", f"{w}x{h}"))
    return f"{w}x{h}", w * h, got, put


# Runs in a fresh interpreter. ru_maxrss of a process started by exec begins at the
# peak of the process that started it, so the open runs in a fork of this small
# interpreter, whose high-water mark starts at its size at the fork.
MEMORY_CHILD = r"""
import contextlib, io, os, resource, sys
sys.path.insert(0, sys.argv[3])
path, who = sys.argv[1], sys.argv[2]
if who == "nothing":
    def op(data):
        return None
elif who == "module":
    from Vextaro.simpleImage_ext import SimpleImage
    def op(data):
        return SimpleImage.open(data)
elif who == "pypng":
    import png
    def op(data):
        return png.Reader(bytes=data).read_flat()
elif who == "pyspng":
    import pyspng
    def op(data):
        return pyspng.load(data)
else:
    from PIL import Image, PngImagePlugin
    def op(data):
        im = Image.open(io.BytesIO(data))
        im.load()
        return im
with open(path, "rb") as f:
    data = f.read()
null = open(os.devnull, "w")
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    with contextlib.redirect_stdout(null):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        kept = op(data)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    os.write(write_end, ("%d %d" % (before, after)).encode())
    os._exit(0)
os.close(write_end)
answer = os.read(read_end, 100).decode()
os.waitpid(pid, 0)
print(answer)
"""


def peak_above_baseline(path, who):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path, who, ROOT], check=True, capture_output=True,
                         text=True).stdout.split()
    before, after = int(out[0]), int(out[1])
    unit = 1 if sys.platform == "darwin" else 1024  # bytes on macOS, KiB on Linux
    return (after - before) * unit


def bench_memory(paths, rounds):
    results = {}
    for key, alpha in (("photo_rgb", False), ("photo_rgba", True), ("large_rgb", False)):
        with open(paths[key], "rb") as f:
            image = SimpleImage.open(f.read())
        name = f"{image.width}x{image.height} {'RGBA' if alpha else 'RGB'}"
        progress(f"peak memory {name}")
        entry = {"decoded": image.width * image.height * (4 if alpha else 3)}
        # What the child grows by when it opens nothing (on PyPy 1-2.5 MB of the
        # interpreter's own pages) is not the contenders'.
        harness = statistics.median(peak_above_baseline(paths[key], "nothing") for _ in range(rounds["memory"]))
        for who in (["module"] + ["Pillow"] * (Image is not None) + ["pypng"] * (png is not None)
                    + ["pyspng"] * (pyspng is not None)):
            samples = [max(0, peak_above_baseline(paths[key], who) - harness) for _ in range(rounds["memory"])]
            entry[who] = statistics.median(samples)
            SPREAD.setdefault("peak memory", {}).setdefault(name, {})[who] = quartiles(samples)
        results[name] = entry
    return results


def bench_threads(paths, rounds):
    files = []
    for key in ("photo_rgb", "photo_rgba"):
        with open(paths[key], "rb") as f:
            files.append(f.read())
    batch = [files[i % 2] for i in range(THREADED_OPENS)]
    pool = ThreadPoolExecutor(max_workers=2)
    try:
        # Both workers started before timing.
        list(pool.map(len, [b"", b""]))
        results = {}
        lanes = [("module", module_open), ("zlib.decompress", zlib.decompress)]
        if Image is not None:
            lanes.insert(1, ("Pillow", pillow_open))
        payloads = [idat_payload(b) for b in batch]
        for who, op in lanes:
            inputs = payloads if who == "zlib.decompress" else batch
            progress(f"{THREADED_OPENS} opens, 1 and 2 threads: {who}")
            results[who] = race({
                "1 thread": (lambda items, op=op: [op(b) for b in items], (inputs,)),
                "2 threads": (lambda items, op=op: list(pool.map(op, items)), (inputs,)),
            }, rounds["threads"], rounds["warmup"], spread=("2 threads / 1 thread", who))
        return results
    finally:
        pool.shutdown()


# ---------------------------------------------------------------- report

# Not a measurement but a fixed budget: getPixel and putPixel should take at most this a call.
CALL_BUDGET = 50e-9
BUDGET = f"budget of {CALL_BUDGET * 1e9:g} ns"

TARGETS = {
    ("open PNG", "zlib.decompress"): 0.5, ("open PNG", "libdeflate inflate"): 1.35,
    # The large photograph's data barely compresses, so inflating it is most of an open.
    ("open PNG", "zlib.decompress", "4096x2304 RGB"): 0.7,
    ("open PNG", "Pillow"): 0.4, ("open PNG", "pypng"): 1.0,
    ("save PNG", "zlib.compress"): 1.05,
    ("save PNG, rows unfiltered", "zlib.compress"): 1.05, ("save PNG, rows unfiltered", "pypng"): 1.0,
    ("open BMP", "bytes copy"): 3.0, ("open BMP", "Pillow"): 0.4,
    ("saveBmp", "bytes copy"): 5.0, ("saveBmp", "file write"): 1.25, ("saveBmp", "Pillow"): 0.2,
    ("getPixel", "Pillow px[x, y]"): 1.0, ("getPixel", "Pillow getpixel"): 0.2,
    ("getPixel", BUDGET): 1.0,
    ("putPixel", "Pillow px[x, y]"): 1.0, ("putPixel", "Pillow putpixel"): 0.2,
    ("putPixel", BUDGET): 1.0,
    ("peak memory", "decoded size"): 1.5, ("peak memory", "Pillow"): 1.0,
    ("2 threads / 1 thread", "module"): 0.6,
}
# In these groups a figure meets its target only if the module's spread (interquartile
# range of its rounds as a share of the median) is at most MAX_SPREAD as well.
MAX_SPREAD = 0.15
SPREAD_CHECKED = {"open PNG"}


def comparisons(results):
    rows = []

    def iqr(group, subject, who, median, scale):
        # The interquartile range as a share of the median; None for a constant such as the decoded size.
        q = results.get("spread", {}).get(group, {}).get(subject, {}).get(who)
        return None if q is None or not median else (q[1] - q[0]) / scale / median

    def add(group, subject, against, mine, theirs, unit, scale=1, who=("module", None)):
        ratio = mine / theirs if theirs else float("inf")
        target = TARGETS.get((group, against, subject), TARGETS.get((group, against)))
        module_iqr = iqr(group, subject, who[0], mine, scale)
        met = None if target is None else ratio <= target
        if met and group in SPREAD_CHECKED and (module_iqr is None or module_iqr > MAX_SPREAD):
            met = False
        rows.append({"group": group, "subject": subject, "against": against, "module": mine, "other": theirs,
                     "unit": unit, "ratio": ratio, "target": target, "met": met,
                     "module_iqr": module_iqr,
                     "other_iqr": iqr(group, subject, who[1] or against, theirs, scale)})

    for group, key in (("open PNG", "open_png"), ("save PNG", "save_png"),
                       ("save PNG, rows unfiltered", "save_png_unfiltered")):
        for name, times in results.get(key, {}).items():
            for against in times:
                if against not in ("module", "file bytes"):
                    add(group, name, against, times["module"], times[against], "s")
    name = results["bmp"]["size"]
    for group, key in (("open BMP", "open"), ("saveBmp", "save")):
        times = results["bmp"][key]
        for against in times:
            if against != "module":
                add(group, name, against, times["module"], times[against], "s")
    pixels = results["pixels"]
    for group, key in (("getPixel", "get"), ("putPixel", "put")):
        times = pixels[key]
        for against in sorted(times, key=lambda a: ("list" in a, a)):
            if against != "module":
                add(group, pixels["size"], against, times["module"] / pixels["calls"],
                    times[against] / pixels["calls"], "s/call", scale=pixels["calls"])
        add(group, pixels["size"], BUDGET, times["module"] / pixels["calls"], CALL_BUDGET, "s/call",
            scale=pixels["calls"])
    for name, entry in results["memory"].items():
        add("peak memory", name, "decoded size", entry["module"], entry["decoded"], "B")
        for peer in ("Pillow", "pypng", "pyspng"):
            if peer in entry:
                add("peak memory", name, peer, entry["module"], entry[peer], "B")
    for who, times in results["threads"].items():
        # Spread is kept per library here, under the library's name.
        add("2 threads / 1 thread", who, who, times["2 threads"], times["1 thread"], "s",
            who=("2 threads", "1 thread"))
        rows[-1]["subject"] = f"{THREADED_OPENS} opens"
    return rows


def quantity(value, unit):
    if unit == "B":
        return f"{value / 2**20:.1f} MiB"
    if unit == "s/call":
        return f"{value * 1e9:.0f} ns"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.1f} µs"


def ratio_text(ratio):
    # pypng's opens come out below 0.01: two decimals would print them as 0.00.
    return f"{ratio:.2f}" if ratio >= 0.1 else f"{ratio:.2g}"


def markdown(results, rows):
    host = results["host"]
    lines = [
        f"# simpleImage_ext benchmark ({'quick' if results['quick'] else 'full'})",
        "",
        f"{host['implementation']} {host['python']}, Pillow {host['pillow'] or 'absent'}, "
        f"pypng {host.get('pypng') or 'absent'}, pyspng {host.get('pyspng') or 'absent'}, "
        f"deflate (libdeflate) {host.get('deflate') or 'absent'}, {host['cpu']}, "
        f"{host['cores']} cores; inputs: {results['inputs']}; load average {host['load_before']} before, "
        f"{host['load_after']} after.",
        "Ratio = module / comparator (for threads: 2 threads / 1 thread of the library named); below 1 the "
        "module is faster or smaller. Every figure is a median; spread is the interquartile range of its "
        "rounds as a share of the median, module / comparator. An open PNG figure meets its target only "
        f"with the module's spread at most {MAX_SPREAD:.0%}.",
        "",
        "| what | image | module | against | comparator | ratio | target | result | spread |",
        "|---|---|---:|---|---:|---:|---:|---|---:|",
    ]
    for row in rows:
        module = quantity(row["module"], row["unit"])
        other = quantity(row["other"], row["unit"])
        if row["group"] == "2 threads / 1 thread":
            module, other = f"2 threads {module}", f"1 thread {other}"
        target = "" if row["target"] is None else f"<= {row['target']:g}"
        verdict = "" if row["met"] is None else ("met" if row["met"] else "**missed**")
        if row["met"] is False and row["ratio"] <= row["target"]:
            verdict += ": spread"  # the ratio is within the target, the rounds scattered too far
        spread = " / ".join("—" if row.get(k) is None else f"{row[k]:.0%}" for k in ("module_iqr", "other_iqr"))
        lines.append(f"| {row['group']} | {row['subject']} | {module} | {row['against']} | {other} | "
                     f"{ratio_text(row['ratio'])} | {target} | {verdict} | {spread} |")
    pixels = results["pixels"]
    lines += ["", f"Pixel access, full scan of {pixels['size']}, time per call:", "",
              "| contender | getPixel | putPixel |", "|---|---:|---:|"]
    for label, get, put in (("module: getPixel / putPixel", "module", "module"),
                            ("Pillow getpixel / putpixel", "Pillow getpixel", "Pillow putpixel"),
                            ("Pillow px[x, y]", "Pillow px[x, y]", "Pillow px[x, y]"),
                            ("list of tuples", "list of tuples", "list of tuples")):
        if get in pixels["get"]:
            lines.append(f"| {label} | {pixels['get'][get] / pixels['calls'] * 1e9:.0f} ns | "
                         f"{pixels['put'][put] / pixels['calls'] * 1e9:.0f} ns |")
    lines += ["", "Peak memory of one open above the baseline (interpreter and file bytes loaded):", "",
              "| image | decoded (pixels + alpha) | module | module / decoded | Pillow | Pillow / decoded "
              "| pypng | pypng / decoded | pyspng | pyspng / decoded |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, entry in results["memory"].items():
        d = entry["decoded"]
        peers = " | ".join(f"{entry[peer] / 2**20:.1f} MiB | {entry[peer] / d:.2f}" if peer in entry else "— | —"
                           for peer in ("Pillow", "pypng", "pyspng"))
        lines.append(f"| {name} | {d / 2**20:.1f} MiB | {entry['module'] / 2**20:.1f} MiB | "
                     f"{entry['module'] / d:.2f} | {peers} |")
    sizes = results.get("save_png_sizes", {})
    if sizes:
        lines += ["", "Size of the saved PNG (pypng writes every row unfiltered):", "",
                  "| image | module | Pillow | pypng |", "|---|---:|---:|---:|"]
        for name, entry in sizes.items():
            lines.append(f"| {name} | " + " | ".join(f"{entry[who] / 1e3:,.0f} kB" if who in entry else "—"
                                                     for who in ("module", "Pillow", "pypng")) + " |")
    return "\n".join(lines) + "\n"


def row_key(row):
    return row["group"], row["subject"], row["against"]


def merged_keys(runs):
    """Every comparison of the runs once, in the first run's order; a comparison only a
    later run has goes after the last of its group."""
    keys = []
    for _, rows in runs:
        for row in rows:
            key = row_key(row)
            if key in keys:
                continue
            same_group = [i for i, k in enumerate(keys) if k[0] == key[0]]
            keys.insert(same_group[-1] + 1 if same_group else len(keys), key)
    return keys


def host_label(results):
    host = results["host"]
    return f"{host['implementation']} {host['python']}{' (quick)' if results['quick'] else ''}"


def chart(runs, path):
    """Draws the ratios of one or more runs, [(results, rows)], as panels side by side."""
    try:
        import matplotlib
    except ImportError:
        progress("matplotlib is missing: no chart")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    colours = {True: "#2e7d32", False: "#c62828", None: "#9e9e9e"}
    keys = merged_keys(runs)
    n = len(keys)
    ys = list(range(n - 1, -1, -1))
    # One scale for every panel, so that bars compare across hosts.
    values = [1.0] + [v for _, rows in runs for row in rows for v in (row["ratio"], row["target"]) if v]
    xlim = (min(values) / 1.8, max(values) * 1.8)
    fig, axes = plt.subplots(1, len(runs), figsize=(5.2 + 5.8 * len(runs), 0.3 * n + 1.8), sharey=True,
                             squeeze=False)
    for ax, (results, rows) in zip(axes[0], runs):
        by_key = {row_key(row): row for row in rows}
        shown = [(y, by_key[key]) for y, key in zip(ys, keys) if key in by_key]
        # Bars grow from parity: leftwards the module is faster or smaller.
        ax.barh([y for y, _ in shown], [row["ratio"] - 1 for _, row in shown], left=1, height=0.68,
                color=[colours[row["met"]] for _, row in shown])
        ax.set_xscale("log")
        ax.axvline(1.0, color="black", linewidth=1.2)
        for y, row in shown:
            if row["target"] is not None:
                ax.plot([row["target"]] * 2, [y - 0.45, y + 0.45], color="black", linewidth=2.2)
        for i in range(1, n):
            if keys[i][0] != keys[i - 1][0]:
                ax.axhline(ys[i] + 0.5, color="#cccccc", linewidth=0.8)
        ax.set_xlim(*xlim)
        ax.set_ylim(-0.7, n - 0.3)
        ax.grid(axis="x", which="both", color="#eeeeee")
        ax.set_axisbelow(True)
        ax.set_xlabel("module / comparator (log scale; left of 1: module faster or smaller)", fontsize=8)
        ax.set_title(host_label(results), fontsize=10)
        # The numbers stand in a column of their own on the right, clear of the bars.
        right = ax.twinx()
        right.set_ylim(ax.get_ylim())
        right.set_yticks(ys)
        texts, tones = [], []
        for key in keys:
            row = by_key.get(key)
            if row is None:
                texts.append("—")
                tones.append("black")
                continue
            verdict = "" if row["target"] is None else f"  {'met' if row['met'] else 'MISSED'} (<= {row['target']:g})"
            if row["met"] is False and row["ratio"] <= row["target"]:
                verdict += ", spread"
            texts.append(f"{ratio_text(row['ratio'])}{verdict}")
            tones.append(colours[row["met"]] if row["met"] is not None else "black")
        right.set_yticklabels(texts, fontsize=8)
        for tick, tone in zip(right.get_yticklabels(), tones):
            tick.set_color(tone)
        right.tick_params(axis="y", length=0)
    labels = [f"{subject} on {group}: {against}" if group == "2 threads / 1 thread"
              else f"{group}  {subject}  vs {against}" for group, subject, against in keys]
    axes[0][0].set_yticks(ys)
    axes[0][0].set_yticklabels(labels, fontsize=8)
    fig.suptitle("simpleImage_ext ratios" + (f", {host_label(runs[0][0])}" if len(runs) == 1 else ""), fontsize=11)
    fig.legend(handles=[Patch(color=colours[True], label="target met"),
                        Patch(color=colours[False], label="target missed"),
                        Patch(color=colours[None], label="no target"),
                        Line2D([], [], color="black", linewidth=2.2, label="target")],
               loc="upper center", bbox_to_anchor=(0.5, 0.975), ncol=4, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def combine(paths, out):
    """One chart and one Markdown file of several hosts' results.json, in the order given."""
    runs = []
    for path in paths:
        with open(path) as f:
            results = json.load(f)
        runs.append((results, results["comparisons"]))
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(markdown(results, rows) for results, rows in runs))
    if not chart(runs, os.path.join(out, "ratios.png")):
        return 1
    progress(f"{', '.join(host_label(r) for r, _ in runs)}: {out}/ratios.png and results.md")
    return 0


def host_info():
    cpu = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    return {"implementation": platform.python_implementation(), "python": platform.python_version(),
            "pillow": PILLOW, "pypng": PYPNG, "pyspng": PYSPNG, "deflate": DEFLATE, "cpu": cpu, "cores": os.cpu_count(), "machine": platform.machine(),
            "load_before": load_average()}


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
        tag = "pypy3" if platform.python_implementation() == "PyPy" else "cp%d%d" % sys.version_info[:2]
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
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    results["host"]["load_after"] = load_average()
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
