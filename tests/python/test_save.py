"""save and saveBmp: which writer runs, what it gets, and round trips through an independent codec."""
import errno
import io
import os
import pathlib
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import types
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

from bmptools import bmp
from conftest import raises_exact, ramp
from pngtools import image, parse, rechunk, scanlines

WRITERS = {"_writePngWithChunks": ("_pixels", "_alpha", "_png_chunks", "_png_filters"),
           "_writeBmp": ("_pixels", "_bmp_header"), "_writePng": ("_pixels", "_alpha", "_png_filters")}
FIELDS = ("width", "height", "_pixels", "_alpha", "_png_chunks", "_bmp_header", "_png_filters")


def snapshot(img):
    """Identity and contents of every field: saving changes neither."""
    return [(id(getattr(img, f)), repr(getattr(img, f))) for f in FIELDS]


@pytest.mark.parametrize("method, fields, writer", [
    ("save", {"_png_chunks": [(b"IEND", b"", 0)], "_bmp_header": {}}, "_writePngWithChunks"),
    ("save", {"_png_chunks": []}, "_writePngWithChunks"),
    ("save", {"_bmp_header": {}}, "_writeBmp"),
    ("save", {}, "_writePng"),
    ("saveBmp", {"_png_chunks": [], "_bmp_header": {"xppm": 1}}, "_writeBmp"),
    ("saveBmp", {}, "_writeBmp"),
])
def test_dispatch(m, SI, tmp_path, monkeypatch, method, fields, writer):
    calls = []
    for name in WRITERS:
        monkeypatch.setattr(m, name, lambda *a, _name=name, **k: calls.append((_name, a, k)))
    img = SI(2, 1, ramp(6), bytearray(2), None, None, bytearray(1))
    for field, value in fields.items():
        setattr(img, field, value)
    before = snapshot(img)
    path = str(tmp_path / "out.png")
    assert getattr(img, method)(path=path) is None
    [(name, args, kwargs)] = calls
    assert name == writer and kwargs == {} and args[:3] == (path, 2, 1)
    assert len(args) == 3 + len(WRITERS[writer])
    assert all(arg is getattr(img, field) for arg, field in zip(args[3:], WRITERS[writer]))
    assert snapshot(img) == before and not list(tmp_path.iterdir())


class Text(str):
    pass


@pytest.mark.parametrize("method", ["save", "saveBmp"])
@pytest.mark.parametrize("make, got", [(pathlib.Path, "PosixPath"), (Text, "Text"), (str.encode, "bytes"),
                                       (lambda p: None, "NoneType")])
def test_path_must_be_exact_str(SI, tmp_path, method, make, got):
    error = pytest.raises(TypeError, getattr(SI(1, 1, b"abc"), method), make(str(tmp_path / "out.png"))).value
    base = f"Argument 'path' has incorrect type (expected str, got {got})"
    # A subclass instance gets a note appended to the same message.
    [text] = error.args
    assert text == base if make is not Text else text.startswith(base + ". ") and len(text) > len(base) + 2
    assert not list(tmp_path.iterdir())


def test_bmp_origin_saves_as_bmp(SI, tmp_path):
    source = bmp(3, 2, ramp(18), fill=0, xppm=100, clr_used=2)
    img = SI.open(source)
    img.save(str(tmp_path / "looks.png"))
    img.saveBmp(str(tmp_path / "b.bmp"))
    assert (tmp_path / "looks.png").read_bytes() == source == (tmp_path / "b.bmp").read_bytes()


def test_save_bmp_drops_alpha_only_in_the_file(SI, tmp_path, capsys):
    img = SI(2, 2, ramp(12), bytearray(b"\1\2\3\4"), png_filters=bytearray(2))
    before = snapshot(img)
    img.saveBmp(str(tmp_path / "out.bmp"))
    assert snapshot(img) == before
    capsys.readouterr()
    back = SI.open(str(tmp_path / "out.bmp"))
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 2x2, channels=3\n"
    assert back._pixels == ramp(12) and back._alpha is None
    assert back._bmp_header == {"xppm": 2835, "yppm": 2835, "clrUsed": 0, "clrImportant": 0}


@pytest.mark.parametrize("field, value, exc", [("_png_filters", bytearray([0, 7]), ValueError),
                                               ("_alpha", bytes(4), (TypeError, BufferError, ValueError)),
                                               ("_bmp_header", {"xppm": -2**31 - 1}, struct.error)])
def test_failed_save_changes_nothing(SI, tmp_path, field, value, exc):
    img = SI(2, 2, ramp(12), bytearray(4), png_filters=bytearray(2))
    setattr(img, field, value)
    if field == "_bmp_header":
        img._alpha = img._png_filters = None
    before = snapshot(img)
    path = tmp_path / "out.png"
    path.write_bytes(b"keep me")
    pytest.raises(exc, img.save, str(path))
    assert snapshot(img) == before
    assert path.read_bytes() == b"keep me"


# -- round trips with an independent codec ----------------------------------------------

@pytest.fixture(scope="module")
def Image():
    return pytest.importorskip("PIL.Image")


def pillow_png(Image, mode, width, height, **options):
    rng = random.Random(width * height)
    k = len(mode)
    # Noisy, smooth and flat rows, so that the encoder picks several filter types.
    rows = [rng.randbytes(width * k) if y % 3 == 0 else bytes((i * 5 + y) % 256 for i in range(width * k))
            if y % 3 == 1 else bytes([y * 9 % 256]) * (width * k) for y in range(height)]
    info = pytest.importorskip("PIL.PngImagePlugin").PngInfo()
    info.add_text("Comment", "kept")
    out = io.BytesIO()
    Image.frombytes(mode, (width, height), b"".join(rows)).save(out, "PNG", pnginfo=info, dpi=(96, 96), **options)
    return out.getvalue()


def idat(data):
    return [d for t, d in parse(data) if t == b"IDAT"]


def shape(data):
    """Chunks in order, each run of IDAT chunks as one marker."""
    pairs = parse(data)
    return [p if p[0] != b"IDAT" else b"IDAT" for i, p in enumerate(pairs)
            if p[0] != b"IDAT" or i == 0 or pairs[i - 1][0] != b"IDAT"]


def check_idat_sizes(source, written):
    old, new = [len(d) for d in idat(source)], [len(d) for d in idat(written)]
    assert new[:-1] == old[:len(new) - 1] and len(new) <= len(old)
    assert len(new) == len(old) or new[-1] <= old[len(new) - 1]


@pytest.mark.parametrize("mode, width, height, options, piece", [
    ("RGB", 17, 9, {}, None), ("RGBA", 13, 11, {"optimize": True}, 7), ("RGB", 1, 5, {"optimize": True}, 1),
    ("RGBA", 7, 1, {}, None), ("RGB", 9, 6, {"compress_level": 0}, 25), ("RGBA", 5, 3, {"compress_level": 9}, 3),
    ("RGB", 33, 4, {}, 64),
])
def test_pillow_round_trip(SI, Image, tmp_path, mode, width, height, options, piece):
    source = pillow_png(Image, mode, width, height, **options)
    if piece:
        source = rechunk(source, [piece] * (sum(map(len, idat(source))) // piece))
    img = SI.open(source)
    path = tmp_path / "out.png"
    img.save(str(path))
    written = path.read_bytes()
    again = SI.open(written)
    assert (again.size, again._pixels, again._alpha) == (img.size, img._pixels, img._alpha)
    assert again._png_filters == img._png_filters and len(set(img._png_filters)) > (height > 2)
    assert shape(written) == shape(source)
    check_idat_sizes(source, written)
    assert zlib.decompress(b"".join(idat(written))) == zlib.decompress(b"".join(idat(source)))
    with Image.open(io.BytesIO(written)) as theirs:
        assert theirs.mode == mode and theirs.convert("RGB").tobytes() == img._pixels
        assert mode == "RGB" or theirs.getchannel("A").tobytes() == img._alpha


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_edited_pixels_and_dropped_alpha(SI, Image, tmp_path, mode):
    source = rechunk(pillow_png(Image, mode, 11, 7), [40, 40])
    img = SI.open(source)
    img.putPixel((5, 3), (1, 2, 3))
    img._alpha = None
    path = tmp_path / "out.png"
    img.save(str(path))
    written = path.read_bytes()
    with Image.open(io.BytesIO(written)) as theirs:
        assert theirs.mode == "RGB" and theirs.tobytes() == img._pixels and theirs.getpixel((5, 3)) == (1, 2, 3)
    assert SI.open(written)._png_filters == img._png_filters
    # Only IHDR changes among the kept chunks: it now says truecolour without alpha.
    new, old = shape(written), shape(source)
    assert new[0][1][9] == 2 and new[0][1][:9] == old[0][1][:9] and new[1:] == old[1:]
    check_idat_sizes(source, written)


# -- a save replaces the file only once every byte is written -----------------------------

# Every writer on an RGBA image with chunks, each given the path.
WRITES = {
    "save-with-chunks": "img.save(p)",
    "save-plain": "SI(W, H, img._pixels, img._alpha).save(p)",
    "saveBmp": "img.saveBmp(p)",
    "_writePng": "m._writePng(p, W, H, img._pixels, img._alpha)",
    "_writePngWithChunks": "m._writePngWithChunks(p, W, H, img._pixels, img._alpha, img._png_chunks)",
    "_writeBmp": "m._writeBmp(p, W, H, img._pixels)",
}
# Runs in a child: a file-size limit at many points of each writer's output.
SIZE_LIMITS = f"""
import errno, os, resource, sys
sys.path.insert(0, {repr(str(pathlib.Path(__file__).parents[2]))})
import Vextaro.simpleImage_ext as m
SI = m.SimpleImage
W, H = 300, 200
img = SI(W, H, os.urandom(W * H * 3), bytearray(os.urandom(W * H)))
img._png_chunks = [(b"IHDR", None, 13), (b"tEXt", b"a\\0b", 3), (b"IDAT", None, 9000), (b"IDAT", None, 9000),
                   (b"IEND", b"", 0)]
folder, old = sys.argv[1], b"old bytes, kept unless a save succeeds" * 7
p = os.path.join(folder, "target.png")
for name, call in {WRITES!r}.items():
    for limit in (0, 1, 8, 33, 4096, 9000, 20000, 65536):
        with open(p, "wb") as f:
            f.write(old)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        try:
            exec(call)
            outcome = "saved"
        except OSError as e:
            outcome = f"{{errno.errorcode[e.errno]}} {{e.filename == p}}"
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        kept = open(p, "rb").read() == old
        print(name, limit, outcome, kept, sorted(os.listdir(folder)) == ["target.png"])
"""


def test_a_save_cut_short_by_a_size_limit_leaves_the_old_file(tmp_path):
    done = subprocess.run([sys.executable, "-c", SIZE_LIMITS, str(tmp_path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    runs = [line.split() for line in done.stdout.splitlines()]
    assert len(runs) == 6 * 8
    # Every limit below the file's size fails naming the caller's path, with the old
    # bytes in place and nothing left beside them.
    assert {tuple(r[2:]) for r in runs} == {("EFBIG", "True", "True", "True")}, done.stdout


@pytest.fixture
def full_disk(tmp_path):
    """A 200 KiB file system of its own, where one can be mounted (root, no container limits)."""
    folder = tmp_path / "small"
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200k", "tmpfs", str(folder)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("call", WRITES.values(), ids=WRITES.keys())
def test_a_full_disk_leaves_the_old_file(m, SI, full_disk, call):
    W, H = 400, 200  # noqa: N806  (the names the calls use); every file is larger than the disk
    img = SI(W, H, random.randbytes(W * H * 3), bytearray(random.randbytes(W * H)))
    img._png_chunks = [(b"IHDR", None, 13), (b"IDAT", None, 9000), (b"IEND", b"", 0)]
    p = str(full_disk / "target.png")
    old = b"\x89PNG old" * 30
    pathlib.Path(p).write_bytes(old)
    error = pytest.raises(OSError, exec, call, {"m": m, "SI": SI, "img": img, "p": p, "W": W, "H": H}).value
    assert error.errno == errno.ENOSPC and error.filename == p
    assert pathlib.Path(p).read_bytes() == old and os.listdir(full_disk) == ["target.png"]


def test_what_a_replaced_file_keeps(SI, tmp_path):
    img = SI(2, 1, ramp(6))
    target = tmp_path / "a.png"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.png"
    link.symlink_to("a.png")
    img.save(str(link))
    # Through a link the file it names is replaced, its permission bits kept.
    assert link.is_symlink() and target.read_bytes()[:4] == b"\x89PNG"
    assert target.stat().st_mode & 0o777 == 0o640
    # A file with several names is written in place: every name shows the new bytes.
    other = tmp_path / "other.png"
    os.link(target, other)
    img.saveBmp(str(target))
    assert other.read_bytes()[:2] == b"BM" and os.path.samefile(target, other)
    # A new file gets what open(path, "wb") gives it.
    img.save(str(tmp_path / "new.png"))
    assert (tmp_path / "new.png").stat().st_mode & 0o777 == 0o666 & ~current_umask()
    assert sorted(os.listdir(tmp_path)) == ["a.png", "link.png", "new.png", "other.png"]


def current_umask():
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_files_that_are_not_regular_are_written_in_place(SI, tmp_path, method):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    getattr(SI(2, 1, ramp(6)), method)(str(fifo))
    reader.join()
    assert got[0][:2] in (b"\x89P", b"BM") and stat.S_ISFIFO(os.stat(fifo).st_mode)
    getattr(SI(2, 1, ramp(6)), method)(os.devnull)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


@pytest.mark.parametrize("path, error", [("missing/x.png", FileNotFoundError), ("", IsADirectoryError)])
def test_unwritable_targets_fail_as_open_would(SI, tmp_path, path, error):
    target = str(tmp_path / path)
    with pytest.raises(error) as info:
        SI(2, 1, ramp(6)).save(target)
    assert info.value.filename == target
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to act as another user")
def test_other_users_files():
    """A read-only file is refused as open() refuses it; a writable one in a folder its
    writer cannot write is written in place."""
    folder = pathlib.Path(tempfile.mkdtemp())  # pytest's own are closed to other users
    try:
        folder.chmod(0o755)
        (folder / "ro.png").write_bytes(b"old")
        (folder / "rw.png").write_bytes(b"old")
        (folder / "rw.png").chmod(0o666)
        code = (f"import os, sys; sys.path.insert(0, {str(pathlib.Path(__file__).parents[2])!r})\n"
                "from Vextaro.simpleImage_ext import SimpleImage as SI\n"
                "os.setgid(65534); os.setuid(65534)\n"
                f"SI(2, 1, bytes(6)).save({str(folder / 'rw.png')!r})\n"
                f"try: SI(2, 1, bytes(6)).save({str(folder / 'ro.png')!r})\n"
                "except PermissionError as e: print(e.filename)\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == str(folder / "ro.png")
        assert (folder / "ro.png").read_bytes() == b"old"
        assert (folder / "rw.png").read_bytes()[:4] == b"\x89PNG"
        assert sorted(os.listdir(folder)) == ["ro.png", "rw.png"]
    finally:
        shutil.rmtree(folder)


# -- compression levels ------------------------------------------------------------------

def level_sources(SI):
    """RGB and RGBA PNG files with text and pHYs chunks, every filter type and three IDATs;
    and new images, with and without alpha."""
    rng, files = random.Random(28), {}
    for colour, k in ((2, 3), (6, 4)):
        rows = [rng.randbytes(23 * k) if y % 3 else bytes((x * 7 + y) % 256 for x in range(23 * k)) for y in range(9)]
        raw = scanlines([y % 5 for y in range(9)], rows)
        extra = [(b"tEXt", b"Comment\0kept"), (b"pHYs", struct.pack(">IIB", 3780, 3780, 1))]
        files[f"png-{colour}"] = SI.open(image(23, 9, raw, colour, sizes=[60, 60], extra=extra))
    files["new-rgb"] = SI(17, 5, ramp(17 * 5 * 3))
    files["new-rgba"] = SI(17, 5, ramp(17 * 5 * 3), ramp(17 * 5), png_filters=bytes([4, 3, 2, 1, 0]))
    return files


def test_default_level_writes_the_bytes_of_zlib_compress(SI, tmp_path):
    for name, img in level_sources(SI).items():
        img.save(str(tmp_path / "default.png"))
        img.save(str(tmp_path / "none.png"), compress_level=None)
        written = (tmp_path / "default.png").read_bytes()
        assert written == (tmp_path / "none.png").read_bytes()
        data = b"".join(idat(written))
        assert zlib.compress(zlib.decompress(data)) == data, name


@pytest.mark.parametrize("level", range(13))
def test_every_level_round_trips(SI, m, tmp_path, level):
    for name, img in level_sources(SI).items():
        default, path = tmp_path / "default.png", tmp_path / "level.png"
        img.save(str(default))
        img.save(str(path), compress_level=level)
        written = path.read_bytes()
        again = SI.open(written)
        assert (again.size, again._pixels, again._alpha, again._png_filters) == (
            img.size, img._pixels, img._alpha, img._png_filters or bytearray(img.height)), name
        assert shape(written) == shape(default.read_bytes())
        kept = [p for p in parse(written) if p[0] != b"IDAT"]
        assert kept == [p for p in parse(default.read_bytes()) if p[0] != b"IDAT"]
        if img._png_chunks:
            check_idat_sizes(default.read_bytes(), written)
    # _writePngWithChunks takes the level too, as does the _writePng it hands a list without chunks to.
    img = level_sources(SI)["png-6"]
    for chunks in (img._png_chunks, []):
        m._writePngWithChunks(str(path), 23, 9, img._pixels, img._alpha, chunks, img._png_filters, compress_level=level)
        assert SI.open(path.read_bytes())._alpha == img._alpha


@pytest.mark.parametrize("level, exc, message", [
    (True, TypeError, "compress_level must be an integer or None, not bool"),
    (6.0, TypeError, "compress_level must be an integer or None, not float"),
    ("6", TypeError, "compress_level must be an integer or None, not str"),
    (13, ValueError, "compress_level must be from 0 to 12, not 13"),
    (-1, ValueError, "compress_level must be from 0 to 12, not -1"),
    (2**80, ValueError, f"compress_level must be from 0 to 12, not {2**80}"),
])
@pytest.mark.parametrize("writer", ["save", "bmp", "_writePng", "_writePngWithChunks"])
def test_refused_levels_leave_the_file_alone(SI, m, tmp_path, level, exc, message, writer):
    path = tmp_path / "kept.png"
    path.write_bytes(b"old bytes")
    img = SI(2, 1, ramp(6), bmp_header={} if writer == "bmp" else None)
    calls = {"save": lambda: img.save(str(path), compress_level=level),
             "bmp": lambda: img.save(str(path), compress_level=level),
             "_writePng": lambda: m._writePng(str(path), 2, 1, ramp(6), compress_level=level),
             "_writePngWithChunks": lambda: m._writePngWithChunks(str(path), 2, 1, ramp(6), None, None,
                                                                  compress_level=level)}
    raises_exact(exc, message, calls[writer])
    if writer == "bmp":  # a level is refused for a BMP even when it is a good one
        raises_exact(ValueError, "compress_level is for PNG: this image carries _bmp_header and saves as BMP "
                     "(set it to None for a PNG)", img.save, str(path), compress_level=1)
    assert path.read_bytes() == b"old bytes"


def test_levels_are_taken_as_operator_index_takes_them(SI, tmp_path):
    class Level:
        def __index__(self):
            return 9
    img = SI(3, 2, ramp(18))
    img.save(str(tmp_path / "nine.png"), compress_level=9)
    img.save(str(tmp_path / "index.png"), compress_level=Level())
    assert (tmp_path / "index.png").read_bytes() == (tmp_path / "nine.png").read_bytes()


def test_rebound_zlib_gets_the_level_as_given(m, SI, tmp_path, monkeypatch):
    calls = []

    def compress(data, *level):
        calls.append(level)
        return zlib.compress(data, *level)
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=compress, crc32=zlib.crc32))
    img = SI(3, 2, ramp(18))
    img.save(str(tmp_path / "a.png"))
    img.save(str(tmp_path / "b.png"), compress_level=3)
    with pytest.raises(zlib.error):  # the host's zlib has no level 10
        img.save(str(tmp_path / "c.png"), compress_level=10)
    assert calls == [(), (3,), (10,)] and not (tmp_path / "c.png").exists()


def test_a_zlib_keeping_the_hosts_functions_is_the_hosts(m, SI, tmp_path, monkeypatch):
    img = SI(5, 4, ramp(60), ramp(20))
    img.save(str(tmp_path / "own.png"), compress_level=12)
    # The host's own functions in a stand-in: saves and opens work as with the module's own zlib.
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=zlib.compress, decompress=zlib.decompress,
                                                         crc32=zlib.crc32))
    img.save(str(tmp_path / "a.png"), compress_level=12)
    data = (tmp_path / "a.png").read_bytes()
    assert data == (tmp_path / "own.png").read_bytes()
    again = SI.open(data)
    assert (again._pixels, again._alpha) == (img._pixels, img._alpha)
    with pytest.raises(zlib.error):  # the host's error, though the stand-in has none
        SI.open(image(1, 1, None, payload=b"not a zlib stream"))


@pytest.mark.skipif(not hasattr(sys, "pypy_version_info"), reason="PyPy's built-in functions")
def test_a_builtin_made_compress_is_not_the_hosts(m, SI, tmp_path, monkeypatch):
    import __pypy__
    calls = []

    def compress(data, *level):
        calls.append(level)
        return zlib.compress(data)
    compress.__module__ = "zlib"
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=__pypy__.builtinify(compress), crc32=zlib.crc32))
    SI(1, 1, b"abc").save(str(tmp_path / "a.png"))
    SI(1, 1, b"abc").save(str(tmp_path / "a.png"), compress_level=2)
    assert calls == [(), (2,)]


def test_concurrent_saves_at_different_levels(SI, tmp_path):
    img = SI(96, 64, bytes(random.Random(3).randbytes(96 * 64 * 3)), png_filters=bytes(range(5)) * 12 + b"\4\4\4\4")
    levels = [None, 0, 1, 6, 9, 12]
    expected = {}
    for level in levels:
        img.save(str(tmp_path / f"alone-{level}.png"), compress_level=level)
        expected[level] = (tmp_path / f"alone-{level}.png").read_bytes()
    assert len(set(expected.values())) > 3

    def work(n):
        level = levels[n % len(levels)]
        img.save(str(tmp_path / f"{n}.png"), compress_level=level)
        return (tmp_path / f"{n}.png").read_bytes() == expected[level]
    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(48)))


def test_a_path_is_asked_for_once(m, tmp_path):
    # An object whose __fspath__ answers otherwise the second time is held to its first answer.
    target = tmp_path / "a.png"
    target.write_bytes(b"old")
    answers = iter([None, str(target)])

    class Fickle:
        def __fspath__(self):
            return next(answers)

    pytest.raises(TypeError, m._writePng, Fickle(), 2, 1, ramp(6))
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["a.png"]
