"""SimpleImage.open and the format dispatch of _streamToImage."""
import builtins
import io
import pathlib
import struct
import zlib

import pytest

from bmptools import bmp
from conftest import raises_exact, ramp

SIG = bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
UNSUPPORTED = "Unsupported image format"
BAD_SOURCE = "source must be a file path or raw bytes"
BMP = bmp(2, 3, ramp(18), xppm=-5, clr_used=9)
LINE = "[SimpleImage] Opened image: 2x3, channels=3\n"


def png(width, height, channels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = width * channels
    raw = b"".join(b"\0" + ramp(row) for _ in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2 if channels == 3 else 6, 0, 0, 0)
    return SIG + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


@pytest.fixture
def bmp_path(tmp_path):
    path = tmp_path / "image.bmp"
    path.write_bytes(BMP)
    return path


class Text(str):
    pass


class Raw(bytes):
    pass


def check_bmp_image(img, cls):
    assert type(img) is cls and img.size == (2, 3)
    assert type(img._pixels) is bytearray and img._pixels == ramp(18)
    assert img._bmp_header == {"xppm": -5, "yppm": 2835, "clrUsed": 9, "clrImportant": 0}
    assert (img._alpha, img._png_chunks, img._png_filters) == (None, None, None)


@pytest.mark.parametrize("make", [str, pathlib.Path, Text, lambda p: p.read_bytes(),
                                  lambda p: bytearray(p.read_bytes()), lambda p: Raw(p.read_bytes())],
                         ids=["str", "Path", "str-subclass", "bytes", "bytearray", "bytes-subclass"])
def test_sources(SI, bmp_path, capsys, make):
    check_bmp_image(SI.open(source=make(bmp_path)), SI)
    assert capsys.readouterr().out == LINE


def test_image_returned_unchanged(SI, capsys):
    class Sub(SI):
        pass
    for img in (SI(1, 1, b"abc"), Sub(1, 1, b"abc")):
        assert SI.open(img) is img and Sub.open(img) is img
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("source", [memoryview(BMP), None, 3, [66, 77], io.BytesIO(BMP)])
def test_other_sources_refused(SI, capsys, source):
    raises_exact(TypeError, BAD_SOURCE, SI.open, source)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data, exc, message", [
    (b"", ValueError, UNSUPPORTED),
    (b"B", ValueError, UNSUPPORTED),
    (SIG[:7], ValueError, UNSUPPORTED),
    (SIG[:7] + b"\x00" + png(1, 1, 3)[8:], ValueError, UNSUPPORTED),
    (b"MB" + BMP[2:], ValueError, UNSUPPORTED),
    (b"BM", ValueError, "Unsupported BMP header"),
    (b"BM" + bytes(12), ValueError, "Corrupted BMP DIB header"),
    (BMP[:30], struct.error, None),
    (BMP[:-1], ValueError, "Incomplete BMP pixel data"),
    (bmp(1, 1, raw=b""), ValueError, "Incomplete BMP pixel data"),
])
@pytest.mark.parametrize("as_file", [False, True])
def test_failures_print_nothing(SI, tmp_path, capsys, data, exc, message, as_file):
    source = data
    if as_file:
        source = tmp_path / "x.png"
        source.write_bytes(data)
    with pytest.raises(exc) as info:
        SI.open(source)
    assert message is None or (type(info.value), info.value.args) == (exc, (message,))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("channels", [3, 4])
def test_png_content_decides_not_the_name(SI, tmp_path, capsys, channels):
    path = tmp_path / "looks_like.bmp"
    path.write_bytes(png(3, 2, channels))
    img = SI.open(path)
    assert img.size == (3, 2) and (img._alpha is None) == (channels == 3)
    assert capsys.readouterr().out == f"[SimpleImage] Opened image: 3x2, channels={channels}\n"


def test_missing_file(SI, tmp_path, capsys):
    with pytest.raises(FileNotFoundError):
        SI.open(str(tmp_path / "absent.bmp"))
    assert capsys.readouterr().out == ""


def test_detection_from_position_zero(SI):
    stream = io.BytesIO(BMP)
    stream.seek(20)
    assert SI._streamToImage(stream)[:3] == (2, 3, ramp(18))
    shifted = io.BytesIO(b"xx" + BMP)
    shifted.seek(2)
    raises_exact(ValueError, UNSUPPORTED, SI._streamToImage, shifted)


# -- subclasses -------------------------------------------------------------------

def make_subclass(SI, decoded=None, fail=None):
    class Sub(SI):
        streams, inits = [], []

        def __init__(self, *args, **kwargs):
            Sub.inits.append((args, kwargs))

        @staticmethod
        def _streamToImage(stream):
            Sub.streams.append(stream)
            if fail:
                raise fail
            return decoded or SI._streamToImage(stream)
    return Sub


def test_subclass_sees_the_decoders_values(SI, bmp_path, capsys):
    Sub = make_subclass(SI)
    img = Sub.open(bmp_path)
    check_bmp_image(img, Sub)
    (args, kwargs), = Sub.inits
    assert kwargs == {} and args[:2] == (2, 3) and type(args[2]) is bytearray and args[2] == ramp(18)
    assert args[3:] == (None, None, img._bmp_header, None) and type(args[5]) is dict
    assert Sub.streams[0].closed and capsys.readouterr().out == LINE


def test_overridden_decoder_is_used(SI, capsys):
    meta = {"k": 1}
    Sub = make_subclass(SI, decoded=(1, 1, b"\x01\x02\x03", 7, b"\x09", [("x",)], meta, b"\x04"))
    img = Sub.open(b"no known format")
    assert Sub.inits == [((1, 1, b"\x01\x02\x03", b"\x09", [("x",)], meta, b"\x04"), {})]
    assert (img._pixels, img._alpha, img._png_chunks, img._bmp_header, img._png_filters) == (
        b"\x01\x02\x03", b"\x09", [("x",)], meta, b"\x04")
    assert Sub.streams[0].getvalue() == b"no known format"
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 1x1, channels=7\n"


@pytest.mark.parametrize("data, decoded, fail, exc", [
    (BMP, None, None, None),
    (BMP[:-1], None, None, ValueError),
    (BMP, None, KeyError("mine"), KeyError),
    (BMP, (2, 2, b"abc", 3, None, None, None, None), None, ValueError),
], ids=["success", "decoder-error", "hook-error", "constructor-error"])
def test_file_closed_on_every_path(SI, tmp_path, capsys, data, decoded, fail, exc):
    path = tmp_path / "f.bmp"
    path.write_bytes(data)
    Sub = make_subclass(SI, decoded, fail)
    if exc is None:
        Sub.open(str(path))
    else:
        with pytest.raises(exc) as info:
            Sub.open(str(path))
        assert fail is None or info.value is fail
    stream, = Sub.streams
    assert stream.closed and stream.name == str(path)
    assert capsys.readouterr().out == ("" if exc else LINE)


def test_print_and_open_are_captured_at_import(m, SI, bmp_path, capsys, monkeypatch):
    calls = []
    for owner in (builtins, m):
        for name in ("print", "open"):
            monkeypatch.setattr(owner, name, lambda *a, **k: calls.append(a), raising=False)
    check_bmp_image(SI.open(str(bmp_path)), SI)
    assert calls == [] and capsys.readouterr().out == LINE


def test_namespace_names_looked_up_per_call(m, SI, bmp_path, monkeypatch):
    made = []

    class Spy(io.BytesIO):
        def __init__(self, data):
            made.append(data)
            super().__init__(data)
    monkeypatch.setattr(m, "BytesIO", Spy)
    check_bmp_image(SI.open(BMP), SI)
    assert made == [BMP] and type(made[0]) is bytes
    seen = []

    class Checked(type):
        def __instancecheck__(cls, obj):
            seen.append(type(obj))
            return False
    monkeypatch.setattr(m, "Path", Checked("Elsewhere", (), {}))
    raises_exact(TypeError, BAD_SOURCE, SI.open, bmp_path)
    assert SI.open(str(bmp_path)).size == (2, 3)
    assert SI.open(png(1, 1, 3)).size == (1, 1)
    assert seen == [type(bmp_path), bytes]
    monkeypatch.setattr(m, "PNG_SIGNATURE", SIG[:7] + b"\x0b")
    raises_exact(ValueError, UNSUPPORTED, SI.open, png(1, 1, 3))
