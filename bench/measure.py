"""The measurements, one function per group of the report."""

import os
import platform
import statistics
import subprocess
import sys
import zlib
from concurrent.futures import ThreadPoolExecutor

from common import ROOT, Image, SimpleImage, deflate, linked_libdeflate, png, progress, pyspng
from inputs import FILTER_MIXES, idat_payload, mix_key
from timing import (
    SPREAD,
    LinkedInflater,
    amid,
    libdeflate_inflate,
    module_open,
    pillow_open,
    pypng_open,
    pypng_save,
    pyspng_open,
    quartiles,
    race,
)

ROUNDS = {
    "full": {"warmup": 2, "open": 21, "save": 7, "bmp": 31, "pixels": 11, "threads": 9, "memory": 3, "amid": 8},
    "quick": {"warmup": 1, "open": 3, "save": 2, "bmp": 3, "pixels": 2, "threads": 2, "memory": 1, "amid": 2},
}
THREADED_OPENS = 16




def bench_png(paths, rounds, tmp):
    opens, saves, plain_saves, sizes = {}, {}, {}, {}
    for key, label in (("photo_rgb", "RGB"), ("photo_rgba", "RGBA"), ("large_rgb", "RGB")):
        with open(paths[key], "rb") as f:
            data = f.read()
        image = SimpleImage.open(data)
        name = f"{image.width}x{image.height} {label}"
        scanlines = zlib.decompress(idat_payload(data))
        contenders = open_contenders(data)
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

    # The same photograph under each filter mix: opens only, and without pypng, whose
    # seconds a round the rows of the Pillow-made photographs report already.
    for mix in FILTER_MIXES:
        for channels in ("rgb", "rgba"):
            with open(paths[mix_key(mix, channels)], "rb") as f:
                data = f.read()
            image = SimpleImage.open(data)
            name = f"{image.width}x{image.height} {channels.upper()}, {mix} rows"
            contenders = open_contenders(data)
            contenders.pop("pypng", None)
            progress(f"open PNG {name}")
            opens[name] = race(contenders, rounds["open"], rounds["warmup"], spread=("open PNG", name))
            opens[name]["file bytes"] = len(data)
    return opens, saves, plain_saves, sizes


def bench_opens_amid_pypng(paths, rounds):
    """The RGB photograph opened five times a round, pypng decoding the same file between
    rounds, with no collection forced: where PyPy's collector charges another library's
    garbage to the module's allocations. None without pypng."""
    if png is None:
        return None
    with open(paths["photo_rgb"], "rb") as f:
        data = f.read()
    image = SimpleImage.open(data)
    name = f"{image.width}x{image.height} RGB"
    del image
    payload = idat_payload(data)
    contenders = {"module": (module_open, (data,)), "zlib.decompress": (zlib.decompress, (payload,))}
    progress(f"open PNG amid pypng decodes {name}")
    return {name: amid(lambda: pypng_open(data), contenders, rounds["amid"], 5,
                       ("open PNG amid pypng decodes", name))}


def bench_opens_in_a_row(paths, rounds):
    """Each photograph opened again and again, taking turns only with libdeflate's inflate
    of its data into a buffer kept between calls (linked; the package's on PyPy): the
    module's own buffers, freed by one open and made by the next, are all the memory that
    comes and goes, as in a program's loop over files of one size."""
    opens = {}
    for key, label in (("photo_rgb", "RGB"), ("photo_rgba", "RGBA")):
        with open(paths[key], "rb") as f:
            data = f.read()
        image = SimpleImage.open(data)
        name = f"{image.width}x{image.height} {label}"
        del image
        everyone = open_contenders(data)
        floors = [f for f in ("linked libdeflate inflate", "libdeflate inflate") if f in everyone][:1]
        contenders = {who: everyone[who] for who in ["module", *floors]}
        progress(f"open PNG, one file again and again {name}")
        opens[name] = race(contenders, rounds["open"], rounds["warmup"],
                           spread=("open PNG, one file again and again", name))
    return opens


# On CPython only: PyPy's ctypes converts the arguments of every call, which costs more
# than the inflate.
LINKED = linked_libdeflate() if platform.python_implementation() == "CPython" else None
LINKED_INFLATE = LinkedInflater(LINKED) if LINKED is not None else None


def open_contenders(data):
    """The module's open of a PNG file, its peers' and the floors of inflating its data."""
    payload = idat_payload(data)
    contenders = {"module": (module_open, (data,)), "zlib.decompress": (zlib.decompress, (payload,))}
    if Image is not None:
        contenders["Pillow"] = (pillow_open, (data,))
    if deflate is not None:
        contenders["libdeflate inflate"] = (libdeflate_inflate, (payload, len(zlib.decompress(payload))))
    if LINKED_INFLATE is not None:
        contenders["linked libdeflate inflate"] = (LINKED_INFLATE, (payload, len(zlib.decompress(payload))))
    if png is not None:
        contenders["pypng"] = (pypng_open, (data,))
    if pyspng is not None:
        contenders["pyspng"] = (pyspng_open, (data,))
    return contenders


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
