"""open(..., expand=True) on PNG files of every kind, against a decoder written here
from the PNG format: inflate, undo the filters, put Adam7's passes in place, scale."""
import random
import struct
import types
import zlib

import pytest

from conftest import raises_exact
from pngtools import SAMPLES, chunk, ihdr, parse, passes, png, predict, write

# Bit depths each colour type allows.
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
KINDS = [(colour, depth, interlace, trns)
         for colour, depths in DEPTHS.items() for depth in depths for interlace in (0, 1)
         for trns in ((False, True) if colour in (0, 2, 3) else (False,))]


# -- the oracle ---------------------------------------------------------------

def unpack(line, count, depth):
    if depth == 16:
        return [int.from_bytes(line[2 * i:2 * i + 2], "big") for i in range(count)]
    if depth == 8:
        return list(line[:count])
    per, mask = 8 // depth, (1 << depth) - 1
    return [(line[i // per] >> (8 - depth * (i % per + 1))) & mask for i in range(count)]


def oracle(data):
    """(width, height, rgb, alpha or None) from a PNG's bytes, straight from the format."""
    chunks = parse(data)
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    palette = next((d for t, d in chunks if t == b"PLTE"), None)
    trns = next((d for t, d in chunks if t == b"tRNS"), None)
    raw = zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT"))
    n = SAMPLES[colour]
    bpp = max(1, n * depth // 8)
    samples = [[None] * width for _ in range(height)]
    at = 0
    for x0, y0, dx, dy, cols, rows in passes(width, height, interlace):
        if cols == 0 or rows == 0:
            continue
        size = (cols * n * depth + 7) // 8
        above = bytes(size)
        for r in range(rows):
            kind, line = raw[at], bytearray(raw[at + 1:at + 1 + size])
            at += 1 + size
            for i in range(size):
                line[i] = (line[i] + predict(kind, line[i - bpp] if i >= bpp else 0, above[i],
                                             above[i - bpp] if i >= bpp else 0)) % 256
            values = unpack(line, cols * n, depth)
            for c in range(cols):
                samples[y0 + r * dy][x0 + c * dx] = tuple(values[c * n:(c + 1) * n])
            above = line
    assert at == len(raw)
    to8 = (lambda v: v >> 8) if depth == 16 else (lambda v: v * 255 // ((1 << depth) - 1))
    rgb, alpha = bytearray(), bytearray()
    for row in samples:
        for s in row:
            if colour == 3:
                rgb += palette[3 * s[0]:3 * s[0] + 3]
                alpha.append(trns[s[0]] if trns and s[0] < len(trns) else 255)
            else:
                rgb += bytes(to8(v) for v in (s[:3] if colour in (2, 6) else s[:1] * 3))
                if colour in (4, 6):
                    alpha.append(to8(s[-1]))
                else:
                    key = struct.unpack(f">{n}H", trns) if trns else None
                    alpha.append(0 if s == key else 255)
    has_alpha = colour in (4, 6) or trns is not None
    return width, height, bytes(rgb), bytes(alpha) if has_alpha else None, samples


def sample_set(colour, depth, rnd):
    """The values a sample draws from: few, so that a tRNS key matches some pixels, and at 16
    bits sharing a high byte with the key, so that only a full comparison tells them apart."""
    top = (1 << depth) - 1
    if depth == 16:
        return [0x1234, 0x12FF, 0xABCD, 0xAB00, 0, top]
    return sorted({0, top, rnd.randint(0, top), rnd.randint(0, top)})


def kind_file(colour, depth, interlace, trns, width, rnd):
    height = 1 + (width * 5) % 11
    extra = []
    if colour == 3:
        entries = rnd.randint(1, 1 << depth)
        extra.append((b"PLTE", bytes(rnd.randrange(256) for _ in range(3 * entries))))
        if trns:
            # Shorter than the palette where it can be: entries past the list are opaque.
            extra.append((b"tRNS", bytes(rnd.randrange(256) for _ in range(rnd.randint(1, entries)))))
        pixels = [[(rnd.randrange(entries),) for _ in range(width)] for _ in range(height)]
    else:
        values = sample_set(colour, depth, rnd)
        pixels = [[tuple(rnd.choice(values) for _ in range(SAMPLES[colour])) for _ in range(width)]
                  for _ in range(height)]
        if trns:
            extra.append((b"tRNS", struct.pack(f">{SAMPLES[colour]}H", *pixels[0][0])))
    return write(colour, depth, interlace, width, height, pixels, extra, rnd), pixels


@pytest.mark.parametrize("colour, depth, interlace, trns", KINDS,
                         ids=[f"c{c}-d{d}-i{i}{'-trns' if t else ''}" for c, d, i, t in KINDS])
def test_every_kind_matches_the_oracle(SI, capsys, colour, depth, interlace, trns):
    from Vextaro.filters import filter_types_portable

    rnd = random.Random(f"{colour}{depth}{interlace}{trns}")
    for width in range(1, 34):
        data, pixels = kind_file(colour, depth, interlace, trns, width, rnd)
        image = SI.open(data, expand=True)
        if (colour, depth, interlace) in ((2, 8, 0), (6, 8, 0)):
            # A kind read without expand is read as it always was (a tRNS chunk ignored).
            plain = SI.open(data)
            assert (image._pixels, image._alpha, image._png_filters) == (plain._pixels, plain._alpha,
                                                                        plain._png_filters)
            continue
        w, h, rgb, alpha, samples = oracle(data)
        assert samples == pixels, width  # the oracle reads back what was written
        assert (image.width, image.height) == (w, h)
        assert (bytes(image._pixels), image._alpha and bytes(image._alpha)) == (rgb, alpha), width
        assert image._png_filters == filter_types_portable(image), width
        channels = 3 if alpha is None else 4
        assert capsys.readouterr().out.splitlines()[-1] == f"[SimpleImage] Opened image: {w}x{h}, channels={channels}"


@pytest.mark.parametrize("source", ["bytes", "path"])
def test_kinds_read_today_open_as_without_expand(SI, tmp_path, source):
    rnd = random.Random(7)
    for colour in (2, 6):
        pixels = [[tuple(rnd.randrange(256) for _ in range(SAMPLES[colour])) for _ in range(9)] for _ in range(5)]
        data = write(colour, 8, 0, 9, 5, pixels, [(b"PLTE", b"\1\2\3"), (b"bKGD", b"\0\1\0\2\0\3")], rnd)
        (tmp_path / "a.png").write_bytes(data)
        arg = data if source == "bytes" else str(tmp_path / "a.png")
        plain, expanded = SI.open(arg), SI.open(arg, expand=True)
        for field in ("width", "height", "_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header"):
            assert getattr(expanded, field) == getattr(plain, field), field


def test_chunk_list_keeps_what_still_describes_the_pixels(SI, tmp_path):
    rnd = random.Random(3)
    pixels = [[(rnd.randrange(2),) for _ in range(10)] for _ in range(4)]
    before = [(b"gAMA", b"\0\0\xb1\x8f"), (b"PLTE", b"\0\0\0\xff\xff\xff"), (b"sBIT", b"\1\1\1"),
              (b"tRNS", b"\0"), (b"bKGD", b"\0"), (b"hIST", b"\0\1\0\1"), (b"prVt", b"kept"), (b"prVT", b"not"),
              (b"tEXt", b"Title\0x"), (b"iCCP", b"p\0\0xx")]
    data = write(3, 1, 1, 10, 4, pixels, before, rnd)
    data = data[:-12] + chunk(b"tIME", b"\7\xea\1\2\3\4\5") + data[-12:]
    image = SI.open(data, expand=True)
    kept = [(t, d) for t, d, _ in image._png_chunks]
    idat = next(d for t, d in parse(data) if t == b"IDAT")
    assert kept == [(b"IHDR", parse(data)[0][1]), (b"gAMA", b"\0\0\xb1\x8f"), (b"prVt", b"kept"),
                    (b"tEXt", b"Title\0x"), (b"iCCP", b"p\0\0xx"), (b"IDAT", None), (b"tIME", b"\7\xea\1\2\3\4\5"),
                    (b"IEND", b"")]
    assert image._png_chunks[5][2] == len(idat)
    # Saved, it is a plain 8-bit RGBA PNG with the same pixels, that opens without expand.
    image.save(str(tmp_path / "out.png"))
    saved = (tmp_path / "out.png").read_bytes()
    assert parse(saved)[0][1][8:] == bytes([8, 6, 0, 0, 0])
    again = SI.open(saved)
    assert (again._pixels, again._alpha) == (image._pixels, image._alpha)
    assert [t for t, _ in parse(saved)] == [t for t, _ in kept]


def broken(colour=3, depth=8, interlace=0, extra=((b"PLTE", b"\0\0\0\xff\xff\xff"),), rows=b"\0\1\0"):
    return png(ihdr(2, 1, colour, depth, interlace=interlace), *extra, (b"IDAT", zlib.compress(rows)),
               (b"IEND", b""))


@pytest.mark.parametrize("data, message", [
    (broken(extra=()), "Missing PNG palette (PLTE)"),
    (broken(extra=[(b"PLTE", b"\0\0\0\1")]), "Malformed PNG palette (PLTE)"),
    (broken(extra=[(b"PLTE", bytes(771))]), "Malformed PNG palette (PLTE)"),
    (broken(rows=b"\0\1\2"), "PNG palette index out of range"),
    (broken(depth=1, extra=[(b"PLTE", b"\0\0\0")], rows=b"\0\x40"), "PNG palette index out of range"),
    (broken(colour=0, extra=[(b"tRNS", b"\0")]), "Malformed PNG transparency (tRNS)"),
    (broken(colour=2, depth=16, extra=[(b"tRNS", b"\0\0")], rows=bytes(13)), "Malformed PNG transparency (tRNS)"),
    (broken(extra=[(b"PLTE", b"\0\0\0\1\1\1"), (b"tRNS", bytes(257))]), "Malformed PNG transparency (tRNS)"),
    (broken(colour=2, depth=4), "Invalid PNG bit depth for its colour type"),
    (broken(colour=3, depth=16), "Invalid PNG bit depth for its colour type"),
    (broken(colour=5), "Invalid PNG bit depth for its colour type"),
    (broken(interlace=2), "Unsupported PNG configuration (compression/filter/interlace)"),
    (broken(rows=b"\0\1"), "Malformed PNG image data"),
    (broken(colour=0, depth=1, interlace=1, rows=b"\0\0\5\0"), "Unsupported PNG filter: 5"),
    (broken()[:-14], "Unexpected EOF while reading chunk CRC"),
    (png((b"PLTE", b"\0\0\0"), (b"IEND", b"")), "Incomplete PNG header information"),
], ids=lambda v: v if isinstance(v, str) else "file")
def test_bad_files_raise_fixed_messages(SI, data, message):
    raises_exact(ValueError, message, SI.open, data, expand=True)


@pytest.mark.parametrize("colour, depth, message", [
    (3, 8, "Only RGB/RGBA PNG images are supported"),
    (0, 16, "Only 8-bit PNG images are supported"),
])
def test_default_open_refuses_as_before(SI, colour, depth, message):
    rnd = random.Random(1)
    data, _ = kind_file(colour, depth, 0, False, 4, rnd)
    raises_exact(ValueError, message, SI.open, data)
    raises_exact(ValueError, message, SI.open, data, expand=False)


@pytest.mark.parametrize("value", [1, None, "yes"])
def test_expand_is_a_flag(SI, value):
    raises_exact(TypeError, f"expand must be True or False, not {type(value).__name__}", SI.open, b"", expand=value)
    assert SI.open.__kwdefaults__ == {"expand": False}


@pytest.mark.parametrize("hook", ["zlib", "struct", "decoder"])
def test_callers_hooks_are_honoured(SI, m, monkeypatch, capsys, hook):
    """A rebound zlib or struct, or a subclass's own decoder, sees an expanded open as any other."""
    rnd = random.Random(9)
    data, _ = kind_file(0, 4, 1, True, 11, rnd)
    calls = []
    cls = SI
    if hook == "zlib":
        monkeypatch.setattr(m, "zlib", types.SimpleNamespace(
            decompress=lambda d: calls.append(len(d)) or zlib.decompress(d), crc32=zlib.crc32, error=zlib.error))
    elif hook == "struct":
        monkeypatch.setattr(m, "struct", types.SimpleNamespace(
            unpack=lambda f, d: calls.append(f) or struct.unpack(f, d), pack=struct.pack))
    else:
        class Sub(SI):
            @staticmethod
            def _streamToImage(stream, **kwargs):
                calls.append(kwargs)
                return SI._streamToImage(stream, **kwargs)
        cls = Sub
    image = cls.open(data, expand=True)
    w, h, rgb, alpha, _ = oracle(data)
    assert (type(image), image._pixels, image._alpha) == (cls, rgb, alpha)
    assert calls == {"zlib": [len(parse(data)[2][1])], "struct": [">IIBBBBB"], "decoder": [{"expand": True}]}[hook]
    assert capsys.readouterr().out == f"[SimpleImage] Opened image: {w}x{h}, channels=4\n"
