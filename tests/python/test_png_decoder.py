"""The PNG decoder, reached through SimpleImage._streamToImage."""
import io
import random
import struct
import types
import zlib

import pytest

from conftest import IS_PYPY, raises_exact
from pngtools import Recorder, chunk, cut, ihdr, image, parse, png, rechunk, run_limited, scanlines

MALFORMED = "Malformed PNG image data"
CONFIG = "Unsupported PNG configuration (compression/filter/interlace)"
ONLY_RGB = "Only RGB/RGBA PNG images are supported"
ONLY_8 = "Only 8-bit PNG images are supported"
IEND = (b"IEND", b"")


def decode(m, data):
    return m.SimpleImage._streamToImage(io.BytesIO(data))


def reference(width, height, inflated, bpp):
    """Unfilters the scanlines and splits them into (pixels, alpha)."""
    stride, prev, flat = width * bpp, bytearray(width * bpp), bytearray()
    for y in range(height):
        f, line = inflated[y * (stride + 1)], inflated[y * (stride + 1) + 1:(y + 1) * (stride + 1)]
        cur = bytearray(stride)
        for i in range(stride):
            a = cur[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            paeth = min((abs(p - a), 0, a), (abs(p - b), 1, b), (abs(p - c), 2, c))[2]
            cur[i] = (line[i] + (0, a, b, (a + b) // 2, paeth)[f]) & 255
        flat += cur
        prev = cur
    pixels = bytearray(v for i, v in enumerate(flat) if i % bpp < 3)
    return pixels, (bytearray(flat[3::4]) if bpp == 4 else None)


def random_rows(rng, width, height, bpp, values=range(256)):
    return [bytes(rng.choice(values) for _ in range(width * bpp)) for _ in range(height)]


@pytest.mark.parametrize("colour, channels, inflated, pixels, alpha", [
    (2, 3, "000A141E", "0A141E", None), (6, 4, "000A141E28", "0A141E", "28"),
])
def test_one_pixel_known_values(m, colour, channels, inflated, pixels, alpha):
    raw = bytes.fromhex(inflated)
    result = decode(m, image(1, 1, raw, colour))
    chunks = [(b"IHDR", ihdr(1, 1, colour)[1], 13), (b"IDAT", None, len(zlib.compress(raw))), IEND + (0,)]
    assert type(result) is tuple and result == (
        1, 1, bytes.fromhex(pixels), channels, alpha and bytes.fromhex(alpha), chunks, None, b"\0")
    assert {type(result[i]) for i in (2, 7) + ((4,) if alpha else ())} == {bytearray}


@pytest.mark.parametrize("with_iend", [True, False])
def test_chunk_list_keeps_every_chunk_in_place(m, with_iend):
    rng = random.Random(1)
    raw = scanlines([0, 1, 4], random_rows(rng, 4, 3, 3))
    p0, p1, p2 = cut(zlib.compress(raw), [10, 20])
    decoy, real = ihdr(1, 1, colour=6), ihdr(4, 3)  # the last header wins
    chunks = [decoy, (b"gAMA", b"\0\1\2\3"), (b"IDAT", p0), (b"IDAT", b""), (b"IDAT", p1),
              (b"tEXt", b"k\0v"), real, (b"PLTE", b"\1\2\3"), (b"tRNS", b"\0\7"), (b"IDAT", p2)]
    end = [IEND, b"not even a chunk"] if with_iend else []
    stream = Recorder(png(*chunks, *end))
    result = m.SimpleImage._streamToImage(stream)
    listed = [(t, None if t == b"IDAT" else d, len(d)) for t, d in chunks + end[:1]]
    assert result == (4, 3, *reference(4, 3, raw, 3)[:1], 3, None, listed, None, bytearray([0, 1, 4]))
    # Signature, then four reads per chunk: no seeking, and nothing after the end chunk.
    last_seek = max(i for i, entry in enumerate(stream.log) if entry[0] == "seek")
    frames = [s for _, d in chunks + end[:1] for s in [(4, 4), (4, 4), (len(d), len(d)), (4, 4)]]
    assert stream.log[last_seek:] == [("seek", 0), (8, 8)] + frames + ([] if with_iend else [(4, 0)])


@pytest.mark.parametrize("colour, bpp", [(2, 3), (6, 4)])
@pytest.mark.parametrize("mode", [0, 1, 2, 3, 4, "mixed"])
def test_unfiltering_matches_reference(m, colour, bpp, mode):
    rng = random.Random(f"{mode}/{colour}")
    # Few distinct values give predictor ties and sums past 255; full-range values the rest.
    for (width, height), values in [((1, 1), range(256)), ((5, 4), range(256)),
                                    ((3, 6), (0, 1, 2, 127, 128, 254, 255))]:
        filters = [rng.randrange(5) if mode == "mixed" else mode for _ in range(height)]
        raw = scanlines(filters, random_rows(rng, width, height, bpp, values))
        result = decode(m, image(width, height, raw, colour))
        assert (result[2], result[4]) == reference(width, height, raw, bpp)
        assert result[7] == bytes(filters)


def test_average_uses_the_unwrapped_sum(m):
    # The pixel at (1, 1) has left = up = 255: its predictor is 255, not 127.
    raw = scanlines([0, 3], [b"\xff" * 6, b"\x80" + bytes(5)])
    assert decode(m, image(2, 2, raw))[2] == bytes.fromhex("ffffffffffff ff7f7fffbfbf")


@pytest.mark.parametrize("width, value, row", [(2, 5, 0), (2, 7, 2), (2, 255, 1), (0, 9, 1)])
def test_unsupported_filter(m, width, value, row):
    filters = [value if y == row else 1 for y in range(3)]
    raises_exact(ValueError, f"Unsupported PNG filter: {value}", decode, m,
                 image(width, 3, scanlines(filters, [bytes(width * 3)] * 3)))


@pytest.mark.parametrize("width, height, colour, inflated", [
    (2, 2, 2, bytes(14) + b"\x07"), (2, 2, 2, bytes(13)),  # one byte extra or missing
    (2, 2, 6, bytes(14)), (3, 0, 2, b"\0"),
    (2**31 - 1, 2**31 - 1, 6, bytes(14)), (2**31 - 1, 1, 2, b""),  # sizes past any index type
])
def test_malformed_length(m, width, height, colour, inflated):
    raises_exact(ValueError, MALFORMED, decode, m, image(width, height, inflated, colour))


@pytest.mark.parametrize("width, height, colour, inflated, alpha", [
    (0, 3, 2, b"\0\1\4", None), (0, 2, 6, b"\3\2", b""), (3, 0, 2, b"", None), (3, 0, 6, b"", b""),
])
def test_empty_images(m, width, height, colour, inflated, alpha):
    result = decode(m, image(width, height, inflated, colour))
    assert (result[:3], result[4], result[7]) == ((width, height, b""), alpha, inflated)


@pytest.mark.skipif(IS_PYPY, reason="tracemalloc does not see PyPy's buffers")
@pytest.mark.parametrize("colour, channels", [(2, 3), (6, 4)])
@pytest.mark.parametrize("source", ["bytes", "stream"])
def test_decoded_image_holds_no_spare_memory(m, colour, channels, source):
    # The pixel buffer started as the inflated scanlines, a quarter larger than
    # the RGB pixels for RGBA: none of that may stay with the image.
    import tracemalloc
    width, height = 300, 200
    data = image(width, height, bytes(height * (1 + width * channels)), colour)
    tracemalloc.start()
    try:
        kept = m.SimpleImage.open(data) if source == "bytes" else decode(m, data)
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert kept is not None
    decoded = width * height * channels
    assert decoded <= held < decoded + 16 * 1024


BAD_CRC = chunk(b"tEXt", b"k\0v")[:-1] + b"\0"


@pytest.mark.parametrize("header, exc, message", [
    ([], ValueError, "Incomplete PNG header information"),
    ([BAD_CRC], ValueError, "Corrupted PNG chunk detected"),
    ([ihdr(1, 1, colour=0, depth=16)], ValueError, ONLY_8),
    ([ihdr(1, 1, colour=6, depth=16, interlace=1)], ValueError, ONLY_8),
    ([ihdr(1, 1, colour=3)], ValueError, ONLY_RGB),
    ([ihdr(1, 1, colour=4, compression=1)], ValueError, ONLY_RGB),
    ([ihdr(1, 1, compression=1)], ValueError, CONFIG),
    ([ihdr(1, 1, colour=6, method=1)], ValueError, CONFIG),
    ([ihdr(1, 1, interlace=1)], ValueError, CONFIG),
    ([ihdr(1, 1), ihdr(1, 1, depth=4)], ValueError, ONLY_8),
    ([(b"IHDR", bytes(12))], struct.error, None), ([(b"IHDR", bytes(14))], struct.error, None),
    ([ihdr(2**31, 1)], OverflowError, None), ([ihdr(1, 2**32 - 1)], OverflowError, None),
    ([(b"ihdr", ihdr(1, 1)[1])], ValueError, "Incomplete PNG header information"),
])
def test_header_checks_come_before_inflation(m, header, exc, message):
    with pytest.raises(exc) as info:
        decode(m, png(*header, (b"IDAT", b"not a zlib stream"), IEND))
    assert message is None or info.value.args == (message,)


# -- inflation: the outcome of the host's one-shot decompress --------------------

RNG = random.Random(7)
RAW = scanlines([RNG.randrange(5) for _ in range(5)], random_rows(RNG, 6, 5, 3, (0, 9, 200)))
GOOD = zlib.compress(RAW)


def deflate(data, wbits=15, flush_at=None):
    c = zlib.compressobj(6, zlib.DEFLATED, wbits)
    head = c.compress(data[:flush_at]) + c.flush(zlib.Z_FULL_FLUSH) if flush_at else b""
    return head + c.compress(data[flush_at or 0:]) + c.flush()


def flip(data, at, mask=0x01):
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


STORED = zlib.compress(RAW, 0)
STREAMS = {
    "valid": GOOD, "stored": STORED, "full-flush": deflate(RAW, flush_at=40),
    "trailing-garbage": GOOD + b"garbage", "second-stream": GOOD + zlib.compress(b"more"),
    "split-streams": zlib.compress(RAW[:40]) + zlib.compress(RAW[40:]),
    "longer": zlib.compress(RAW + b"\0"), "shorter": zlib.compress(RAW[:-1]), "empty": b"",
    **{f"cut-{n}": GOOD[:n] for n in (1, 2, 3, len(GOOD) // 2, len(GOOD) - 4, len(GOOD) - 1)},
    "bad-method": flip(GOOD, 0, 0x02), "bad-fcheck": flip(GOOD, 1), "big-window": b"\x88\x1c" + GOOD[2:],
    "fdict": b"\x78\xbb\0\0\0\1" + GOOD[2:], "bad-block-type": GOOD[:2] + b"\x07" + GOOD[3:],
    "bad-adler": flip(GOOD, len(GOOD) - 1), "bad-nlen": STORED[:5] + b"\0\0" + STORED[7:],
    "raw-deflate": deflate(RAW, -15), "gzip": deflate(RAW, 31),
}


def host_outcome(m, stream, sizes=()):
    """Asserts that decoding `stream` ends as the host's decompress says it should."""
    data = image(6, 5, None, payload=stream, sizes=sizes)
    try:
        inflated = zlib.decompress(stream)
    except zlib.error as host:
        with pytest.raises(zlib.error) as info:
            decode(m, data)
        assert type(info.value) is zlib.error and info.value.args == host.args
        return
    if len(inflated) != len(RAW):
        raises_exact(ValueError, MALFORMED, decode, m, data)
    else:
        assert decode(m, data)[2] == reference(6, 5, inflated, 3)[0]


@pytest.mark.parametrize("sizes", [(), (1, 2)], ids=["one-idat", "three-idats"])
@pytest.mark.parametrize("name", STREAMS)
def test_inflation_matches_host_zlib(m, name, sizes):
    host_outcome(m, STREAMS[name], sizes)


@pytest.mark.parametrize("mask", [0x01, 0x10, 0x40, 0x80])
def test_every_damaged_byte_matches_host_zlib(m, mask):
    # Damage anywhere reaches most of zlib's messages: code sets, distances, lengths, checks.
    for at in range(len(GOOD)):
        host_outcome(m, flip(GOOD, at, mask))


def test_no_image_data_is_the_host_error_for_nothing(m):
    with pytest.raises(zlib.error) as host:
        zlib.decompress(b"")
    with pytest.raises(zlib.error) as info:
        decode(m, png(ihdr(1, 1), IEND))
    assert info.value.args == host.value.args


# -- module names looked up at each call ---------------------------------------------------

def test_signature_is_looked_up(m, monkeypatch):
    data = image(1, 1, bytes(4))
    monkeypatch.setattr(m, "PNG_SIGNATURE", data[:4])  # still selects PNG, but 8 bytes never equal 4
    raises_exact(ValueError, "Unsupported PNG signature", decode, m, data)


def test_chunk_reader_is_looked_up(m, monkeypatch):
    chunks = iter([ihdr(1, 1), (b"IDAT", zlib.compress(b"\0abc")), IEND])
    monkeypatch.setattr(m, "_readChunk", lambda stream: next(chunks))
    assert decode(m, png(b"whatever follows is never read"))[2] == b"abc"


def test_struct_is_looked_up(m, monkeypatch):
    formats = []

    def unpack(fmt, data):
        formats.append(fmt)
        return (2, 1, 8, 2, 0, 0, 0)
    monkeypatch.setattr(m, "struct", types.SimpleNamespace(unpack=unpack, pack=struct.pack))
    assert decode(m, image(1, 1, b"\0abcdef"))[:3] == (2, 1, b"abcdef")
    assert formats == [">IIBBBBB"]


def test_zlib_is_looked_up(m, monkeypatch):
    def decompress(data):
        if data != b"two-part":
            raise KeyError(data)  # whatever the stand-in raises passes through
        return b"\0xyz"
    fake = types.SimpleNamespace(decompress=decompress, crc32=zlib.crc32, error=KeyError)
    monkeypatch.setattr(m, "zlib", fake)
    assert decode(m, image(1, 1, None, payload=b"two-part", sizes=[3]))[2] == b"xyz"
    pytest.raises(KeyError, decode, m, image(1, 1, b"\0xyz"))


# -- memory stays bounded (fresh host under a 1 GiB address-space limit) -------------------

NEEDS_CPYTHON = pytest.mark.skipif(IS_PYPY, reason="PyPy reserves more address space than the limit")
BOMB_MIB = 1152


@pytest.fixture(scope="module")
def bombs(tmp_path_factory):
    """Zeros past the limit in ~1 MB: full flushes make each compressed MiB identical, so one
    block is repeated. Just over 1 GiB, as inflating (even into scratch) costs ~2 s per GiB."""
    c = zlib.compressobj(9)
    head = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_FULL_FLUSH)
    block = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_FULL_FLUSH)
    body = head + block * (BOMB_MIB - 1) + b"\x03\x00"  # then an empty final block
    adler = ((BOMB_MIB << 20) % 65521) << 16 | 1  # Adler-32 of zeros only
    paths = {"valid": adler, "bad-adler": adler ^ 1}
    for name, check in paths.items():
        paths[name] = tmp_path_factory.mktemp("bomb") / "bomb.png"
        paths[name].write_bytes(image(1, 1, None, payload=body + struct.pack(">I", check)))
    return paths


@NEEDS_CPYTHON
@pytest.mark.address_space_limit
@pytest.mark.parametrize("name, outcome", [
    ("valid", "ValueError " + MALFORMED),
    ("bad-adler", "error Error -3 while decompressing data: incorrect data check"),
])
def test_zlib_bomb_is_refused_in_bounded_memory(bombs, name, outcome):
    code = f"f = open({str(bombs[name])!r}, 'rb')\nresult = lambda: m.SimpleImage._streamToImage(f)"
    assert run_limited(code) == outcome


@pytest.mark.address_space_limit
@NEEDS_CPYTHON
def test_widest_empty_image_allocates_no_row():
    data = image(2**31 - 1, 0, b"")
    code = f"r = m.SimpleImage._streamToImage(io.BytesIO({data!r}))\nresult = lambda: r[:3] + r[4::3]"
    assert run_limited(code) == f"ok ({2**31 - 1}, 0, bytearray(b''), None, bytearray(b''))"


# -- agreement with an independent decoder ------------------------------------------------

@pytest.fixture(scope="module")
def Image():
    return pytest.importorskip("PIL.Image")


def pillow_png(Image, im, optimize=True):
    info = pytest.importorskip("PIL.PngImagePlugin").PngInfo()
    info.add_text("Comment", "kept")
    out = io.BytesIO()
    im.save(out, "PNG", optimize=optimize, pnginfo=info, dpi=(96, 96))
    return out.getvalue()


def textured(Image, mode, width, height):
    """Noisy, smooth and flat rows, so that the encoder picks several filter types."""
    rng, k = random.Random(width * height), len(mode)
    rows = [random_rows(rng, width, 1, k)[0] if y % 3 == 0 else
            bytes((i // k * 5 + i % k * 40) % 256 for i in range(width * k)) if y % 3 == 1 else
            bytes((y * 9 + i % k) % 256 for i in range(width * k)) for y in range(height)]
    return Image.frombytes(mode, (width, height), b"".join(rows))


@pytest.mark.parametrize("mode, width, height", [
    ("RGB", 17, 9), ("RGBA", 13, 11), ("RGB", 1, 7), ("RGBA", 7, 1), ("RGB", 9, 1), ("RGBA", 1, 5),
])
@pytest.mark.parametrize("sizes", [None, [1, 7, 50]], ids=["pillow-idat", "rechunked"])
def test_agrees_with_pillow(m, Image, mode, width, height, sizes):
    data = pillow_png(Image, textured(Image, mode, width, height))
    data = rechunk(data, sizes) if sizes else data
    theirs = Image.open(io.BytesIO(data))
    w, h, pixels, channels, alpha, chunks, _, filters = decode(m, data)
    assert (w, h, channels, len(filters)) == (width, height, len(mode), height)
    assert pixels == theirs.convert("RGB").tobytes()
    assert alpha == (theirs.getchannel("A").tobytes() if mode == "RGBA" else None)
    assert chunks == [(t, None if t == b"IDAT" else d, len(d)) for t, d in parse(data)]
    assert len(set(filters)) > 1 or height == 1  # more than one filter type was exercised


def interlaced(data):
    return png(*[(t, d[:12] + b"\x01" if t == b"IHDR" else d) for t, d in parse(data)])


@pytest.mark.parametrize("mode, change, message", [
    ("P", None, ONLY_RGB), ("L", None, ONLY_RGB), ("LA", None, ONLY_RGB),
    ("I;16", None, ONLY_8), ("RGB", interlaced, CONFIG), ("RGBA", interlaced, CONFIG),
])
def test_pillow_files_outside_the_family(m, Image, mode, change, message):
    im = Image.new(mode, (3, 2))
    if mode == "P":
        im.putpalette(bytes(768))  # a full palette keeps 8 bits per index
    data = pillow_png(Image, im, optimize=False)
    raises_exact(ValueError, message, decode, m, change(data) if change else data)
