"""The BMP decoder, reached through SimpleImage._streamToImage."""
import io
import random
import struct
import subprocess
import sys

import pytest

from bmptools import Recorder, bmp, stride
from conftest import IS_PYPY, ROOT, raises_exact, ramp

HEADER = "Unsupported BMP header"
DIB = "Corrupted BMP DIB header"
INFO = "Only BITMAPINFOHEADER BMP files are supported"
DEPTH = "Only uncompressed 24-bit BMP files are supported"
WIDTH = "Invalid BMP width"
SHORT = "Incomplete BMP pixel data"
KEYS = ["xppm", "yppm", "clrUsed", "clrImportant"]


def decode(SI, data):
    return SI._streamToImage(io.BytesIO(data))


class LyingSignature(io.BytesIO):
    """Shows "BM" to the format check only, so the decoder's own signature test is reached."""

    def read(self, n=-1):
        if not getattr(self, "asked", False):
            self.asked = True
            return b"BM" + bytes(6)
        return super().read(n)


def test_two_by_two_stored_rows_land_top_first(SI):
    stored = bytes([1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE])
    top_first = bytes([9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4])
    assert decode(SI, bmp(2, 2, raw=stored))[:3] == (2, 2, top_first)
    flipped = stored[8:] + stored[:8]
    assert decode(SI, bmp(2, -2, raw=flipped))[:3] == (2, 2, top_first)


@pytest.mark.parametrize("height", [3, -3])
@pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
def test_rows_and_padding(SI, width, height):
    data = bmp(width, height, ramp(width * 9))
    assert len(data) == 54 + 3 * stride(width)
    w, h, pixels, channels, alpha, chunks, meta, filters = decode(SI, data)
    assert (w, h, channels, alpha, chunks, filters) == (width, 3, 3, None, None, None)
    assert type(pixels) is bytearray and pixels == ramp(width * 9)
    assert type(meta) is dict and list(meta) == KEYS
    # One byte short of the last row: the stride is the full padded one.
    raises_exact(ValueError, SHORT, decode, SI, data[:-1])


@pytest.mark.parametrize("how", ["path", "bytes", "bytearray"])
def test_a_header_claiming_more_than_memory_holds_is_short_data(SI, tmp_path, how):
    data = bmp(0x7F000002, 0x7FFFFFFF, raw=bytes(24))
    (tmp_path / "huge.bmp").write_bytes(data)
    source = {"path": str(tmp_path / "huge.bmp"), "bytes": data, "bytearray": bytearray(data)}[how]
    raises_exact(ValueError, SHORT, SI.open, source)


@pytest.mark.parametrize("width, height", [(100, 300), (100, -300), (800000, 2), (800000, -2)])
def test_large_rows_and_images(SI, width, height):
    rgb = random.Random(width).randbytes(width * abs(height) * 3)
    data = bmp(width, height, rgb)
    assert decode(SI, data)[2] == rgb
    raises_exact(ValueError, SHORT, decode, SI, data[:-1])


def test_metadata_record(SI):
    data = bmp(1, 1, b"abc", xppm=-1, yppm=-2**31, clr_used=2**32 - 1, clr_important=2**31,
               file_size=0xFFFFFFFF, reserved1=0xFFFF, reserved2=1, image_size=7)
    width, height, pixels, _, _, _, meta, _ = decode(SI, data)
    assert (width, height, pixels) == (1, 1, b"abc")
    assert list(meta.items()) == [("xppm", -1), ("yppm", -2**31), ("clrUsed", 2**32 - 1),
                                  ("clrImportant", 2**31)]


@pytest.mark.parametrize("offset", [0, 7, 30])
def test_pixel_offset_inside_headers(SI, offset):
    data = bmp(2, 1, b"\x11" * 6, offset=offset)
    first = data[offset:offset + 6]
    assert decode(SI, data)[2] == first[2::-1] + first[5:2:-1]


@pytest.mark.parametrize("data, exc, message", [
    (b"BM" + bytes(11), ValueError, HEADER),
    (b"BM" + bytes(12), ValueError, DIB),
    (bmp(1, 1)[:17], ValueError, DIB),
    (bmp(1, 1, header_size=124)[:18], ValueError, INFO),
    (bmp(1, 1, header_size=124, planes=2), ValueError, INFO),
    (bmp(1, 1)[:18], struct.error, None),
    (bmp(1, 1)[:53], struct.error, None),
    (bmp(-1, 1, planes=2, raw=b""), ValueError, DEPTH),
    (bmp(1, 1, bpp=32, offset=10**6), ValueError, DEPTH),
    (bmp(-1, 1, raw=b"", offset=10**6), ValueError, WIDTH),
    (bmp(3, 2)[:-1], ValueError, SHORT),
    (bmp(3, 2, offset=54 + 24), ValueError, SHORT),
    (bmp(3, 2, offset=2**32 - 1), ValueError, SHORT),
], ids=["13-bytes", "no-size", "3-size-bytes", "size-then-nothing", "size-before-planes",
        "size-only", "info-35", "planes-before-width", "depth-before-seek", "width-before-seek",
        "last-row-cut", "offset-at-end", "offset-huge"])
def test_failures_in_check_order(SI, data, exc, message):
    if message is None:
        with pytest.raises(exc):
            decode(SI, data)
    else:
        raises_exact(exc, message, decode, SI, data)


def test_decoder_checks_its_own_signature(SI):
    raises_exact(ValueError, HEADER, SI._streamToImage, LyingSignature(b"BX" + bytes(60)))


@pytest.mark.parametrize("field, values", [
    ("header_size", [0, 12, 39, 41, 108, 124]),
    ("planes", [0, 2, 0xFFFF]),
    ("bpp", [1, 8, 16, 32]),
    ("compression", [1, 2, 3]),
])
def test_refused_variants(SI, field, values):
    for value in values:
        raises_exact(ValueError, INFO if field == "header_size" else DEPTH,
                     decode, SI, bmp(2, 2, **{field: value}))


@pytest.mark.parametrize("height", [0, 1, -1, 2147483647])
def test_negative_width_refused_before_seeking(SI, height):
    stream = Recorder(bmp(-2, height, raw=b""))
    raises_exact(ValueError, WIDTH, SI._streamToImage, stream)
    assert stream.calls[-1] == ("read", 36) and not any(c[0] == "seek" for c in stream.calls[3:])


@pytest.mark.parametrize("width, height, gap, offset, row_reads", [
    (2, 3, 8, None, [("read", 8)] * 3),
    (5, -1, 0, None, [("read", 16)]),
    (0, 3, 0, None, []),
    (3, 0, 0, 10**9, []),
])
def test_reads_and_seeks(SI, width, height, gap, offset, row_reads):
    rgb = ramp(abs(width * height) * 3)
    offset = offset or 54 + gap
    stream = Recorder(bmp(width, height, rgb, gap=bytes(gap), offset=offset) + b"trailing")
    stream.seek(9)
    stream.calls.clear()
    assert SI._streamToImage(stream=stream)[:3] == (width, abs(height), rgb)
    assert stream.calls == [("seek", 0), ("read", 8), ("seek", 0), ("read", 14), ("read", 4),
                            ("read", 36), ("seek", offset)] + row_reads
    if row_reads:
        assert stream.read() == b"trailing"


class FewReads(io.BytesIO):
    """Fails instead of hanging if rows of width 0 were read one by one."""

    reads = 0

    def read(self, n=-1):
        self.reads += 1
        assert self.reads < 16, "rows of width 0 were read"
        return super().read(n)


def test_zero_width_rows_are_never_read(SI, capsys):
    data = bmp(0, 2147483647, raw=b"")
    assert SI._streamToImage(FewReads(data))[:3] == (0, 2147483647, bytearray())
    img = SI.open(data)
    assert img.size == (0, 2147483647) and img._pixels == b""
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 0x2147483647, channels=3\n"


MEMORY_PROBE = r"""
import os, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
from Vextaro.simpleImage_ext import SimpleImage
for path in sys.argv[1:]:
    for source in (open(path, "rb").read(), path):
        try:
            SimpleImage.open(source)
        except Exception as e:
            print(type(e).__name__, e)
"""


@pytest.mark.skipif(IS_PYPY, reason="address-space limit is for CPython's allocator")
@pytest.mark.address_space_limit
def test_memory_follows_delivered_data(tmp_path):
    paths = []
    for n, data in enumerate([bmp(40000, 40000, raw=bytes(6)), bmp(40000, -40000, raw=bytes(6)),
                              bmp(2147483647, 1, raw=bytes(500))]):
        paths.append(tmp_path / f"claim{n}.bmp")
        paths[-1].write_bytes(data)
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, *map(str, paths)], cwd=ROOT,
                         capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == ["ValueError " + SHORT] * 6, out.stderr


# -- an independent reader ------------------------------------------------------

@pytest.fixture
def PIL():
    return pytest.importorskip("PIL.Image")


@pytest.mark.parametrize("width, height", [(1, 1), (3, 2), (5, 7), (7, 3), (13, 5)])
def test_pillow_written_files(SI, PIL, width, height):
    rgb = random.Random(width).randbytes(width * height * 3)
    out = io.BytesIO()
    PIL.frombytes("RGB", (width, height), rgb).save(out, "BMP")
    assert decode(SI, out.getvalue())[:3] == (width, height, rgb)


@pytest.mark.parametrize("mode", ["RGBA", "P", "L", "1"])
def test_pillow_other_depths_refused(SI, PIL, mode):
    out = io.BytesIO()
    PIL.new(mode, (3, 2)).save(out, "BMP")
    raises_exact(ValueError, DEPTH, decode, SI, out.getvalue())


@pytest.mark.parametrize("height", [4, -4])
def test_builder_agrees_with_pillow(SI, PIL, height):
    data = bmp(3, height, ramp(36), gap=bytes(16))
    assert PIL.open(io.BytesIO(data)).convert("RGB").tobytes() == ramp(36) == decode(SI, data)[2]
