"""Mutation fuzzing through the real module: valid PNG and BMP files are damaged in
ways that reach past the first checks (CRCs fixed up, image data inflated, mutated
and recompressed, header fields set to edge values), opened with SimpleImage.open,
and whatever opens is saved (PNG with save, BMP with saveBmp), opened again and
compared. Every outcome must be an image or one of the exceptions the module
documents; anything else, or a saved file that reads back differently, fails.

    python fuzz/python_fuzz.py [--seed 1] [--iterations 30000] [--seconds 60] [--out DIR]

Meant for the sanitizer build (scripts/test.sh runs it there), where a memory error
aborts the process: the input being tried is always in DIR/current.bin.
"""
import argparse
import collections
import contextlib
import io
import os
import random
import re
import struct
import sys
import tempfile
import time
import traceback
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests", "python")]

from bmptools import bmp  # noqa: E402
from pngtools import SIG, chunk, image, scanlines  # noqa: E402
from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

# The exceptions opening and saving may raise for a damaged file (exact types).
DOCUMENTED = (ValueError, struct.error, zlib.error, OverflowError)
EDGES32 = [0, 1, 2, 3, 0x7F, 0xFF, 0x100, 0xFFFF, 0x10000, 40000, 2**31 - 1, 2**31, 2**32 - 1]


# -- the corpus -----------------------------------------------------------------------------

def corpus(rng):
    files = []
    for width, height, colour in [(1, 1, 2), (3, 2, 6), (5, 4, 2), (8, 3, 6), (0, 2, 2), (2, 0, 6), (17, 9, 6)]:
        bpp = 4 if colour == 6 else 3
        rows = [rng.randbytes(width * bpp) for _ in range(height)]
        filters = [rng.randrange(5) for _ in range(height)]
        extra = [(b"tEXt", b"k\0v")] if width % 2 else []
        files.append(image(width, height, scanlines(filters, rows), colour, sizes=[rng.randrange(1, 9)],
                           extra=extra))
    for width, height in [(1, 1), (2, 3), (3, -2), (5, 5), (0, 3), (4, 0)]:
        files.append(bmp(width, height, rng.randbytes(width * abs(height) * 3)))
    try:
        from PIL import Image
    except ImportError:
        return files
    for mode, size in [("RGB", (9, 7)), ("RGBA", (6, 5))]:
        im = Image.frombytes(mode, size, rng.randbytes(size[0] * size[1] * len(mode)))
        for fmt in ("PNG", "BMP") if mode == "RGB" else ("PNG",):
            out = io.BytesIO()
            im.save(out, fmt)
            files.append(out.getvalue())
    return files


# -- PNG mutations ------------------------------------------------------------------------------

def chunks_of(data):
    """(offset, length, type) of every complete chunk."""
    found, at = [], 8
    while at + 12 <= len(data):
        (n,) = struct.unpack_from(">I", data, at)
        if n > len(data) - at - 12:
            break
        found.append((at, n, bytes(data[at + 4:at + 8])))
        at += 12 + n
    return found


def fix_crcs(data):
    for at, n, ctype in chunks_of(data):
        data[at + 8 + n:at + 12 + n] = struct.pack(">I", zlib.crc32(data[at + 8:at + 8 + n], zlib.crc32(ctype)))


def rebuild(data, transform):
    """The file with its image data inflated, transformed and put back in 1..3 IDAT chunks."""
    found = chunks_of(data)
    payload = b"".join(data[a + 8:a + 8 + n] for a, n, t in found if t == b"IDAT")
    try:
        raw = zlib.decompressobj().decompress(payload, 1 << 22)
    except zlib.error:
        return data
    packed = transform(bytearray(raw))
    cuts = sorted(random.sample(range(len(packed) + 1), min(2, len(packed) + 1)))
    pieces = [packed[:cuts[0]], packed[cuts[0]:cuts[-1]], packed[cuts[-1]:]]
    out, placed = bytearray(data[:8]), False
    for a, n, t in found:
        if t != b"IDAT":
            out += data[a:a + 12 + n]
        elif not placed:
            out += b"".join(chunk(b"IDAT", bytes(p)) for p in pieces if p or not placed)
            placed = True
    return out


def mutate_scanlines(rng, raw):
    choice = rng.randrange(4)
    if choice == 0 and raw:  # a filter byte (or any byte) to another value
        raw[rng.randrange(len(raw))] = rng.choice([0, 1, 2, 3, 4, 5, 255, rng.randrange(256)])
    elif choice == 1:  # one byte more or fewer than the header implies
        raw = raw + bytes([rng.randrange(256)]) if rng.random() < 0.5 else raw[:-1]
    elif choice == 2 and raw:
        for _ in range(rng.randrange(1, 8)):
            raw[rng.randrange(len(raw))] ^= 1 << rng.randrange(8)
    compressed = zlib.compress(bytes(raw), rng.randrange(10))
    if choice == 3 and compressed:  # damage the stream itself: zlib's checks
        at = rng.randrange(len(compressed))
        compressed = compressed[:at] + bytes([compressed[at] ^ (1 << rng.randrange(8))]) + compressed[at + 1:]
    return compressed


def mutate_png(rng, data):
    found = chunks_of(data)
    choice = rng.randrange(7)
    if choice == 0 and found:  # a length field
        at, n, _ = rng.choice(found)
        data[at:at + 4] = struct.pack(">I", rng.choice([0, n - 1 if n else 0, n + 1, 2**31 - 1, 2**32 - 1,
                                                         rng.randrange(2**32)]))
    elif choice == 1 and found and found[0][2] == b"IHDR" and found[0][1] == 13:  # an IHDR field
        at = found[0][0] + 8
        field = rng.randrange(7)
        if field < 2:
            data[at + 4 * field:at + 4 * field + 4] = struct.pack(">I", rng.choice(EDGES32))
        else:
            data[at + 6 + field] = rng.choice([0, 1, 2, 3, 4, 6, 7, 8, 16, 255])
    elif choice == 2:
        data = rebuild(data, lambda raw: mutate_scanlines(rng, raw))
    elif choice == 3 and found:  # chunks dropped, repeated or moved
        at, n, _ = rng.choice(found)
        piece = data[at:at + 12 + n]
        del data[at:at + 12 + n]
        if rng.random() < 0.6:
            where = rng.choice([8] + [a for a, _, _ in chunks_of(data)] + [len(data)])
            data[where:where] = piece * rng.randrange(1, 3)
    elif choice == 4:  # a new chunk anywhere among the others
        where = rng.choice([8] + [a for a, _, _ in found] + [len(data)])
        ctype = rng.choice([b"IHDR", b"IDAT", b"IEND", b"tEXt", b"zzZz", bytes(rng.randbytes(4))])
        data[where:where] = chunk(ctype, rng.randbytes(rng.choice([0, 1, 13, 40])))
    else:
        data = mutate_bytes(rng, data)
    if rng.random() < 0.9:
        fix_crcs(data)
    return data


# -- BMP mutations and either kind -------------------------------------------------------------

BMP_FIELDS = {"offset": (10, "<I"), "header": (14, "<I"), "width": (18, "<i"), "height": (22, "<i"),
              "planes": (26, "<H"), "bpp": (28, "<H"), "compression": (30, "<I")}


def mutate_bmp(rng, data):
    if rng.random() < 0.6 and len(data) >= 34:
        at, fmt = BMP_FIELDS[rng.choice(list(BMP_FIELDS))]
        size = struct.calcsize(fmt)
        edges = EDGES32 + [-1, -2, -(2**31), 12, 24, 40, 54, 108, 124, len(data), len(data) + 9]
        lo, hi = {"<I": (0, 2**32 - 1), "<i": (-(2**31), 2**31 - 1), "<H": (0, 0xFFFF)}[fmt]
        value = rng.choice([v for v in edges if lo <= v <= hi])
        data[at:at + size] = struct.pack(fmt, value)
        return data
    return mutate_bytes(rng, data)


def mutate_bytes(rng, data):
    choice = rng.randrange(4)
    if choice == 0 and data:
        for _ in range(rng.randrange(1, 5)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif choice == 1 and data:
        data[rng.randrange(len(data))] = rng.choice([0, 0x7F, 0x80, 0xFF])
    elif choice == 2:
        del data[rng.randrange(len(data) + 1):]
    else:
        at = rng.randrange(len(data) + 1)
        if rng.random() < 0.5:
            data[at:at] = rng.randbytes(rng.randrange(1, 9))
        else:
            del data[at:at + rng.randrange(1, 9)]
    return data


# -- running -----------------------------------------------------------------------------------

class Finding(Exception):
    pass


def outcome_of(call):
    """Runs `call`; returns None or the documented exception's type name, raises Finding otherwise."""
    try:
        call()
    except Exception as e:  # the check is on the exact type
        name = f"{type(e).__module__.replace('builtins', '').lstrip('_')}.{type(e).__name__}".lstrip(".")
        if type(e) not in DOCUMENTED:
            raise Finding(f"undocumented {name}: {e}") from e
        return f"{name}: {re.sub(r'filter: [0-9]+', 'filter: N', str(e))[:60]}"
    return None


def try_one(data, folder, via_file):
    source = bytes(data)
    if via_file:
        source = os.path.join(folder, "in")
        with open(source, "wb") as f:
            f.write(data)
    holder = {}

    def do_open():
        holder["image"] = SimpleImage.open(source)

    failure = outcome_of(do_open)
    if failure:
        return "open: " + failure
    img = holder["image"]
    if type(img) is not SimpleImage:
        raise Finding(f"open returned {type(img).__name__}")
    is_png = bytes(data[:8]) == SIG
    path = os.path.join(folder, "out.png" if is_png else "out.bmp")
    failure = outcome_of(lambda: img.save(path) if is_png else img.saveBmp(path))
    if failure:
        return "save: " + failure
    back = SimpleImage.open(path)
    if (back.size, back._pixels, back._alpha) != (img.size, img._pixels, img._alpha if is_png else None):
        raise Finding("the saved file reads back differently")
    return "opened and saved"


def clear(folder):
    # Files are removed, not overwritten: rewriting a file in place can wait for a disk flush.
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--iterations", type=int, default=30000)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "python_fuzz"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)
    random.seed(args.seed)
    seeds = corpus(rng)
    counts = collections.Counter()
    current = os.open(os.path.join(args.out, "current.bin"), os.O_WRONLY | os.O_CREAT, 0o644)
    start = time.monotonic()
    done = 0
    with tempfile.TemporaryDirectory() as folder:
        for done in range(1, args.iterations + 1):
            data = bytearray(rng.choice(seeds))
            for _ in range(rng.choice([1, 1, 2, 3])):
                data = (mutate_png if data[:8] == SIG else mutate_bmp)(rng, data)
            os.pwrite(current, data, 0)
            os.ftruncate(current, len(data))
            try:
                with contextlib.redirect_stdout(io.StringIO()):  # open prints a line per image
                    counts[try_one(data, folder, via_file=rng.random() < 0.2)] += 1
            except Finding as finding:
                traceback.print_exc()
                kept = os.path.join(args.out, f"finding-{args.seed}-{done}.bin")
                with open(kept, "wb") as f:
                    f.write(data)
                print(f"FAILED at iteration {done}: {finding}; input kept in {kept}")
                return 1
            clear(folder)
            if time.monotonic() - start > args.seconds:
                break
    elapsed = time.monotonic() - start
    if not counts:
        print("python fuzzing: no input was tried")
        return 1
    for what, n in counts.most_common():
        print(f"  {n:7d}  {what}")
    print(f"python fuzzing: {done} inputs in {elapsed:.0f}s (seed {args.seed}), every outcome documented")
    return 0


if __name__ == "__main__":
    sys.exit(main())
