"""Hostile callers: Python code that runs in the middle of the module's own operations
(hooks of the objects it is given, rebound module names, other threads) ends in an
exception or a consistent result, never in a read of freed or foreign memory; under the
sanitizer build any such read aborts the run."""
import array
import gc
import io
import os
import struct
import subprocess
import sys
import threading
import zlib

import pytest

from conftest import IS_PYPY, ROOT, raises_exact
from pngtools import parse


class Boom(Exception):
    pass


@pytest.fixture
def saved(tmp_path):
    """A path holding a PNG already, which a failed save must leave as it is."""
    path = tmp_path / "kept.png"
    path.write_bytes(b"\x89PNG not to be touched")
    return path


def refused_and_kept(path, exc, fn):
    before = path.read_bytes()
    with pytest.raises(exc):
        fn()
    assert path.read_bytes() == before


# -- a buffer resized between its check and its use --------------------------------------------

def test_filter_list_shrinking_the_pixels_mid_save(SI, saved):
    img = SI(4, 4, bytes(range(48)))

    class Filters(bytearray):
        def __len__(self):
            del img._pixels[3:]  # refused while the pixels are exported; PyPy allows it
            return 4

    img._png_filters = Filters(4)
    # CPython refuses the resize; PyPy allows it and the writer sees the new length.
    refused_and_kept(saved, (BufferError, ValueError), lambda: img.save(str(saved)))


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ is Python 3.12's")
def test_alpha_export_shrinking_the_pixels_mid_write(m, saved):
    pixels = bytearray(48)

    class Alpha:
        def __len__(self):
            return 16

        def __buffer__(self, flags):
            del pixels[3:]
            return memoryview(bytearray(16))

    refused_and_kept(saved, (BufferError, ValueError), lambda: m._writePng(str(saved), 4, 4, pixels, Alpha()))


# -- fields replaced while copy() still reads them ---------------------------------------------

def test_copy_keeps_what_it_reads_alive(SI):
    img = SI(1, 1, b"abc")

    class Header(dict):
        def keys(self):
            img._bmp_header = None
            return super().keys()

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__getitem__":
                img._alpha = None
            return super().__getattribute__(name)

    class Alpha(metaclass=Meta):
        def __getitem__(self, key):
            return bytearray(b"\x07")

    img._bmp_header, img._alpha = Header(xppm=5), Alpha()
    twin = img.copy()
    assert (twin._bmp_header, twin._alpha) == ({"xppm": 5}, bytearray(b"\x07"))


def test_copy_passes_a_lookup_error_through(SI):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__getitem__":
                raise Boom
            return super().__getattribute__(name)

    img = SI(1, 1, b"abc")
    img._alpha = Meta("Alpha", (), {})()
    with pytest.raises(Boom):
        img.copy()


def test_a_million_chained_images_are_freed(SI):
    head = SI(0, 0, b"")
    for _ in range(1_000_000):
        link = SI(0, 0, b"")
        link._alpha = head
        head = link
    del link, head  # recursing once per link would overflow the stack


# -- saves that fail leave the file; saves that succeed parse -----------------------------------

@pytest.mark.parametrize("entry", [("tEXt", b"x", 1), (b"tEXt", 5, 1), (b"tEXt", ["x"], 1)])
def test_a_chunk_entry_that_cannot_be_written_leaves_the_file(SI, saved, entry):
    img = SI(1, 1, b"abc")
    img._png_chunks = [(b"IHDR", None, 13), (b"IDAT", None, 9), entry, (b"IEND", b"", 0)]
    refused_and_kept(saved, TypeError, lambda: img.save(str(saved)))


@pytest.mark.parametrize("data", [array.array("H", [1, 2, 3]), memoryview(b"abcdefgh").cast("I")])
def test_chunk_data_of_wider_items_is_framed_by_its_bytes(SI, tmp_path, data):
    img = SI(1, 1, b"abc")
    img._png_chunks = [(b"IHDR", None, 13), (b"IDAT", None, 9), (b"tEXt", data, 1), (b"IEND", b"", 0)]
    img.save(str(tmp_path / "a.png"))
    chunks = parse((tmp_path / "a.png").read_bytes())  # checks every frame and CRC
    assert (b"tEXt", bytes(data)) in [(t, d) for t, d in chunks]


@pytest.fixture
def frequent_switches():
    """Threads take turns often, so that a race has many chances."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.usefixtures("frequent_switches")
def test_a_save_beside_a_writing_thread_sees_one_image(SI, tmp_path):
    width = height = 256
    img = SI(width, height, bytes([10]) * (width * height * 3))
    img._png_filters = bytearray([4] * height)  # each row filtered against the one above
    states = [bytes([v]) * (width * height * 3) for v in (10, 200)]
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            for state in states:
                img._pixels[:] = state

    writer = threading.Thread(target=flip)
    writer.start()
    try:
        seen = set()
        for n in range(50):
            path = str(tmp_path / f"{n}.png")
            img.save(path)
            seen.add(bytes(SI.open(path)._pixels))
    finally:
        stop.set()
        writer.join()
    assert seen <= set(states)


# -- errors of what the module calls come through as raised -------------------------------------

class Raising:
    """Any attribute lookup raises Boom."""

    def __getattr__(self, name):
        raise Boom


class RaisingOn(dict):
    def __getattribute__(self, name):
        if name in ("get", "seek"):
            raise Boom
        return super().__getattribute__(name)


class Stream(io.BytesIO):
    def __getattribute__(self, name):
        if name == "seek":
            raise Boom
        return super().__getattribute__(name)


@pytest.mark.parametrize("call", [
    lambda m, p: setattr(m, "struct", Raising()) or m.SimpleImage(1, 1, b"abc").save(p),
    lambda m, p: setattr(m, "struct", Raising()) or m.SimpleImage(1, 1, b"abc").saveBmp(p),
    lambda m, p: m._writeBmp(p, 1, 1, b"abc", RaisingOn()),
    lambda m, p: m.SimpleImage._streamToImage(Stream(b"BM")),
], ids=["struct.pack png", "struct.pack bmp", "meta.get", "stream.seek"])
def test_an_error_while_looking_a_method_up_comes_through(m, tmp_path, monkeypatch, call):
    monkeypatch.setattr(m, "struct", struct)  # restored after the test
    with pytest.raises(Boom):
        call(m, str(tmp_path / "a"))


@pytest.mark.parametrize("height", [-2**63, -6148914691236517206])  # the second makes 3 * rows wrap to 2
def test_a_height_no_buffer_could_hold_from_struct(m, SI, monkeypatch, height):
    class Struct:
        pack = staticmethod(struct.pack)

        @staticmethod
        def unpack(fmt, data):
            values = struct.unpack(fmt, data)
            return values[:1] + (height,) + values[2:] if fmt == "<iiHHIIiiII" else values

    data = io.BytesIO()
    data.write(b"BM" + struct.pack("<IHHI", 58, 0, 0, 54))
    data.write(struct.pack("<IiiHHIIiiII", 40, 1, 1, 1, 24, 0, 4, 0, 0, 0, 0))
    data.write(b"\1\2\3\0")
    monkeypatch.setattr(m, "struct", Struct())
    # A claim no buffer could hold takes memory only as rows arrive: the data runs out first.
    raises_exact(ValueError, "Incomplete BMP pixel data", SI._streamToImage, io.BytesIO(data.getvalue()))


@pytest.mark.skipif(IS_PYPY, reason="PyPy's collector has no callbacks")
def test_a_collection_inside_getpixel_cannot_pull_the_pixels_away(SI):
    img = SI(64, 64, bytes([7]) * (64 * 64 * 3))
    get_pixel, corner = img.getPixel, (63, 63)  # made before the collector is armed
    armed = [True]

    def collecting(phase, info):
        if armed[0] and phase == "start":
            armed[0] = False
            img._pixels = None  # frees the buffer the pixel is being read from

    keep = [(i, i, i) for i in range(5000)]  # no spare tuples: getPixel's allocation may collect
    threshold = gc.get_threshold()
    gc.callbacks.append(collecting)
    gc.set_threshold(1)
    try:
        assert get_pixel(corner) == (7, 7, 7)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(collecting)
    del keep


def test_fields_replaced_while_save_looks_its_writer_up(m, SI, tmp_path):
    img = SI(2, 2, bytearray(12), bytearray(4), [(b"IHDR", None, 13)])
    img._alpha = type("Victim", (), {})()  # held by the image alone
    seen = []

    class Key:  # sits in the writer's slot of the module's dict, so the lookup compares with it
        def __hash__(self):
            return hash("_writePngWithChunks")

        def __eq__(self, other):
            img._alpha = None
            return False

    namespace = vars(m)
    before = list(namespace.items())
    del namespace["_writePngWithChunks"]
    namespace[Key()] = 0
    namespace["_writePngWithChunks"] = lambda *args: seen.append(args[4])
    try:
        img.save(str(tmp_path / "a.png"))
    finally:
        namespace.clear()
        namespace.update(before)  # in its order, which the module's surface tests check
    assert seen == [None]


def test_keyword_values_outlive_their_dict(SI):
    class Width:
        def __int__(self):  # empties the call's keyword dict, the only owner of its values
            for o in gc.get_objects():
                if type(o) is dict and type(o.get("png_chunks")) is Chunks:
                    o.clear()
            return 1

    class Chunks(list):
        pass

    img = SI(**{"width": Width(), "height": 1, "pixels": bytearray(3), "png_chunks": Chunks([(b"IEND", b"", 0)])})
    assert img._png_chunks == [(b"IEND", b"", 0)]


def test_an_error_looking_the_decoder_up_comes_through_once(SI):
    lookups = []

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "_streamToImage":
                lookups.append(name)
                raise Boom
            return super().__getattribute__(name)

    with pytest.raises(Boom):
        Meta("Sub", (SI,), {}).open(b"BM")
    assert len(lookups) == 1


@pytest.mark.parametrize("rows_left", [201, 100], ids=["longer", "shorter"])
def test_a_bmp_path_that_resizes_the_pixels_while_opening(m, tmp_path, rows_left):
    pixels = bytearray(b"\x11\x22\x33") * 40000

    class Path:
        def __fspath__(self):  # runs inside open(), after the pixels were checked
            pixels[:] = (b"\x44\x55\x66" * 200 * rows_left)[:120004]
            return str(tmp_path / "a.bmp")

    try:
        m._writeBmp(Path(), 200, 200, pixels, None)
    except BufferError:  # CPython refuses the resize; PyPy allows it, and every row is then the new one
        return
    # Rows cut off after the file was opened are written black: the file stays a whole image.
    stored = (tmp_path / "a.bmp").read_bytes()[54:]
    black = 600 * (200 - min(rows_left, 200))
    assert len(stored) == 600 * 200 and set(stored[:black]) <= {0} and set(stored[black:]) == {0x44, 0x55, 0x66}


@pytest.fixture
def interpreted():
    """PyPy without its JIT switches threads between any two bytecodes: a race shows every time."""
    if not IS_PYPY:
        yield
        return
    import pypyjit
    pypyjit.set_param("off")
    yield
    pypyjit.set_param("default")


@pytest.mark.usefixtures("frequent_switches", "interpreted")
def test_pixels_stay_whole_beside_a_writing_thread(SI):
    img = SI(4, 1, bytes(12))
    colours = [(0, 0, 0), (255, 255, 255)]
    stop = threading.Event()

    def write():
        while not stop.is_set():
            for colour in colours:
                img.putPixel((1, 0), colour)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        seen = {img.getPixel((1, 0)) for _ in range(20_000)}
    finally:
        stop.set()
        writer.join()
    assert seen <= set(colours)


def consistent(img):
    """Pixel access agrees with the fields the image holds now."""
    img.putPixel((1, 0), (7, 8, 9))
    assert img._pixels[3:6] == b"\x07\x08\x09"
    width, height = img.size
    for x, y in [(3, 1), (1, 1)]:
        if x < width and y < height:
            at = (y * width + x) * 3
            assert img.getPixel((x, y)) == tuple(img._pixels[at:at + 3])
        else:
            raises_exact(ValueError, "Pixel coordinate out of bounds", img.getPixel, (x, y))


@pytest.mark.parametrize("field, value", [("width", 2), ("height", 1), ("_pixels", "new")])
def test_a_setter_interrupted_by_a_trace_function_leaves_no_stale_view(SI, field, value):
    img = SI(4, 2, bytes(24))
    img.getPixel((3, 1))

    def interrupt(frame, event, arg):
        raise Boom

    previous = sys.gettrace()
    sys.settrace(interrupt)
    try:
        setattr(img, field, bytearray(range(24)) if value == "new" else value)
    except Boom:
        pass
    finally:
        sys.settrace(previous)
    consistent(img)


def test_setters_at_the_stack_limit_fail_like_any_call():
    script = f"""
import sys
sys.path.insert(0, {ROOT!r})
from Vextaro.simpleImage_ext import SimpleImage
img = SimpleImage(4, 2, bytes(24))
def attempt():
    for value in (2, 4, 3):
        try:
            img.width = value
            img.getPixel((0, 0))
        except (RecursionError, SystemError):  # PyPy reports a C stack overflow as SystemError
            pass
def dive(n):
    if n:
        try:
            dive(n - 1)
        except RecursionError:
            pass
    attempt()
sys.setrecursionlimit(30)
dive(80)
sys.setrecursionlimit(1000)
try:
    print(img.getPixel((img.width - 1, 1)), img.getPixel((img.width, 1)))
except ValueError as e:
    print(e)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "Pixel coordinate out of bounds"


# -- every entry point, with hooks that change the image under it -------------------------------

def hostile_cases(SI):
    img = SI(3, 2, bytes(range(18)), bytearray(6), [(b"IHDR", None, 13), (b"IDAT", None, 9)], {"xppm": 1},
             bytearray([1, 2]))

    class Index:
        def __index__(self):
            img._pixels = bytearray(3)
            return 2

    class Shrinking(list):
        def __len__(self):
            img._pixels = None
            return super().__len__()

        def __iter__(self):
            del img._pixels[:]
            return super().__iter__()

    class Keys(dict):
        def keys(self):
            img.width = 1000
            img._pixels = bytearray()
            return super().keys()

    return img, [
        lambda p: img.getPixel((Index(), 1)),
        lambda p: img.putPixel((Index(), 1), (1, 2, 3)),
        lambda p: img.putPixel((1, 1), Shrinking([1, 2, 3])),
        lambda p: SI(3, 2, Shrinking(range(18))),
        lambda p: SI(3, 2, bytes(18), None, None, Keys(a=1)),
        lambda p: (setattr(img, "_png_chunks", Shrinking([(b"IDAT", None, 3)])), img.save(p)),
        lambda p: (setattr(img, "_bmp_header", Keys(xppm=3)), setattr(img, "_png_chunks", None), img.saveBmp(p)),
        lambda p: (setattr(img, "_alpha", Shrinking([0] * 6)), img.copy()),
    ]


def ends_cleanly(call, *args):
    """Any exception of a hook's making is an outcome; a SystemError is a C API misuse
    (an error without an exception, or the reverse), and a memory error aborts."""
    try:
        call(*args)
    except SystemError:
        raise
    except Exception:
        pass


def test_hooks_at_every_entry_point_end_in_a_result_or_an_exception(SI, tmp_path):
    img, calls = hostile_cases(SI)
    for n, call in enumerate(calls):
        img._pixels, img.width, img.height = bytearray(range(18)), 3, 2
        ends_cleanly(call, str(tmp_path / f"{n}.out"))


@pytest.mark.parametrize("name", ["struct", "zlib", "BytesIO", "_readChunk"])
def test_rebound_names_that_change_the_image(m, SI, tmp_path, monkeypatch, name):
    img = SI(2, 2, bytes(12))
    original = getattr(m, name)

    class Wrapper:
        def __getattr__(self, attr):
            img._pixels = bytearray(1)
            return getattr(original, attr)

        def __call__(self, *args):
            del img._pixels[:]
            return original(*args)

    monkeypatch.setattr(m, name, Wrapper())
    for call in (lambda: img.save(str(tmp_path / "a.png")), lambda: img.saveBmp(str(tmp_path / "a.bmp")),
                 lambda: SI.open(b"\x89PNG\r\n\x1a\n" + zlib.compress(b"")),
                 lambda: SI._streamToImage(io.BytesIO(b"BM" + bytes(60)))):
        img._pixels = bytearray(12)
        ends_cleanly(call)


# -- the interpreter exits while daemon threads are inside the module -------------------------

EXIT_WITH_DAEMONS = f"""
import os, sys, threading
sys.path.insert(0, {ROOT!r})
class Drop:  # the report lines: a buffered stdout would be CPython's own exit hazard with daemon threads
    def write(self, text):
        return len(text)

    def flush(self):
        pass
sys.stdout = Drop()
from Vextaro.simpleImage_ext import SimpleImage as SI
folder = sys.argv[1]
img = SI(800, 600, os.urandom(800 * 600 * 3))
img._png_chunks = [(b"IHDR", None, 13)] + [(b"IDAT", None, 4096)] * 3 + [(b"IEND", b"", 0)]
png = os.path.join(folder, "a.png")
img.save(png)
data = open(png, "rb").read()
work = [lambda n: img.save(os.path.join(folder, f"s{{n}}.png")),
        lambda n: img.saveBmp(os.path.join(folder, f"b{{n}}.bmp")),
        lambda n: SI.open(png), lambda n: SI.open(data)]
rounds = int(sys.argv[2])
finished = threading.Semaphore(0)
def loop(n):
    for _ in range(rounds):
        work[n % len(work)](n)
    finished.release()
    while True:
        work[n % len(work)](n)
for n in range(8):
    threading.Thread(target=loop, args=(n,), daemon=True).start()
# The exit comes once every thread is in its loop, however slowly the machine runs them.
for n in range(8):
    if not finished.acquire(timeout=90):
        sys.exit("the threads did not get through their first calls in 90 s")
"""


# AddressSanitizer unpoisons the frames a C++ throw unwinds, not those pthread_exit does:
# it reports the unwinder's own writes there.
@pytest.mark.skipif("VEXTARO_SANITIZED" in os.environ, reason="AddressSanitizer cannot follow pthread_exit")
@pytest.mark.parametrize("rounds", [1, 2, 4])
def test_exit_with_daemon_threads_inside_the_module(tmp_path, rounds):
    # CPython ends such threads as they take the interpreter lock back, by unwinding
    # them, and frees their states first; its debug allocator makes a write to freed
    # memory show.
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_WITH_DAEMONS, str(tmp_path), str(rounds)],
                              capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONMALLOC": "debug"})
        assert (done.returncode, done.stderr) == (0, "")
