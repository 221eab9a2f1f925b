"""Hostile callers of the real module: arguments and image fields whose hooks change the image while
the module works on it, raise, or lie. Every call must end in a result or an exception, and a file
reported as written must check out. fuzz/README.md tells what is varied and checked.

    python fuzz/caller_fuzz.py [--seed 1] [--iterations 20000] [--seconds 60] [--out DIR] [--case N]

Meant for the sanitizer build (where it restarts itself with PYTHONMALLOC=malloc): the case being
run is described in DIR/current.txt, under the command that runs it alone.
"""
import argparse
import collections
import contextlib
import faulthandler
import gc
import io
import os
import pathlib
import random
import re
import resource
import struct
import sys
import tempfile
import threading
import time
import traceback
import types
import zlib

# Under the sanitizer build every object must come from malloc: pymalloc would hand a freed object's
# memory to the next one unseen, so that a use after free surfaces later, elsewhere, or not at all.
if os.environ.get("VEXTARO_STAGE") and os.environ.get("PYTHONMALLOC") != "malloc":
    os.execve(sys.executable, sys.orig_argv, {**os.environ, "PYTHONMALLOC": "malloc"})
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests", "python")]

import Vextaro.simpleImage_ext as ext  # noqa: E402
from bmptools import bmp  # noqa: E402
from pngtools import SIG, image, scanlines  # noqa: E402
from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

ORIGINAL = dict(vars(ext))
IS_PYPY = sys.implementation.name == "pypy"
FIELDS = ("_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header")
REBINDABLE = ("struct", "zlib", "BytesIO", "_readChunk", "_makeChunk", "_split_idat_payload", "_writePng", "_writeBmp")
ENTRIES = ("constructor", "getPixel", "putPixel", "copy", "save", "saveBmp", "open", "_streamToImage", "_readChunk",
           "_makeChunk", "_split_idat_payload", "_writePng", "_writePngWithChunks", "_writeBmp", "threads")
RETURNS = {"constructor": SimpleImage, "getPixel": tuple, "copy": SimpleImage, "open": SimpleImage,
           "_streamToImage": tuple, "_readChunk": tuple, "_makeChunk": bytes, "_split_idat_payload": list}
NUMBER = ["r + 1", "r - 1", "0", "-1", "2 ** 31", "'7'", "2.5"]
TRUTH = ["True", "False", "NotImplemented", "'x'"]
# What a hooked method may return instead of the real result `r`; __buffer__ counts from 3.12 on.
LIES = {"__len__": ["r + 1", "r - 1", "0", "-1", "1 << 20", "'3'"], "__index__": NUMBER, "__int__": NUMBER,
        "__add__": NUMBER, "__radd__": NUMBER, "__mul__": NUMBER, "__rmul__": NUMBER,
        "__eq__": TRUTH, "__lt__": TRUTH, "__le__": TRUTH, "__ge__": TRUTH,
        "__iter__": ["iter([])", "iter([b'IDAT', None, 7])", "iter(range(300))", "None"],
        "__getitem__": ["None", "'x'", "300", "bytearray(2)"], "keys": ["['xppm', 'nope']", "[7]", "None"],
        "get": ["None", "'7'", "2 ** 40", "-2 ** 31 - 1"],
        "__buffer__": ["memoryview(bytes(3))", "memoryview(bytearray(7))", "'x'"],
        "read": ["r + b'!'", "r[:-1]", "bytearray(r)", "memoryview(r)", "r.decode('latin-1')", "None", "7"],
        "seek": ["None", "-1", "'x'"], "__fspath__": ["r + '.elsewhere'", "7", "None"]}
FORWARDED = (*LIES, "__hash__", "__gt__", "__sub__", "__rsub__")
NUMERIC = ("__lt__", "__le__", "__ge__", "__add__", "__radd__", "__mul__", "__rmul__")  # hooked on numbers only
# Objects whose lies may make even a correct writer write a file that does not check out.
FILE_SHAPING = ("chunk", "_png_chunks", "path")


def forwarded(name):
    return lambda this, *a: getattr(this.real, name)(*a)


class Boom(Exception):
    """Raised by hooks; nothing the module raises itself is of this class."""


class Finding(Exception):
    pass


class Stand:
    """Stands for `real`, with only the methods its class is given."""
    def __init__(self, real):
        self.real = real


def module_class(fire):
    """A module class whose every attribute lookup (but of dunders) runs `fire` first: assigned to the
    real module's __class__, it reaches code that holds the module itself, not the name."""
    class Hooked(types.ModuleType):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                fire()
            return super().__getattribute__(name)
    return Hooked


class ModuleProxy:
    """A module whose functions run `fire` first."""
    def __init__(self, module, fire):
        self.module, self.fire = module, fire

    def __getattr__(self, name):
        value = getattr(self.module, name)
        if not callable(value) or isinstance(value, type):
            return value
        return lambda *a, **k: (self.fire(), value(*a, **k))[1]


def defines(cls, name):
    # Every class inherits the comparisons and __hash__ from object; those count only when its own.
    return any(vars(k).get(name) is not None for k in cls.__mro__[:-1])


class Case:
    """One case, made from its own random generator so that --case N makes it again. Every choice
    is made, and noted, before anything runs; hooks act only while the case is live."""

    def __init__(self, seed, n, corpus, folder):
        self.rng, self.folder, self.notes = random.Random(f"{seed}/{n}"), folder, []
        self.live, self.trusted, self.images = False, True, []
        self.spare = os.path.join(folder, "spare.png")
        pick = self.rng.randrange(len(corpus) + 1)
        self.file = corpus[pick % len(corpus)]
        self.img = SimpleImage(3, 2, self.rng.randbytes(18)) if pick == len(corpus) else SimpleImage.open(self.file)
        self.other = SimpleImage(1, 1, b"abc")
        self.images += [self.img, self.other]
        self.notes.append(f"img = corpus[{pick}]" if pick < len(corpus) else "img = SimpleImage(3, 2, <18 bytes>)")
        # Some saves go over an old file under a file-size limit: a failed save leaves it as it was.
        self.size_limit = self.rng.choice([None] * 6 + [0, 1, 8, 40, 500, 4096])
        if self.size_limit is not None:
            self.notes.append(f"an old file at the path; file-size limit {self.size_limit}")

    def action(self):
        """Python source of what a hook does to `img`, the image under test."""
        rng = self.rng
        return rng.choice([
            f"del img._pixels[{rng.choice([0, 1, 3, 5])}:]", f"img._pixels.extend(bytes({rng.choice([1, 3, 64])}))",
            f"img._pixels = bytearray({rng.choice([0, 3, 12, 18, 48])})", f"img.{rng.choice(FIELDS)} = None",
            f"img.{rng.choice(FIELDS[1:])} = "
            + rng.choice(["other", "img", "bytearray(3)", "[]", "{}", "7", "[(b'IDAT', None, 0)]"]),
            f"img.{rng.choice(['width', 'height'])} = {rng.choice([0, 1, 2, 5, -1, 2 ** 31 - 1])}",
            "raise Boom()", "gc.collect()", "pass", "img.save(spare)"])

    def trigger(self, where, lies=None):
        """A function that, while the case is live, runs an action on a chosen call (or on every call)
        and tells whether it ran; and the lie, if any, to return then."""
        rng = self.rng
        at, source = rng.choice([0, 0, 1, 2, -1]), self.action()
        lie = rng.choice(lies) if lies and rng.random() < 0.3 else None
        self.trusted = self.trusted and not (lie and where.startswith(FILE_SHAPING))
        self.notes.append(f"  {where}: {source} on {'every call' if at < 0 else f'call {at}'}"
                          + (f", then returns {lie}" if lie else ""))
        code, calls = compile(source, where, "exec"), [0]

        def fire():
            if not self.live:
                return False
            calls[0] += 1
            if at >= 0 and calls[0] != at + 1:
                return False
            exec(code, {"img": self.img, "other": self.other, "Boom": Boom, "gc": gc, "spare": self.spare})
            return True
        return fire, lie

    def hook(self, where, original, lies):
        fire, lie = self.trigger(where, lies)

        def hooked(this, *args):
            fired = fire()
            result = original(this, *args)
            return eval(lie, {"r": result}) if fired and lie else result
        return hooked

    def hostile(self, real, where):
        """`real` as a subclass or a stand-in, with one to three hooked methods."""
        rng, kind = self.rng, type(real)
        base = kind if kind in (bytearray, bytes, list, dict) and rng.random() < 0.6 else Stand
        names = ["read", "seek"] if isinstance(real, io.BytesIO) else [
            n for n in LIES if defines(kind, n) and (kind is int or n not in NUMERIC)]
        if IS_PYPY and base in (bytes, dict):  # PyPy's C-API layer takes their len() as they cross into C
            names.remove("__len__")
        body = {n: forwarded(n) for n in FORWARDED if base is Stand and defines(kind, n)}
        if kind is int and rng.random() < 0.1:  # __index__ alone: what int() takes, and the dimensions refuse
            del body["__int__"]
            names.remove("__int__")
        self.notes.append(f"{where} = {'stand-in' if base is Stand else 'subclass'} of {kind.__name__}"
                          + (f" {real!r}" if isinstance(real, (int, bytes)) else ""))
        meta = type
        if rng.random() < 0.2:
            # Only lookups of what the class defines: the host's own (PyPy's C-API layer asks for
            # __name__ when an object first crosses into C) are no caller's hooks.
            looked_up = self.hook(f"{where} metaclass.__getattribute__", type.__getattribute__, None)
            meta = type("Meta", (type,), {"__getattribute__": lambda cls, name: (
                type.__getattribute__ if name in vars(type) else looked_up)(cls, name)})
        for n in rng.sample(names, min(len(names), rng.randrange(1, 4))):
            body[n] = self.hook(f"{where}.{n}", body.get(n) or getattr(base, n), LIES[n])
        if "__eq__" in body and base is not Stand:
            body["__hash__"] = base.__hash__  # defining __eq__ alone would take the hash away
        return meta("Hostile", (base,), body)(real)

    def maybe(self, value, where, p=0.4):
        return self.hostile(value, where) if value is not None and self.rng.random() < p else value

    def field(self, name, p=0.4):
        """The image's field `name` (given a value of its kind if it has none), maybe made hostile;
        a chunk list maybe with hostile types, data, lengths and entries instead."""
        img, rng = self.img, self.rng
        value = getattr(img, name)
        if value is None and rng.random() < p:
            value = {"_alpha": bytearray(max(img.width * img.height, 0)), "_png_filters": bytearray(max(img.height, 0)),
                     "_png_chunks": [(b"IHDR", b"", 13), (b"tEXt", b"k\0v", 3), (b"IDAT", None, 5), (b"IEND", b"", 0)],
                     "_bmp_header": {"xppm": 2835, "yppm": -1, "clrUsed": 0, "clrImportant": 0}}[name]
        if name == "_bmp_header" and isinstance(value, dict):
            value = {k: self.maybe(v, f"_bmp_header[{k!r}]", 0.2) for k, v in value.items()}
        if name != "_png_chunks" or not value or rng.random() < 0.5:
            return self.maybe(value, name, p)
        entries = [self.maybe(tuple(self.maybe(v, f"chunk {part}", 0.15) for v, part in
                                    zip(entry, ("type", "data", "length"))), "chunk entry", 0.1) for entry in value]
        return self.maybe(entries, "chunk list", 0.5)

    def dressed(self, call):
        """`call` after up to two of the image's fields are set to hostile objects within the case (so
        that setting width or height runs their hooks). The list is emptied as it is set, leaving the
        image the only holder: a hook that replaces a field frees the object."""
        fields = self.rng.sample(FIELDS[1:] + ("width", "height"), self.rng.randrange(3))
        assignments = [(f, self.field(f, p=1.0)) for f in fields]

        def run():
            while assignments:
                setattr(self.img, *assignments.pop())
            return call()
        return run

    def interruption(self):
        """A trace function that raises on the chosen call of Python code while the case is live: the
        module's own (PyPy's pixel methods) or a hook's action is cut short wherever that lands. Not
        a metaclass's lookups: PyPy's C-API layer makes them while it converts an object, where an
        exception ends the process whatever the module does."""
        if self.rng.random() > 0.15:
            return None
        at, calls = self.rng.randrange(1, 6), [0]
        self.notes.append(f"  a trace function raises on Python call {at}")

        def interruptible(frame):
            if frame.f_globals.get("__name__") == ext.__name__:
                return True
            return "img" in frame.f_globals and "metaclass" not in frame.f_code.co_filename

        def trace(frame, event, arg):
            if event == "call" and self.live and interruptible(frame):
                calls[0] += 1
                if calls[0] == at:
                    raise Boom()
            return None
        return trace

    def module_classes(self):
        """The real struct and zlib modules, or one of them, with a hooked class for the call."""
        out = []
        for name in self.rng.sample(("struct", "zlib"), self.rng.choice([0, 0, 0, 0, 1])):
            fire, _ = self.trigger(f"attribute of the {name} module")
            out.append((ORIGINAL[name], module_class(fire)))
        return out

    def rebinds(self):
        out = []
        for name in self.rng.sample(REBINDABLE, self.rng.choice([0, 0, 0, 1, 1, 2])):
            fire, _ = self.trigger(f"module name {name}")
            original = ORIGINAL[name]
            out.append((name, ModuleProxy(original, fire) if name in ("struct", "zlib")
                        else lambda *a, _f=fire, _o=original, **k: (_f(), _o(*a, **k))[1]))
        return out


def levels(case):
    """No level, or a compress_level keyword: a level, one out of range or not an integer, maybe hostile."""
    if case.rng.random() < 0.6:
        return {}
    level = case.rng.choice([None, 0, 1, 6, 9, 12, 13, -1, True, 6.0])
    case.notes.append(f"compress_level={level!r}")
    return {"compress_level": case.maybe(level, "compress_level", 0.3)}


def build(case, name):
    """The call of entry point `name` with hostile arguments, and the file it is to write, if any."""
    img, rng, pick = case.img, case.rng, case.rng.choice
    path = os.path.join(case.folder, "out" + pick([".png", ".bmp"]))
    numbers = lambda values, where: [case.maybe(v, f"{where}[{k}]") for k, v in enumerate(values)]  # noqa: E731
    if name in ("constructor", "_writePng", "_writePngWithChunks", "_writeBmp"):
        pixels = case.maybe(pick([img._pixels, bytes(img._pixels), list(img._pixels)]), "pixels")
        args = [*numbers((img.width, img.height), "size"), pixels]
        fields = {"constructor": ["_alpha", "_png_chunks", "_bmp_header", "_png_filters"], "_writeBmp": ["_bmp_header"],
                  "_writePng": ["_alpha", "_png_filters"],
                  "_writePngWithChunks": ["_alpha", "_png_chunks", "_png_filters"]}
        args += [case.field(field) for field in fields[name]]
        if name == "constructor":
            return (lambda: SimpleImage(*args)), None
        args.insert(0, case.maybe(pathlib.PurePath(path), "path", 0.3) if rng.random() < 0.5 else path)
        level = levels(case) if name != "_writeBmp" else {}
        return (lambda: ORIGINAL[name](*args, **level)), path
    if name in ("getPixel", "putPixel"):
        xy = [pick([rng.randrange(max(size, 1))] * 10 + [size, -1]) for size in (img.width, img.height)]
        coords = tuple(numbers((xy + [0])[:pick([2] * 8 + [1, 3])], "coords"))
        if name == "getPixel":
            return case.dressed(lambda: img.getPixel(coords)), None
        value = case.maybe(tuple(numbers((300, -1, 7, 0)[:pick([3, 3, 3, 2, 4])], "value")), "value")
        return case.dressed(lambda: img.putPixel(coords, value)), None
    if name == "copy":
        return case.dressed(img.copy), None
    if name == "threads":  # a second thread writes a pixel while this one reads it
        colours = [(0, 0, 0), (255, 255, 255)]
        xy = (rng.randrange(max(img.width, 1)), rng.randrange(max(img.height, 1)))

        def call():
            img.putPixel(xy, colours[0])  # may raise, as for any caller: the case's answer then
            stop = threading.Event()

            def write():
                with contextlib.suppress(Exception):  # the reader's calls give the case's answer
                    while not stop.is_set():
                        for colour in colours:
                            img.putPixel(xy, colour)
            writer = threading.Thread(target=write)
            writer.start()
            try:
                seen = {img.getPixel(xy) for _ in range(2000)}
            finally:
                stop.set()
                writer.join()
            if not seen <= set(colours):
                raise Finding(f"half-written pixels seen: {sorted(seen)}")
        return call, None
    if name in ("save", "saveBmp"):
        method = getattr(img, name)
        level = levels(case) if name == "save" else {}
        return case.dressed(lambda: method(path, **level)), path
    if name == "open":
        how = pick(["the image's own buffer", "bytes", "path"])
        case.notes.append(f"source: {how}")
        with open(path, "wb") as f:
            f.write(case.file)
        img._pixels = bytearray(case.file)
        source = {"bytes": case.file, "path": path}.get(how, img._pixels)
        cls = SimpleImage
        if rng.random() < 0.4:  # a class whose decoder hands over a hostile record
            record = list(SimpleImage._streamToImage(io.BytesIO(case.file)))
            for k in rng.sample(range(8), rng.randrange(1, 3)):
                record[k] = case.maybe(record[k], f"_streamToImage()[{k}]", 1.0)
            made = [tuple(record)]
            cls = type("Decoder", (SimpleImage,), {"_streamToImage": staticmethod(lambda stream: made.pop())})
        return (lambda: cls.open(source)), None
    if name in ("_streamToImage", "_readChunk"):
        stream = io.BytesIO(case.file)
        stream.seek(pick([0, 8, 8, 33, len(case.file) - 12]) if name == "_readChunk" else 0)
        stream = case.maybe(stream, "stream", 0.8)
        read = SimpleImage._streamToImage if name == "_streamToImage" else ORIGINAL[name]
        return (lambda: read(stream)), None
    if name == "_makeChunk":
        args = pick([b"IDAT", b"tEXt", b"", b"abcdefgh"]), rng.randbytes(pick([0, 1, 40]))
        return (lambda: ORIGINAL[name](*args)), None
    data = rng.randbytes(pick([0, 5, 40]))
    lengths = numbers([pick([0, 1, 7, 100, -3]) for _ in range(rng.randrange(4))], "lengths")
    return (lambda: ORIGINAL[name](data, lengths)), None


def check_file(path):
    """A written BMP, or a PNG of the plain chunk sequence, opens; any PNG frames its chunks with valid CRCs."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] == SIG:
        types, at = "", 8
        while at < len(data):
            (n,) = struct.unpack_from(">I", data, at) if at + 12 <= len(data) else (len(data),)
            crc = data[at + 8 + n:at + 12 + n]
            if len(crc) < 4 or zlib.crc32(data[at + 4:at + 8 + n]) != struct.unpack(">I", crc)[0]:
                raise Finding(f"{path}: the chunk at offset {at} is cut short or fails its CRC")
            types += data[at + 4:at + 8].decode("latin-1")
            at += 12 + n
        if not re.fullmatch(r"IHDR(IDAT)+IEND", types):
            return
    elif data[:2] != b"BM":
        raise Finding(f"{path}: written as neither PNG nor BMP: {data[:8]!r}")
    try:
        SimpleImage.open(path)
    except Exception as e:
        raise Finding(f"{path}: written, but does not open: {type(e).__name__}: {e}") from e


def check_view(img):
    """Pixel access agrees with the fields the image holds now: nothing kept of them outlives them."""
    pixels, width, height = img._pixels, img.width, img.height
    if type(pixels) is not bytearray or width <= 0 or height <= 0 or len(pixels) < width * height * 3:
        return
    for x, y in ((width - 1, height - 1), (0, 0)):
        at = (y * width + x) * 3
        if img.getPixel((x, y)) != tuple(pixels[at:at + 3]):
            raise Finding(f"getPixel(({x}, {y})) is not what the pixel buffer holds")
    try:
        img.getPixel((width, 0))
    except ValueError:
        return
    raise Finding(f"getPixel(({width}, 0)) answered on an image {width} wide: a stale view")


OLD = b"an old file, kept unless a save succeeds"


def check_left(case, path, failed):
    """A save that failed left the old file as it was, and no save leaves a file of its own behind."""
    left = [name for name in os.listdir(case.folder) if name.startswith(".vextaro-")]
    if left:
        raise Finding(f"a save left {left} behind")
    if failed and path and case.size_limit is not None:
        with open(path, "rb") as f:
            if f.read() != OLD:
                raise Finding(f"a failed save changed the file it was to replace: {path}")


def run(case, name, call, path, rebinds, classes, trace):
    if path and case.size_limit is not None:
        with open(path, "wb") as f:
            f.write(OLD)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    try:
        for module_name, value in rebinds:
            setattr(ext, module_name, value)
        for module, hooked in classes:
            module.__class__ = hooked
        case.live = True
        if path and case.size_limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (case.size_limit, hard))
        sys.settrace(trace)
        try:
            result = call()
        finally:
            sys.settrace(None)
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
            case.live = False
            for module, _ in classes:
                module.__class__ = types.ModuleType
            for module_name, _ in rebinds:
                setattr(ext, module_name, ORIGINAL[module_name])
    except Finding:
        raise
    except SystemError as e:  # no hook raises it: CPython's sign of a C function breaking the protocol
        # PyPy's compatibility layer says so when the stack runs out inside a C function,
        # as hooks that save again within a save make it: its RecursionError there.
        if not (IS_PYPY and str(e).startswith("<StackOverflow object")):
            raise Finding(f"SystemError: {e}") from e
        check_view(case.img)
        check_left(case, path, True)
        return "RecursionError"
    except Exception as e:
        check_view(case.img)
        check_left(case, path, True)
        return type(e).__name__
    check_view(case.img)
    check_left(case, path, False)
    if not isinstance(result, RETURNS.get(name, type(None))):
        raise Finding(f"{name} returned {type(result).__name__}")
    case.images += [result] if isinstance(result, SimpleImage) else []
    if path and case.trusted:
        check_file(path)
    return "returned"


def corpus(rng):
    files = []
    for width, height, colour in [(1, 1, 2), (3, 2, 6), (4, 4, 2), (0, 2, 6), (5, 3, 6)]:
        rows = [rng.randbytes(width * (4 if colour == 6 else 3)) for _ in range(height)]
        raw = scanlines([rng.randrange(5) for _ in range(height)], rows)
        files.append(image(width, height, raw, colour, sizes=[rng.randrange(1, 9)], extra=[(b"tEXt", b"k\0v")]))
    return files + [bmp(w, h, rng.randbytes(w * abs(h) * 3)) for w, h in [(1, 1), (3, -2), (4, 3)]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--iterations", type=int, default=20000)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "caller_fuzz"))
    parser.add_argument("--case", type=int, help="run this case alone")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds after which a case counts as hung")
    parser.add_argument("--address-space", type=int, metavar="MIB",
                        help="run under an address-space limit of this much above what the process holds at start")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    seeds = corpus(random.Random(args.seed))
    if args.address_space is not None:
        held = int(next(line for line in open("/proc/self/status") if line.startswith("VmSize")).split()[1]) << 10
        limit = held + (args.address_space << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    current = os.open(os.path.join(args.out, "current.txt"), os.O_WRONLY | os.O_CREAT, 0o644)

    def describe(text):
        os.ftruncate(current, os.pwrite(current, text.encode(), 0))

    counts, done, start = collections.Counter(), 0, time.monotonic()
    with tempfile.TemporaryDirectory() as folder:
        text = ""
        for n in [args.case] if args.case is not None else range(1, args.iterations + 1):
            replay = f"# python fuzz/caller_fuzz.py --seed {args.seed} --case {n}\n"
            # Making a case runs the module too, which may fail from what the case before did.
            describe(replay + "# (being made; the case before:)\n" + text)
            with contextlib.redirect_stdout(io.StringIO()):  # open prints a line per image
                case = Case(args.seed, n, seeds, folder)
                name = case.rng.choice(ENTRIES)
                case.notes.append(f"entry: {name}")
                call, path = build(case, name)
                rebinds, classes, trace = case.rebinds(), case.module_classes(), case.interruption()
            text = replay + "\n".join(case.notes) + "\n"
            describe(text)
            # A watchdog thread reports a hang, even inside the module, and exits the process.
            faulthandler.dump_traceback_later(args.timeout, exit=True)
            try:
                with contextlib.redirect_stdout(io.StringIO()):
                    counts[name, run(case, name, call, path, rebinds, classes, trace)] += 1
            except Finding as finding:
                traceback.print_exc()
                kept = os.path.join(args.out, f"finding-{args.seed}-{n}.txt")
                with open(kept, "w") as f:
                    f.write(text)
                print(f"FAILED at case {n}: {finding}; kept in {kept}:\n{text}")
                return 1
            finally:
                faulthandler.cancel_dump_traceback_later()
                for img in case.images:  # PyPy never collects a cycle through an image's fields: break them
                    for field in FIELDS:
                        setattr(img, field, None)
                case.img = case.other = None
            for written in os.listdir(folder):
                os.unlink(os.path.join(folder, written))
            done += 1
            if done % 200 == 0:
                gc.collect()
            if time.monotonic() - start > args.seconds:
                break
    elapsed = time.monotonic() - start
    if not done:
        print("caller fuzzing: no case was run")
        return 1
    for entry in ENTRIES:
        print(f"  {entry:20s} {counts[entry, 'returned']:6d} returned; raised: "
              + ", ".join(f"{k[1]} {v}" for k, v in counts.most_common() if k[0] == entry and k[1] != "returned"))
    print(f"caller fuzzing: {done} cases in {elapsed:.0f}s (seed {args.seed}), each ended in a result or an exception")
    return 0


if __name__ == "__main__":
    sys.exit(main())
