"""BMP writing: _writeBmp's file layout, metadata fields and failures."""
import array
import random
import struct

import pytest

from bmptools import bmp
from conftest import ramp


def header(path):
    return struct.unpack_from("<2sIHHIIIIHHIIIIII", path.read_bytes())


def test_one_pixel_known_file(m, tmp_path):
    path = tmp_path / "one.bmp"
    assert m._writeBmp(str(path), 1, 1, bytearray([1, 2, 3])) is None
    assert path.read_bytes() == (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
                                 + struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0) + b"\3\2\1\0")


@pytest.mark.parametrize("width, pad", [(4, 0), (5, 1), (6, 2), (7, 3), (1, 1), (2, 2), (3, 3)])
@pytest.mark.parametrize("height", [0, 1, 3])
def test_layout_and_padding(m, tmp_path, width, pad, height):
    path = tmp_path / "out.bmp"
    m._writeBmp(str(path), width, height, ramp(width * height * 3))
    data = path.read_bytes()
    assert data == bmp(width, height, ramp(width * height * 3), fill=0)
    assert len(data) == 54 + (width * 3 + pad) * height == header(path)[1]
    assert header(path)[11] == len(data) - 54


def test_bottom_row_first(m, tmp_path):
    path = tmp_path / "out.bmp"
    m._writeBmp(str(path), 1, 2, bytes([1, 2, 3, 4, 5, 6]))
    assert path.read_bytes()[54:] == bytes([6, 5, 4, 0, 3, 2, 1, 0])


@pytest.mark.parametrize("make", [bytes, list, memoryview, lambda b: array.array("B", b), lambda b: b + b"extra"])
def test_pixel_forms(m, tmp_path, make):
    m._writeBmp(str(tmp_path / "a"), 3, 2, make(ramp(18)))
    assert (tmp_path / "a").read_bytes() == bmp(3, 2, ramp(18), fill=0)


class Lookup:
    """Not a dict: only get(key, default) is offered."""

    def get(self, key, default):
        return {"yppm": 7}.get(key, default)


@pytest.mark.parametrize("meta, fields", [
    (None, (2835, 2835, 0, 0)), ({}, (2835, 2835, 0, 0)), ({"xppm": 3780}, (3780, 2835, 0, 0)),
    ({"xppm": 1, "yppm": 2, "clrUsed": 3, "clrImportant": 4294967295, "other": -1}, (1, 2, 3, 4294967295)),
    ({"xppm": "12", "yppm": 4.9, "clrUsed": True}, (12, 4, 1, 0)), (Lookup(), (2835, 7, 0, 0)),
    # Negative resolutions go out as their 32-bit two's complement.
    ({"xppm": -1, "yppm": -2147483648}, (0xFFFFFFFF, 0x80000000, 0, 0)),
    ({"xppm": 4294967295, "yppm": 2147483648}, (4294967295, 2147483648, 0, 0)),
])
def test_metadata_fields(m, tmp_path, meta, fields):
    path = tmp_path / "out.bmp"
    m._writeBmp(str(path), 2, 1, ramp(6), meta)
    assert header(path)[-4:] == fields


@pytest.mark.parametrize("xppm, yppm", [(-5, -2147483648), (-1, 2147483647), (0, -7)])
def test_negative_resolution_round_trip(SI, tmp_path, xppm, yppm):
    source = bmp(2, 3, ramp(18), fill=0, xppm=xppm, yppm=yppm, clr_used=9, clr_important=4)
    path = tmp_path / "out.bmp"
    SI.open(source).save(str(path))
    assert path.read_bytes() == source
    assert SI.open(str(path))._bmp_header == {"xppm": xppm, "yppm": yppm, "clrUsed": 9, "clrImportant": 4}


# (arguments that differ from a valid 2x2 call, exception)
FAILURES = [
    ({"meta": {"xppm": 2**32}}, struct.error), ({"meta": {"yppm": -2**31 - 1}}, struct.error),
    ({"meta": {"clrUsed": -1}}, struct.error), ({"meta": {"clrImportant": 2**32}}, struct.error),
    ({"meta": {"xppm": "x"}}, ValueError), ({"meta": {"yppm": None}}, TypeError), ({"meta": 5}, AttributeError),
    ({"width": -1, "height": 0, "pixels": b""}, struct.error), ({"height": -1, "pixels": b""}, struct.error),
    ({"width": 1431655765, "height": 1, "pixels": b""}, struct.error),  # the pixel array size reaches 2**32
    ({"width": 2**31 - 1, "height": 2, "pixels": b""}, struct.error),
    ({"pixels": bytes(11)}, IndexError), ({"pixels": b""}, IndexError),
    ({"pixels": [256] * 12}, ValueError), ({"pixels": "text"}, TypeError),
    ({"width": 2**31}, OverflowError), ({"height": "2"}, TypeError),
]


@pytest.mark.parametrize("existing", [False, True], ids=["absent", "existing"])
@pytest.mark.parametrize("change, exc", FAILURES)
def test_failures_leave_no_file(m, tmp_path, change, exc, existing):
    path = tmp_path / "out.bmp"
    if existing:
        path.write_bytes(b"keep me")
    args = dict(path=str(path), width=2, height=2, pixels=ramp(12), meta={"xppm": 1})
    args.update(change)
    with pytest.raises(exc) as info:
        m._writeBmp(**args)
    assert type(info.value) is exc
    assert (path.read_bytes() == b"keep me") if existing else not path.exists()


@pytest.mark.parametrize("width, height", [(1, 1), (2, 3), (5, 4), (7, 2), (13, 5)])
def test_pillow_reads_what_is_written(m, tmp_path, width, height):
    Image = pytest.importorskip("PIL.Image")
    rgb, path = random.Random(width).randbytes(width * height * 3), tmp_path / "out.bmp"
    m._writeBmp(str(path), width, height, rgb)
    with Image.open(path) as theirs:
        assert theirs.mode == "RGB" and theirs.size == (width, height) and theirs.tobytes() == rgb
