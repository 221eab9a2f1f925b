"""Builds and takes apart PNG files for the decoder tests, independently of the module."""
import io
import os
import struct
import subprocess
import sys
import zlib

SIG = b"\x89PNG\r\n\x1a\n"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def chunk(ctype, data):
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(ctype)))


def ihdr(width, height, colour=2, depth=8, compression=0, method=0, interlace=0):
    return b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, compression, method, interlace)


def png(*chunks):
    """The signature, then each (type, data) pair framed; bytes are appended as they are."""
    return SIG + b"".join(c if isinstance(c, bytes) else chunk(*c) for c in chunks)


def scanlines(filters, rows):
    return b"".join(bytes([f]) + bytes(row) for f, row in zip(filters, rows))


def cut(payload, sizes):
    """Pieces of the given sizes, plus one piece for whatever is left."""
    pieces = []
    for n in sizes:
        pieces, payload = pieces + [payload[:n]], payload[n:]
    return pieces + ([payload] if payload or not pieces else [])


def image(width, height, inflated, colour=2, sizes=(), extra=(), payload=None):
    """A whole file; the compressed data is cut into IDAT chunks of `sizes`."""
    payload = zlib.compress(inflated) if payload is None else payload
    idats = [(b"IDAT", p) for p in cut(payload, list(sizes))]
    return png(ihdr(width, height, colour), *extra, *idats, (b"IEND", b""))


def parse(data):
    """The (type, data) pairs of a well-formed file."""
    pairs, at = [], 8
    while at < len(data):
        (n,) = struct.unpack_from(">I", data, at)
        pairs.append((data[at + 4:at + 8], data[at + 8:at + 8 + n]))
        at += 12 + n
    return pairs


def rechunk(data, sizes):
    """The same file with its image data regrouped into IDAT chunks of `sizes`."""
    pairs = parse(data)
    first = [t for t, _ in pairs].index(b"IDAT")
    others = [p for p in pairs if p[0] != b"IDAT"]
    idats = [(b"IDAT", p) for p in cut(b"".join(d for t, d in pairs if t == b"IDAT"), sizes)]
    return png(*others[:first], *idats, *others[first:])


class Recorder(io.BytesIO):
    """A byte stream that logs each read as (asked, got) and each seek as ("seek", position)."""

    def __init__(self, data):
        super().__init__(data)
        self.log = []

    def read(self, n=-1):
        got = super().read(n)
        self.log.append((n, len(got)))
        return got

    def seek(self, pos, whence=0):
        self.log.append(("seek", pos))
        return super().seek(pos, whence)


def run_limited(code, limit=1 << 30):
    """Runs `code`, which binds `result` to a callable, in a fresh host under an address-space
    limit; returns "ok " + repr of its value, or the error's type name and text."""
    script = (f"import io, resource, sys\nresource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))\n"
              f"sys.path.insert(0, {ROOT!r})\nimport Vextaro.simpleImage_ext as m\n{code}\n"
              "try:\n    out = 'ok ' + repr(result())\nexcept Exception as e:\n"
              "    out = type(e).__name__ + ' ' + str(e)\nprint(out)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()[-1]
