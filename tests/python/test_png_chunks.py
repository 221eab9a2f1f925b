"""Chunk framing: _makeChunk and _readChunk."""
import io
import types

import pytest

from conftest import IS_PYPY, raises_exact
from pngtools import Recorder, chunk, run_limited

MIB = 1 << 20
EOF_DATA = "Unexpected EOF while reading chunk data"
CORRUPT = "Corrupted PNG chunk detected"
FRAME = chunk(b"tEXt", b"abc")


@pytest.mark.parametrize("ctype, data", [
    (b"IEND", b""), (b"IHDR", bytes(range(13))), (b"tEXt", bytes(range(256)) * 40),
    (b"ab", b"xy"), (b"\x00\xff\x01\x80", b"\x00"),  # types are copied as given
])
def test_make_chunk_frames_and_reads_back(m, ctype, data):
    framed = m._makeChunk(ctype, data)
    assert type(framed) is bytes and framed == chunk(ctype, data)
    assert len(ctype) != 4 or m._readChunk(io.BytesIO(framed)) == (ctype, data)


def test_iend_known_frame(m):
    assert m._makeChunk(b"IEND", b"") == bytes.fromhex("0000000049454E44AE426082")


class Bytes(bytes):
    pass


@pytest.mark.parametrize("bad, got", [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"),
                                      (None, "NoneType")])
@pytest.mark.parametrize("position, name", [(0, "chunkType"), (1, "data")])
def test_make_chunk_wants_exact_bytes(m, bad, got, position, name):
    args = [b"IEND", b""]
    args[position] = bad
    raises_exact(TypeError, f"Argument '{name}' has incorrect type (expected bytes, got {got})",
                 m._makeChunk, *args)
    with pytest.raises(TypeError, match="'chunkType'"):  # the type is checked first
        m._makeChunk(Bytes(b"IEND"), bad)


def test_reads_exactly_one_frame_per_call(m):
    stream = Recorder(chunk(b"IHDR", b"abc") + chunk(b"IEND", b""))
    assert m._readChunk(stream) == (b"IHDR", b"abc") and stream.tell() == 15
    assert m._readChunk(stream=stream) == (b"IEND", b"")
    assert m._readChunk(stream) == (b"", b"")
    assert stream.log == [(4, 4), (4, 4), (3, 3), (4, 4), (4, 4), (4, 4), (0, 0), (4, 4), (4, 0)]


@pytest.mark.parametrize("size", range(len(FRAME) + 1))
def test_truncated_frame(m, size):
    stream = io.BytesIO(FRAME[:size])
    if size in (0, len(FRAME)):
        assert m._readChunk(stream) == ((b"tEXt", b"abc") if size else (b"", b""))
    else:
        field = "length" if size < 4 else "type" if size < 8 else "data" if size < 11 else "CRC"
        raises_exact(ValueError, f"Unexpected EOF while reading chunk {field}", m._readChunk, stream)


@pytest.mark.parametrize("at", range(len(FRAME)))
def test_flipped_bit(m, at):
    damaged = bytearray(FRAME + bytes(8))  # padding from which a longer length could be served
    damaged[at] ^= 0x01
    with pytest.raises(ValueError) as info:
        m._readChunk(io.BytesIO(bytes(damaged)))
    # A damaged length moves the frame; anything else is caught by the CRC.
    assert info.value.args[0] in ({EOF_DATA, CORRUPT} if at < 4 else {CORRUPT})


def test_length_beyond_the_stream_is_eof_even_if_bytes_remain(m):
    frame = b"\x00\x00\x00\x0aIEND" + bytes(8)  # a length of 4 would have fitted
    raises_exact(ValueError, EOF_DATA, m._readChunk, io.BytesIO(frame))


@pytest.mark.parametrize("declared", [3 * MIB + 5, 0xFFFFFFFF])
def test_large_data_is_read_in_growing_pieces(m, declared):
    data = bytes(range(256)) * (12 * 1024) + b"tail!"
    stream = Recorder(declared.to_bytes(4, "big") + b"IDAT" + data + chunk(b"IDAT", data)[-4:])
    if declared == len(data):
        assert m._readChunk(stream) == (b"IDAT", data)
        pieces, present = stream.log[2:-1], len(data)
    else:
        raises_exact(ValueError, EOF_DATA, m._readChunk, stream)
        pieces, present = stream.log[2:], len(data) + 4
    delivered = 0
    for asked, got in pieces:
        # Never asks for more than has already arrived (past a first MiB), nor past the end.
        assert asked <= min(max(MIB, delivered), declared - delivered)
        delivered += got
    assert len(pieces) > 1 and delivered == present


def test_crc_goes_through_the_module_zlib(m, monkeypatch):
    def crc32(data, value=0):
        return (value * 33 + sum(data) + 7) & 0xFFFFFFFF
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(crc32=crc32))
    framed = b"\0\0\0\x03tEXtabc" + crc32(b"abc", crc32(b"tEXt")).to_bytes(4, "big")
    assert m._makeChunk(b"tEXt", b"abc") == framed
    assert m._readChunk(io.BytesIO(framed)) == (b"tEXt", b"abc")
    raises_exact(ValueError, CORRUPT, m._readChunk, io.BytesIO(FRAME))


@pytest.mark.skipif(IS_PYPY, reason="PyPy reserves more address space than the limit")
@pytest.mark.address_space_limit
def test_huge_declared_length_from_a_file_needs_no_memory(tmp_path):
    path = tmp_path / "huge.bin"
    path.write_bytes(b"\xff\xff\xff\xffIDAT" + bytes(100))
    code = f"f = open({str(path)!r}, 'rb')\nresult = lambda: m._readChunk(f)"
    assert run_limited(code) == "ValueError " + EOF_DATA
