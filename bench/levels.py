"""Saves by compression level: time and size of save(path, compress_level=N) against the default save.

On the inputs of bench.py (made there, or reused from its cache), one race per image:
the default save, saves at levels 1, 6, 9 and 12, zlib.compress of the very scanlines
the module compresses, libdeflate's compress of them at level 6 called directly through
ctypes (the libdeflate the module has loaded), and Pillow's save with compress_level=1
where Pillow imports. Times are medians of rounds in which the contenders take turns;
every ratio is against the default save of the same image.

    python bench/levels.py [--quick] [--rounds N] [--out DIR] [--cache DIR]
"""
import argparse
import ctypes
import io
import json
import os
import platform
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import ROOT, Image, SimpleImage, linked_libdeflate, progress  # noqa: E402
from inputs import SIZES, idat_payload, make_inputs  # noqa: E402
from timing import race  # noqa: E402

LEVELS = (1, 6, 9, 12)
IMAGES = (("photo_rgb", "RGB"), ("photo_rgba", "RGBA"), ("large_rgb", "RGB"))
# (contender, limit of time / default, limit of size / default), None where only reported;
# they hold for the 1920x1280 photographs, the 4096x2304 one is reported alone.
TARGETS = {"level 1": (1 / 15, 1.12), "level 6": (0.35, 0.99), "level 12": (None, 0.90)}


def loaded_libdeflate():
    """libdeflate's compressor as the module loaded it, or None (linked statically, or absent)."""
    lib = linked_libdeflate()
    if lib is None:
        return None
    lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
    lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
    lib.libdeflate_zlib_compress_bound.restype = ctypes.c_size_t
    lib.libdeflate_zlib_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.libdeflate_zlib_compress.restype = ctypes.c_size_t
    lib.libdeflate_zlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                             ctypes.c_size_t]
    lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
    return lib


def libdeflate_compress(lib, data, level):
    """What a save at `level` does around libdeflate: a compressor made for the call, one output buffer."""
    c = lib.libdeflate_alloc_compressor(level)
    try:
        out = ctypes.create_string_buffer(lib.libdeflate_zlib_compress_bound(c, len(data)))
        return out.raw[:lib.libdeflate_zlib_compress(c, data, len(data), out, len(out))]
    finally:
        lib.libdeflate_free_compressor(c)


def measure(paths, rounds, warmup, tmp, lib):
    results = {}
    for key, label in IMAGES:
        with open(paths[key], "rb") as f:
            data = f.read()
        image = SimpleImage.open(data)
        name = f"{image.width}x{image.height} {label}"
        files = {"default": os.path.join(tmp, "default.png")}
        image.save(files["default"])
        with open(files["default"], "rb") as f:
            scanlines = zlib.decompress(idat_payload(f.read()))
        contenders = {"default": (image.save, (files["default"],))}
        for level in LEVELS:
            files[f"level {level}"] = path = os.path.join(tmp, f"level{level}.png")
            contenders[f"level {level}"] = (lambda p, n, image=image: image.save(p, compress_level=n), (path, level))
        contenders["zlib.compress"] = (zlib.compress, (scanlines,))
        if lib is not None:
            contenders["libdeflate 6"] = (libdeflate_compress, (lib, scanlines, 6))
        if Image is not None:
            peer = Image.open(io.BytesIO(data))
            peer.load()
            files["Pillow level 1"] = path = os.path.join(tmp, "pillow.png")
            contenders["Pillow level 1"] = (lambda p, peer=peer: peer.save(p, "PNG", compress_level=1), (path,))
        progress(f"saves by level, {name}")
        times = race(contenders, rounds, warmup)
        sizes = {who: os.path.getsize(path) for who, path in files.items()}
        sizes["zlib.compress"] = len(zlib.compress(scanlines))
        if lib is not None:
            sizes["libdeflate 6"] = len(libdeflate_compress(lib, scanlines, 6))
        results[name] = {"time": times, "size": sizes}
    return results


def report(results, host, rounds):
    lines = [f"**{host}** (median of {rounds} rounds, load average {os.getloadavg()[0]:.1f})", "",
             "| image | save | time | / default | size | / default |", "|---|---|---:|---:|---:|---:|"]
    verdicts = []
    for name, r in results.items():
        base_t, base_s = r["time"]["default"], r["size"]["default"]
        for who, t in r["time"].items():
            s = r["size"][who]
            lines.append(f"| {name} | {who} | {t * 1e3:.0f} ms | {t / base_t:.3f}x | {s:,} B | {s / base_s:.3f}x |")
        if name.startswith("4096"):
            continue
        for who, (time_limit, size_limit) in TARGETS.items():
            t, s = r["time"][who] / base_t, r["size"][who] / base_s
            ok = (time_limit is None or t <= time_limit) and s <= size_limit
            verdicts.append(f"{name}, {who}: time {t:.3f}x, size {s:.3f}x: {'met' if ok else 'MISSED'}")
        if "Pillow level 1" in r["time"]:
            ok = all(r[what]["level 1"] < r[what]["Pillow level 1"] for what in ("time", "size"))
            verdicts.append(f"{name}, level 1 faster and smaller than Pillow's compress_level=1: "
                            f"{'met' if ok else 'MISSED'}")
        ratio = base_t / r["time"]["zlib.compress"]
        verdicts.append(f"{name}, default save / zlib.compress: {ratio:.3f}x: {'met' if ratio <= 1.05 else 'MISSED'}")
        if "libdeflate 6" in r["time"]:
            ratio = r["time"]["level 6"] / r["time"]["libdeflate 6"]
            verdicts.append(f"{name}, level 6 save / libdeflate 6: {ratio:.3f}x: "
                            f"{'met' if ratio <= 1.10 else 'MISSED'}")
    return "\n".join(lines + [""] + [f"- {v}" for v in verdicts]) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small images, two rounds (a smoke run)")
    parser.add_argument("--rounds", type=int, help="rounds per race (default 5, 2 with --quick)")
    parser.add_argument("--out", help="folder for levels-HOST.json and levels-HOST.md")
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "bench"), help="folder of the inputs")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    rounds = args.rounds or (2 if args.quick else 5)
    _, paths = make_inputs(args.cache, SIZES[mode])
    host = f"{platform.python_implementation()} {platform.python_version()}"
    with tempfile.TemporaryDirectory() as tmp:
        results = measure(paths, rounds, 1, tmp, loaded_libdeflate())
    text = report(results, host, rounds)
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        tag = platform.python_implementation().lower()
        with open(os.path.join(args.out, f"levels-{tag}.json"), "w") as f:
            json.dump({"host": host, "results": results}, f, indent=1)
        with open(os.path.join(args.out, f"levels-{tag}.md"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
