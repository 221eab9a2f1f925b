"""Checks the installed package as a user meets it. Run it from outside the source
tree, with the interpreter of the environment it is installed in: the package must
come from that environment's site-packages, with its stub, py.typed and the source
tree's version (in its metadata and as __version__); it must open,
edit, save and reopen a PNG and a BMP, and save an image built from pixels. The
files are written here with the standard library, so that the module is not only
read back by itself. The `vextaro` command must be on the environment's bin, say its
version and convert those files, with whichever optional extras are installed (none
in a fresh environment)."""
import contextlib
import importlib.util
import io
import os
import struct
import subprocess
import sys
import tempfile
import zlib
from importlib import metadata

import Vextaro
import Vextaro.simpleImage_ext as m

folder = os.path.dirname(os.path.realpath(m.__file__))
assert "site-packages" in folder and os.path.commonpath([folder, os.path.realpath(sys.prefix)]) == \
    os.path.realpath(sys.prefix), m.__file__
assert os.path.isfile(os.path.join(folder, "simpleImage_ext.pyi"))
assert os.path.getsize(os.path.join(folder, "py.typed")) == 0

# The tree's own package file reads the version from the tree's meson.build.
tree_init = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "Vextaro", "__init__.py")
spec = importlib.util.spec_from_file_location("tree_vextaro", tree_init)
tree = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tree)
assert Vextaro.__version__ == metadata.version("Vextaro") == tree.__version__, (Vextaro.__version__, tree.__version__)

WIDTH, HEIGHT = 5, 3
RGB = [[((7 * x + 3 * y) % 256, (40 + x * y) % 256, (200 - 11 * x) % 256) for x in range(WIDTH)]
       for y in range(HEIGHT)]
ALPHA = [[(60 * x + y) % 256 for x in range(WIDTH)] for y in range(HEIGHT)]
EDIT, COLOUR = (3, 1), (250, 1, 128)


def png_file():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    # Filter type 0 on every row, RGBA.
    rows = b"".join(b"\0" + bytes(v for x in range(WIDTH) for v in (*RGB[y][x], ALPHA[y][x]))
                    for y in range(HEIGHT))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0))
            + chunk(b"tEXt", b"Comment\0kept") + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bmp_file():
    stride = (WIDTH * 3 + 3) & ~3
    rows = b"".join(bytes(v for x in range(WIDTH) for v in reversed(RGB[y][x])).ljust(stride, b"\0")
                    for y in reversed(range(HEIGHT)))
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(rows), 3000, 4000, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(info) + len(rows), 0, 0, 14 + len(info)) + info + rows


def pixels(image):
    return [[image.getPixel((x, y)) for x in range(WIDTH)] for y in range(HEIGHT)]


with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()):
    for name, data in (("in.png", png_file()), ("in.bmp", bmp_file())):
        path = os.path.join(tmp, name)
        with open(path, "wb") as file:
            file.write(data)
        image = m.SimpleImage.open(path)
        assert image.size == (WIDTH, HEIGHT) and pixels(image) == RGB, name
        image.putPixel(EDIT, COLOUR)
        saved = os.path.join(tmp, "out-" + name)
        image.save(saved)
        again = m.SimpleImage.open(saved)
        expected = [row[:] for row in RGB]
        expected[EDIT[1]][EDIT[0]] = COLOUR
        assert pixels(again) == expected, name
        if name.endswith(".png"):
            assert again._alpha == bytes(a for row in ALPHA for a in row)
            assert (b"tEXt", b"Comment\0kept", 12) in again._png_chunks, again._png_chunks
        else:
            with open(saved, "rb") as file:
                assert file.read(2) == b"BM"
            assert (again._bmp_header["xppm"], again._bmp_header["yppm"]) == (3000, 4000)
    built = m.SimpleImage(2, 1, b"\x01\x02\x03\x04\x05\x06", b"\x07\x08")
    built.save(os.path.join(tmp, "built.png"))
    again = m.SimpleImage.open(os.path.join(tmp, "built.png"))
    assert (again._pixels, again._alpha) == (built._pixels, built._alpha)

    command = os.path.join(os.path.dirname(sys.executable), "vextaro")
    done = subprocess.run([command, "--version"], capture_output=True, text=True, check=True)
    assert done.stdout == f"vextaro {Vextaro.__version__}\n", done.stdout
    out = os.path.join(tmp, "converted")
    done = subprocess.run([command, "convert", os.path.join(tmp, "in.png"), os.path.join(tmp, "in.bmp"), "-o", out,
                           "--to", "bmp", "--jobs", "2"], capture_output=True, text=True)
    # The two sources meet in one output: refused, nothing written.
    assert done.returncode == 2 and "would both be written to" in done.stderr and not os.path.exists(out), done
    done = subprocess.run([command, "convert", os.path.join(tmp, "in.bmp"), os.path.join(tmp, "out-in.png"),
                           "-o", out], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("converted 2, skipped 0, failed 0;"), done
    assert "[SimpleImage]" not in done.stdout + done.stderr
    assert pixels(m.SimpleImage.open(os.path.join(out, "in.png"))) == RGB
    assert pixels(m.SimpleImage.open(os.path.join(out, "out-in.png"))) == expected
    if importlib.util.find_spec("distributed") is None:
        done = subprocess.run([command, "convert", tmp, "-o", out, "--scheduler", "127.0.0.1:1"],
                              capture_output=True, text=True)
        assert done.returncode == 2 and "pip install 'Vextaro[dask]'" in done.stderr, done
print("installed and working:", m.__file__)
