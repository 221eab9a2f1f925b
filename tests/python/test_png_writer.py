"""PNG writing: the scanline encoder seen through the writers, _writePng, _split_idat_payload
and _writePngWithChunks."""
import array
import random
import struct
import subprocess
import sys
import types
import zlib

import pytest

from conftest import IS_PYPY, ROOT, raises_exact, ramp
from pngtools import chunk, ihdr, parse, png, run_limited

IEND = bytes.fromhex("0000000049454E44AE426082")
BUFFER_ERRORS = (TypeError, BufferError, ValueError)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def reference(width, height, pixels, alpha=None, filters=None):
    """Independent scanline encoder: the oracle for every filter type."""
    k, out = 3 if alpha is None else 4, bytearray()
    prev = bytes(width * k)
    for y in range(height):
        raw = b"".join(bytes(pixels[i * 3:i * 3 + 3]) + (b"" if alpha is None else bytes([alpha[i]]))
                       for i in range(y * width, (y + 1) * width))
        f = filters[y] if filters is not None else 0
        out.append(f)
        for i, x in enumerate(raw):
            a, b, c = (raw[i - k], prev[i], prev[i - k]) if i >= k else (0, prev[i], 0)
            out.append((x - [0, a, b, (a + b) // 2, paeth(a, b, c)][f]) % 256)
        prev = raw
    return bytes(out)


def scanline_data(path):
    return zlib.decompress(b"".join(d for t, d in parse(path.read_bytes()) if t == b"IDAT"))


def with_chunks(m, path, w, h, pixels, alpha=None, filters=None):
    entries = [(b"IHDR", ihdr(w, h, 2 if alpha is None else 6)[1], 13), (b"IDAT", None, 3), (b"IEND", b"", 0)]
    m._writePngWithChunks(path, w, h, pixels, alpha, entries, filters)


WRITERS = [pytest.param(lambda m, *a: m._writePng(*a), id="plain"), pytest.param(with_chunks, id="chunks")]


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("w, h, pixels, alpha, filters, expected", [
    (1, 1, [10, 20, 30], None, None, "000a141e"),
    (1, 1, [10, 20, 30], [255], None, "000a141eff"),
    (2, 1, [255] * 3 + [5] * 3, None, [1], "01ffffff060606"),  # subtraction wraps
    (2, 2, [255] * 12, None, [0, 3], "00ffffffffffff" "03808080000000"),  # (255 + 255) // 2 is 255
    (2, 1, ramp(6), None, [2], "02" + ramp(6).hex()),  # the row above the first is zero
    (0, 3, [], None, None, "000000"), (0, 3, [], None, [1, 2, 4], "010204"),
    (3, 0, [], None, None, ""), (3, 0, [], [], [], ""),
])
def test_known_scanlines(m, tmp_path, write, w, h, pixels, alpha, filters, expected):
    path = tmp_path / "out.png"
    write(m, str(path), w, h, bytearray(pixels), *[None if v is None else bytearray(v) for v in (alpha, filters)])
    assert scanline_data(path) == bytes.fromhex(expected)


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("filters", [[f] * 5 for f in range(5)] + [[4, 3, 2, 1, 0], [1, 4, 0, 3, 2]])
def test_every_filter_matches_reference(m, tmp_path, write, channels, filters):
    rng = random.Random(channels * 31 + sum(filters))

    # Extremes make wrap-arounds common, an evenly spaced ladder makes Paeth ties common.
    def noise(n):
        return bytearray(rng.choice((0, 1, 255, 80, 90, 100, 110, 120, rng.randrange(256))) for _ in range(n))

    pixels, alpha = noise(9 * 5 * 3), noise(9 * 5) if channels == 4 else None
    path = tmp_path / "out.png"
    write(m, str(path), 9, 5, pixels, alpha, bytearray(filters))
    assert scanline_data(path) == reference(9, 5, pixels, alpha, filters)


@pytest.mark.parametrize("make", [bytes, list, memoryview, lambda b: array.array("B", b)])
def test_pixel_forms_are_copied(m, tmp_path, make):
    m._writePng(str(tmp_path / "a"), 3, 2, make(ramp(18)))
    m._writePng(str(tmp_path / "b"), 3, 2, bytearray(ramp(18)))
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()


@pytest.mark.parametrize("w, h, alpha, filters", [
    (1, 1, None, None), (1, 1, b"\xff", None), (5, 3, ramp(15), b"\x04\x01\x03"), (0, 3, None, b"\x01\x02\x04"),
    (4, 0, None, None), (0, 0, b"", b""),
])
def test_write_png_file_layout(m, tmp_path, w, h, alpha, filters):
    path, pixels = tmp_path / "out.png", ramp(w * h * 3)
    conv = [None if v is None else bytearray(v) for v in (alpha, filters)]
    assert m._writePng(str(path), w, h, bytearray(pixels), *conv) is None
    data = path.read_bytes()
    assert data == png(ihdr(w, h, 2 if alpha is None else 6),
                       (b"IDAT", zlib.compress(reference(w, h, pixels, alpha, filters))), (b"IEND", b""))
    assert data[:8] == bytes.fromhex("89504E470D0A1A0A") and data.endswith(IEND)
    if (w, h, alpha) == (1, 1, None):
        assert data[8:33] == chunk(b"IHDR", bytes.fromhex("00000001000000010802000000"))


BAD_PIXELS = "Pixel data length does not match image dimensions"
BAD_ALPHA = "Alpha channel length does not match image dimensions"
BAD_COUNT = "PNG filter count does not match image height"
IDAT_ONLY = [(b"IDAT", None, 1)]

# (writer, arguments after the path, exception, the module's own message or None for the host's)
FAILURES = [
    ("_writePng", (2, 2, bytes(11)), ValueError, BAD_PIXELS),
    ("_writePng", (2, 2, array.array("H", bytes(24))), ValueError, BAD_PIXELS),  # 12 items, 24 bytes
    ("_writePng", (2, 2, bytes(12), bytearray(3)), ValueError, BAD_ALPHA),
    ("_writePng", (2, 2, bytes(12), None, bytearray(3)), ValueError, BAD_COUNT),
    ("_writePng", (3, 0, b"", None, bytearray(1)), ValueError, BAD_COUNT),
    # Matching item counts but not byte counts: refused by the length check or by the buffer format.
    ("_writePng", (2, 2, bytes(12), array.array("H", bytes(8))), ValueError, None),
    ("_writePng", (2, 2, bytes(12), None, array.array("H", bytes(4))), ValueError, None),
    ("_writePng", (2, 3, bytes(18), None, bytearray([0, 0, 7])), ValueError, "Unsupported PNG filter: 7"),
    ("_writePng", (2, 1, bytes(6), None, bytearray([255])), ValueError, "Unsupported PNG filter: 255"),
    ("_writePng", (2, 2, bytes(12), bytes(4)), BUFFER_ERRORS, None),
    ("_writePng", (2, 2, bytes(12), None, bytes(2)), BUFFER_ERRORS, None),
    ("_writePng", (2, 2, [256] * 12), ValueError, None),
    ("_writePng", (-1, 0, b""), struct.error, None),
    ("_writePng", (-2, -3, bytes(18)), struct.error, None),
    ("_writePngWithChunks", (0, -1, b"", None, IDAT_ONLY), struct.error, None),
    ("_writePngWithChunks", (2, 1, bytes(6), None, IDAT_ONLY, bytearray([5])), ValueError,
     "Unsupported PNG filter: 5"),
    ("_writePngWithChunks", (2, 1, bytes(6), bytearray(1), IDAT_ONLY), ValueError, BAD_ALPHA),
    ("_writePngWithChunks", (1, 1, b"abc", None, [(b"IHDR", b"", 0), (b"IEND", b"")]), ValueError, None),
]


@pytest.mark.parametrize("existing", [False, True], ids=["absent", "existing"])
@pytest.mark.parametrize("writer, args, exc, message", FAILURES)
def test_checks_come_before_the_file(m, tmp_path, writer, args, exc, message, existing):
    path = tmp_path / "out.png"
    if existing:
        path.write_bytes(b"keep me")
    if message:
        raises_exact(exc, message, getattr(m, writer), str(path), *args)
    else:
        pytest.raises(exc, getattr(m, writer), str(path), *args)
    assert (path.read_bytes() == b"keep me") if existing else not path.exists()


@pytest.mark.address_space_limit
@pytest.mark.skipif(IS_PYPY, reason="PyPy reserves more address space than the limit")
@pytest.mark.parametrize("call", ["m._writePng(p, 2**31 - 1, 0, b'')",
                                  "m._writePngWithChunks(p, 2**31 - 1, 0, b'', bytearray(), [(b'IDAT', None, 9)])"])
def test_no_rows_no_row_buffers(tmp_path, call):
    path = tmp_path / "wide.png"
    code = f"p = {str(path)!r}\nresult = lambda: {call} or open(p, 'rb').read()[16:24].hex()"
    assert run_limited(code) == "ok '7fffffff00000000'"


# -- dividing the compressed data --------------------------------------------------

@pytest.mark.parametrize("total, lengths, sizes", [
    (12, [0, 5, 0], [5, 7]), (12, [5, 5], [5, 7]), (8, [5, 5], [5, 3]), (5, [5, 5], [5]),
    (250, [100, 100, 40], [100, 100, 50]), (150, [100, 100, 40], [100, 50]), (30, [100, 100, 40], [30]),
    (0, [10], []), (0, [], []), (9, [], [9]), (10, [-3, 4], [10]), (10, [4, -1], [4, 6]), (10, [4, 0], [4, 6]),
])
def test_split_idat_payload(m, total, lengths, sizes):
    data = ramp(total)
    parts = m._split_idat_payload(data, list(lengths))
    assert [len(p) for p in parts] == sizes and b"".join(parts) == data
    assert type(parts) is list and all(type(p) is bytes for p in parts)


class Bytes(bytes):
    pass


class Lengths(list):
    pass


@pytest.mark.parametrize("args, message", [
    ((bytearray(b"ab"), [1]), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (((1, 2), [1]), "Argument 'data' has incorrect type (expected bytes, got tuple)"),
    ((b"ab", (1,)), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
    ((b"ab", bytearray(b"\x01")), "Argument 'lengths' has incorrect type (expected list, got bytearray)"),
    ((Bytes(b"ab"), [1]), "Argument 'data' has incorrect type (expected bytes, got Bytes)"),
    ((b"ab", Lengths([1])), "Argument 'lengths' has incorrect type (expected list, got Lengths)"),
    ((None, [1]), "object of type 'NoneType' has no len()"),
    ((b"ab", None), "object of type 'NoneType' has no len()"),
])
def test_split_idat_payload_types(m, args, message):
    raises_exact(TypeError, message, m._split_idat_payload, *args)  # subclasses get no note here


# -- the chunk-preserving writer -----------------------------------------------------

W, H = 6, 5
PIX = bytearray(random.Random(3).randbytes(W * H * 3))
FRESH = ihdr(W, H)[1]
PAYLOAD = zlib.compress(reference(W, H, PIX))
IH, END = (b"IHDR", FRESH, 13), (b"IEND", b"", 0)
T1, T2 = (b"tEXt", b"a\0b", 999), (b"zTXt", b"cd", 0)  # item 2 of other chunks is ignored


def D(n):
    return (b"IDAT", None, n)


def group(*sizes):
    """The expected IDAT chunks; None stands for all that is left."""
    rest = len(PAYLOAD) - sum(s for s in sizes if s)
    parts, at = [], 0
    for s in sizes:
        parts.append((b"IDAT", PAYLOAD[at:at + (s or rest)]))
        at += s or rest
    return parts


@pytest.mark.parametrize("entries, expected", [
    ([IH, T1, D(10), D(20), T2, D(5), END], [IH, T1, *group(10, 20, None), T2, END]),
    (([b"IHDR", FRESH, 0], [b"IEND", b"", 0], [b"IDAT", b"x", 3], [b"IDAT", b"y", 7]), [IH, END, *group(3, None)]),
    ([IH, T1, END], [IH, T1, END, *group(None)]),
    ([IH, (b"zzZz", None, 99), D(0), D(4), END], [IH, (b"zzZz", b""), *group(None), END]),
    ([IH, D(5000), D(5000), END], [IH, *group(None), END]),
    # IHDR entries that do not describe the image become the fresh one, in place.
    ([(b"IHDR", ihdr(W, H, 6)[1], 13), D(9), END], [IH, *group(None), END]),
    ([T1, (b"IHDR", None, 0), D(9), END], [T1, IH, *group(None), END]),
    ([D(9), END], [IH, *group(None), END]),
    ([T2, D(9), END, (b"IHDR", ihdr(W + 1, H)[1], 13)], [T2, *group(None), END, IH]),
])
def test_chunk_order(m, tmp_path, entries, expected):
    path = tmp_path / "out.png"
    assert m._writePngWithChunks(str(path), W, H, PIX, None, entries) is None
    assert path.read_bytes() == png(*[e[:2] for e in expected])


def test_fresh_ihdr_follows_alpha(m, tmp_path):
    path = tmp_path / "out.png"
    m._writePngWithChunks(str(path), W, H, PIX, bytearray(W * H), [IH, D(1), END])
    assert parse(path.read_bytes())[0] == ihdr(W, H, 6)


def test_entries_are_unpacked_once(m, tmp_path):
    class Entry:
        seen = 0

        def __iter__(self):
            Entry.seen += 1
            return iter((b"tEXt", b"k\0%d" % Entry.seen, 0))

    path = tmp_path / "out.png"
    m._writePngWithChunks(str(path), W, H, PIX, None, [IH, Entry(), D(9), END])
    assert Entry.seen == 1 and parse(path.read_bytes())[1] == (b"tEXt", b"k\x001")


@pytest.mark.parametrize("chunks", [None, [], ()])
@pytest.mark.parametrize("alpha, filters", [(None, None), (bytearray(range(W * H)), bytearray([1, 2, 3, 4, 0]))])
def test_no_chunks_falls_back_to_plain(m, tmp_path, chunks, alpha, filters):
    m._writePngWithChunks(str(tmp_path / "a"), W, H, PIX, alpha, chunks, filters)
    m._writePng(str(tmp_path / "b"), W, H, PIX, alpha, filters)
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()


def test_a_patched_zlib_compress_is_called(m, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(zlib, "compress", lambda d, *a: seen.append((type(d), bytes(d))) or b"Z")
    m._writePng(str(tmp_path / "out.png"), 1, 1, b"abc")
    assert seen == [(bytearray, b"\0abc")] and [d for t, d in parse((tmp_path / "out.png").read_bytes())
                                                  if t == b"IDAT"] == [b"Z"]


# Each in a fresh host: the first save of a process, and a patch made before the module's import.
ZLIB_HOOKS = {
    "patched-before-import": """
seen = []
zlib.compress = lambda d, *a: seen.append(bytes(d)) or b"Z"
from Vextaro.simpleImage_ext import SimpleImage
SimpleImage(1, 1, b"abc").save(out)
print(seen == [b"\\0abc"], open(out, "rb").read().count(b"IDATZ"))
""",
    # Every first look at a zlib attribute saves again, on this thread and on another.
    "re-entered-first-save": """
import threading, types
from Vextaro.simpleImage_ext import SimpleImage
img, looked = SimpleImage(1, 1, b"abc"), set()
class Hooked(types.ModuleType):
    def __getattribute__(self, name):
        if not name.startswith("__") and name not in looked:
            looked.add(name)
            img.save(out + name)
            other = threading.Thread(target=img.save, args=(out + name + "-thread",))
            other.start()
            other.join()
        return super().__getattribute__(name)
zlib.__class__ = Hooked
img.save(out)
print(zlib.decompress(zlib.compress(b"x")) == b"x", len(looked) > 0)
""",
}


@pytest.mark.parametrize("name", ZLIB_HOOKS)
def test_zlib_hooks_of_a_fresh_host(tmp_path, name):
    script = f"import sys, zlib\nsys.path.insert(0, {ROOT!r})\nout = {str(tmp_path / 'o')!r}\n" + ZLIB_HOOKS[name]
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-2:] == ["True", "1" if name == "patched-before-import" else "True"]


def test_module_names_are_looked_up_per_call(m, tmp_path, monkeypatch):
    path = str(tmp_path / "out.png")
    monkeypatch.setattr(m, "PNG_SIGNATURE", b"SIG")
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=lambda d, *a: b"Z" + bytes(d), crc32=zlib.crc32))
    monkeypatch.setattr(m, "_makeChunk", lambda t, d: b"<" + t + b">")
    m._writePng(path, 1, 1, b"abc")
    assert open(path, "rb").read() == b"SIG<IHDR><IDAT><IEND>"
    for split, parts in [(lambda d, n: [d[:2], d[2:]], [b"Z\0", b"abc"]), (lambda d, n: [], [b"Z\0abc"])]:
        monkeypatch.setattr(m, "_split_idat_payload", split)
        m._writePngWithChunks(path, 1, 1, b"abc", None, [(b"IHDR", ihdr(1, 1)[1], 0), D(1), END])
        framed = [chunk(*ihdr(1, 1)), *[chunk(b"IDAT", p) for p in parts], IEND]
        assert open(path, "rb").read() == b"SIG" + b"".join(framed)


@pytest.mark.parametrize("mode, width, filters", [("RGB", 1, [0, 1, 2]), ("RGB", 7, [3, 4, 1]), ("RGBA", 13, [4, 2, 3]),
                                                  ("RGBA", 3, None)])
def test_pillow_reads_what_is_written(m, tmp_path, mode, width, filters):
    Image = pytest.importorskip("PIL.Image")
    rng, path = random.Random(width), tmp_path / "out.png"
    pixels, alpha = bytearray(rng.randbytes(width * 9)), bytearray(rng.randbytes(width * 3)) if mode == "RGBA" else None
    m._writePng(str(path), width, 3, pixels, alpha, None if filters is None else bytearray(filters))
    with Image.open(path) as theirs:
        assert theirs.mode == mode and theirs.size == (width, 3)
        assert theirs.convert("RGB").tobytes() == pixels
        assert alpha is None or theirs.getchannel("A").tobytes() == alpha
