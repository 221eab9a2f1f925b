"""Each example runs as a user would run it and does what its docstring says."""
import importlib
import io
import os
import subprocess
import sys
import threading
import time
import zlib

import pytest

from conftest import ROOT, ramp
from pngtools import image as png_file, parse, scanlines

WIDTH, HEIGHT = 12, 9
RGB, ALPHA = ramp(WIDTH * HEIGHT * 3), ramp(WIDTH * HEIGHT)[::-1]


def run(name, *args, status=0):
    env = dict(os.environ, PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, os.path.join(ROOT, "examples", name), *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == status, done.stdout + done.stderr
    return done


@pytest.fixture
def open_quietly(SI, capsys):
    def opener(path):
        image = SI.open(path)
        capsys.readouterr()
        return image
    return opener


@pytest.fixture
def rgba_png(tmp_path):
    """An RGBA PNG with a text chunk, every filter type and its image data in three IDAT chunks."""
    filters = [y % 5 for y in range(HEIGHT)]
    rows = [RGB[y * WIDTH * 3:(y + 1) * WIDTH * 3] for y in range(HEIGHT)]
    rgba = [b"".join(row[x * 3:x * 3 + 3] + ALPHA[y * WIDTH + x:y * WIDTH + x + 1] for x in range(WIDTH))
            for y, row in enumerate(rows)]
    # Raw rows under any filter byte are still valid data: they just decode to other pixels.
    path = tmp_path / "in.png"
    path.write_bytes(png_file(WIDTH, HEIGHT, scanlines(filters, rgba), colour=6, sizes=(5, 10),
                              extra=[(b"tEXt", b"Title\0Examples")]))
    return path


@pytest.fixture
def bmp(SI, tmp_path):
    path = tmp_path / "in.bmp"
    SI(WIDTH, HEIGHT, RGB, bmp_header={"xppm": 1234, "yppm": 99}).save(str(path))
    return path


@pytest.mark.parametrize("source", ["rgba_png", "bmp"])
def test_invert(request, open_quietly, tmp_path, source):
    path = request.getfixturevalue(source)
    run("invert.py", path, tmp_path / "out")
    before, after = open_quietly(path), open_quietly(tmp_path / "out")
    assert after._pixels == bytes(255 - b for b in before._pixels)
    # Everything but the colours is as it was: format, alpha, filters, BMP fields, and the
    # chunk sequence with every non-image chunk (the last IDAT size follows the new data).
    for field in ("size", "_alpha", "_png_filters", "_bmp_header"):
        assert getattr(after, field) == getattr(before, field), field
    assert [c[:2] for c in after._png_chunks or []] == [c[:2] for c in before._png_chunks or []]


@pytest.mark.parametrize("args, thickness, colour", [((), 4, (0, 0, 0)), ((2, "255,128,7"), 2, (255, 128, 7)),
                                                     ((20, "1,2,3"), 20, (1, 2, 3))])
def test_frame(rgba_png, open_quietly, tmp_path, args, thickness, colour):
    out = tmp_path / "framed.bmp"
    run("frame.py", rgba_png, out, *args)
    assert out.read_bytes()[:2] == b"BM"
    before, after = open_quietly(rgba_png), open_quietly(out)
    assert after.size == before.size and after._alpha is None
    for y in range(HEIGHT):
        for x in range(WIDTH):
            edge = min(x, y, WIDTH - 1 - x, HEIGHT - 1 - y) < thickness
            assert after.getPixel((x, y)) == (colour if edge else before.getPixel((x, y))), (x, y)


def test_inspect_png(rgba_png, open_quietly):
    image = open_quietly(rgba_png)
    out = run("inspect_png.py", rgba_png).stdout
    # The report line of open() is kept out of the description.
    assert "[SimpleImage]" not in out
    lines = out.splitlines()
    assert lines[0] == f"{WIDTH}x{HEIGHT} RGBA, 6 chunks in file order:"
    assert [line.split()[:2] for line in lines[1:7]] == [[t.decode(), str(n)] for t, _, n in image._png_chunks]
    assert "Title: Examples" in lines[2]
    assert lines[7] == f"IDAT chunks: 3, sizes [5, 10, {image._png_chunks[4][2]}]"
    assert lines[-1] == "rows per filter type: None 2, Sub 2, Up 2, Average 2, Paeth 1"


def test_inspect_png_refuses_a_bmp(bmp):
    assert "is not a PNG file" in run("inspect_png.py", bmp, status=1).stderr


@pytest.mark.parametrize("name", ["invert.py", "frame.py", "inspect_png.py", "numpy_bridge.py",
                                  "smaller_png.py", "quiet_reports.py"])
def test_usage_without_arguments(name):
    assert "python examples/" + name in run(name, status=2).stderr


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "P"])
def test_pillow_bridge(open_quietly, tmp_path, mode):
    Image = pytest.importorskip("PIL.Image")
    picture = Image.frombytes("RGB", (WIDTH, HEIGHT), RGB)
    if mode == "RGBA":
        picture.putalpha(Image.frombytes("L", (WIDTH, HEIGHT), ALPHA))
    source = tmp_path / ("in.gif" if mode == "P" else "in.tiff")
    (picture.convert("P") if mode == "P" else picture).save(source)
    out = run("pillow_bridge.py", source, tmp_path / "out.png").stdout
    assert out.rstrip().endswith("back in Pillow unchanged: True")
    with Image.open(source) as expected, Image.open(tmp_path / "out.png") as written:
        assert written.format == "PNG" and written.mode == ("RGBA" if mode == "RGBA" else "RGB")
        assert written.tobytes() == expected.convert(written.mode).tobytes()
    assert open_quietly(tmp_path / "out.png").size == (WIDTH, HEIGHT)


@pytest.mark.parametrize("source", ["rgba_png", "bmp"])
def test_numpy_bridge(request, open_quietly, tmp_path, source):
    pytest.importorskip("numpy")
    path = request.getfixturevalue(source)
    run("numpy_bridge.py", path, tmp_path / "out.png")
    before, after = open_quietly(path), open_quietly(tmp_path / "out.png")
    assert after.size == (2 * WIDTH, HEIGHT)
    rows = [after._pixels[y * 6 * WIDTH:(y + 1) * 6 * WIDTH] for y in range(HEIGHT)]
    assert b"".join(row[:3 * WIDTH] for row in rows) == before._pixels
    grey = b"".join(row[3 * WIDTH:] for row in rows)
    assert grey[0::3] == grey[1::3] == grey[2::3]
    alpha = before._alpha and b"".join(before._alpha[y * WIDTH:(y + 1) * WIDTH] * 2 for y in range(HEIGHT))
    assert after._alpha == alpha
    try:
        from PIL import Image
    except ImportError:  # hosts without Pillow check the greyness alone
        return
    assert grey[0::3] == Image.frombytes("RGB", before.size, bytes(before._pixels)).convert("L").tobytes()


@pytest.mark.parametrize("source", ["rgba_png", "bmp"])
def test_smaller_png(request, open_quietly, tmp_path, source):
    path = request.getfixturevalue(source)
    out = tmp_path / "out.png"
    printed = run("smaller_png.py", path, out).stdout
    before, after = open_quietly(path), open_quietly(out)
    assert printed.startswith(f"{out}: {out.stat().st_size} bytes;")
    assert (after._pixels, after._alpha) == (before._pixels, before._alpha)
    if before._png_chunks:
        assert [c[:2] for c in after._png_chunks if c[0] != b"IDAT"] == \
            [c[:2] for c in before._png_chunks if c[0] != b"IDAT"]
    # Each row's cost under each filter type, from the scanlines the module writes when
    # every row has that type: the chosen type's is the least.
    costs = []
    for kind in range(5):
        image = before.copy()
        image._png_filters, image._bmp_header = bytearray([kind]) * HEIGHT, None
        image.save(str(tmp_path / f"{kind}.png"))
        data = (tmp_path / f"{kind}.png").read_bytes()
        raw = zlib.decompress(b"".join(body for chunk_type, body in parse(data) if chunk_type == b"IDAT"))
        stride = len(raw) // HEIGHT
        costs.append([sum(min(v, 256 - v) for v in raw[y * stride + 1:(y + 1) * stride]) for y in range(HEIGHT)])
    assert [costs[kind][y] for y, kind in enumerate(after._png_filters)] == [min(c) for c in zip(*costs)]


def test_quiet_reports_on_four_threads(SI, tmp_path, monkeypatch):
    """Only the report lines go, however the threads' writes interleave."""
    monkeypatch.syspath_prepend(os.path.join(ROOT, "examples"))
    quiet = importlib.import_module("quiet_reports")
    expected = []
    for n in range(1, 25):
        path = str(tmp_path / f"{n}.img")
        SI(n, 2, ramp(n * 6), bmp_header={} if n % 2 else None).save(path)  # PNG and BMP files
        expected.append(f"{path}: {n}x2\n")
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    done = threading.Event()

    def other_output():  # more of the program writing meanwhile, whole lines at a time
        while not done.is_set():
            sys.stdout.write("other\n")
            time.sleep(1e-5)

    def yield_on_return(frame, event, arg):  # lets other threads in between print's two writes
        if event == "return":
            time.sleep(1e-4)

    writer = threading.Thread(target=other_output)
    writer.start()
    threading.setprofile(yield_on_return)  # for the threads main() starts
    try:
        assert quiet.main(["quiet_reports.py", *(line.split(":")[0] for line in expected)]) == 0
    finally:
        threading.setprofile(None)
        done.set()
        writer.join()
    lines = out.getvalue().splitlines(keepends=True)
    assert sorted(line for line in lines if line != "other\n") == sorted(expected)


