"""Builds small BMP files with any header field overridden, and a stream that logs its calls."""
import io
import struct

FIELDS = ("sig", "file_size", "reserved1", "reserved2", "offset", "header_size", "width", "height",
          "planes", "bpp", "compression", "image_size", "xppm", "yppm", "clr_used", "clr_important")


def stride(width):
    return (width * 3 + 3) // 4 * 4


def rows(width, height, rgb, fill=0xEE):
    """The stored rows of top-first RGB pixels, bottom row first unless height < 0."""
    n = abs(height)
    out = []
    for y in range(n):
        line = rgb[y * width * 3:(y + 1) * width * 3]
        bgr = b"".join(line[i:i + 3][::-1] for i in range(0, len(line), 3))
        out.append(bgr + bytes([fill]) * (stride(width) - len(bgr)))
    return b"".join(out[::-1] if height > 0 else out)


def bmp(width, height, rgb=None, *, raw=None, gap=b"", fill=0xEE, **override):
    """A BMP of top-first RGB pixels (zeros by default); a negative height stores rows
    top-down. `raw` replaces the stored rows, `gap` sits between headers and rows,
    padding bytes are `fill` so that a decoder reading them as pixels shows."""
    unknown = set(override) - set(FIELDS)
    assert not unknown, unknown
    if raw is None:
        raw = rows(width, height, bytes(abs(width * height) * 3) if rgb is None else rgb, fill)
    f = dict(sig=b"BM", file_size=54 + len(gap) + len(raw), reserved1=0, reserved2=0,
             offset=54 + len(gap), header_size=40, width=width, height=height, planes=1, bpp=24,
             compression=0, image_size=len(raw), xppm=2835, yppm=2835, clr_used=0, clr_important=0)
    f.update(override)
    return (f["sig"] + struct.pack("<IHHI", f["file_size"], f["reserved1"], f["reserved2"], f["offset"])
            + struct.pack("<I", f["header_size"])
            + struct.pack("<iiHHIIiiII", *(f[k] for k in FIELDS[6:])) + gap + raw)


class Recorder(io.BytesIO):
    """An in-memory stream that logs every read and seek."""

    def __init__(self, data=b""):
        super().__init__(data)
        self.calls = []

    def read(self, n=-1):
        self.calls.append(("read", n))
        return super().read(n)

    def seek(self, pos, whence=0):
        self.calls.append(("seek", pos))
        return super().seek(pos, whence)
