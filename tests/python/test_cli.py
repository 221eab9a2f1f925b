"""The vextaro command as a user runs it: `python -m Vextaro` in a process of its own
(the console script is run by the wheel check, scripts/check_installed.py)."""
import json
import os
import random
import subprocess
import sys
import time
import zlib

import pytest

from clitools import tree, vextaro
from conftest import ROOT, ramp
from pngtools import image as png_file, parse, scanlines

WIDTH, HEIGHT = 12, 9
RGB, ALPHA = ramp(WIDTH * HEIGHT * 3), ramp(WIDTH * HEIGHT)[::-1]


@pytest.fixture
def rgba_png(tmp_path):
    """An RGBA PNG with a text chunk, every filter type and its image data in three IDAT chunks."""
    rgba = [b"".join(RGB[(y * WIDTH + x) * 3:(y * WIDTH + x) * 3 + 3] + bytes([ALPHA[y * WIDTH + x]])
                     for x in range(WIDTH)) for y in range(HEIGHT)]
    return png_file(WIDTH, HEIGHT, scanlines([y % 5 for y in range(HEIGHT)], rgba), colour=6, sizes=(5, 10),
                    extra=[(b"tEXt", b"Title\0Examples"), (b"zTXt", b"Note\0\0" + zlib.compress(b"hi"))])


def bmp_bytes(SI, tmp_path, width=WIDTH, height=HEIGHT, pixels=RGB):
    path = tmp_path / "made.bmp"
    SI(width, height, pixels, bmp_header={"xppm": 1234, "yppm": 99}).save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize("layout, args, names", [
    # a.png and a.bmp meet in a.png; so do two files of one name given from two folders
    ({"in/a.png": "png", "in/a.bmp": "bmp", "in/b.bmp": "bmp"}, ["in", "-o", "out"], ["in/a.png", "in/a.bmp"]),
    ({"x/p.png": "png", "y/p.bmp": "bmp"}, ["x/p.png", "y/p.bmp", "-o", "out"], ["x/p.png", "y/p.bmp"]),
    # the output would be another source that --overwrite re-encodes in place
    ({"in/a.png": "png", "in/a.bmp": "bmp"}, ["in", "-o", "in", "--overwrite"], ["in/a.png", "in/a.bmp"]),
    ({"in/a.bmp": "bmp", "in/a.png": "png"}, ["in", "-o", "in", "--to", "bmp", "--overwrite"],
     ["in/a.bmp", "in/a.png"]),
], ids=["png-and-bmp", "two-folders", "itself", "another-source"])
def test_collisions_are_refused_before_any_write(SI, rgba_png, tmp_path, layout, args, names):
    for name, kind in layout.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(rgba_png if kind == "png" else bmp_bytes(SI, tmp_path))
    (tmp_path / "made.bmp").unlink()
    before = {name: (tmp_path / name).read_bytes() for name in tree(tmp_path)}
    done = vextaro("convert", *args, cwd=tmp_path, status=2)
    assert all(name in done.stderr for name in names), done.stderr
    assert {name: (tmp_path / name).read_bytes() for name in tree(tmp_path)} == before


def test_names_skips_and_a_second_run(SI, rgba_png, tmp_path):
    (tmp_path / "in" / "deep" / "er").mkdir(parents=True)
    (tmp_path / "in" / "a.png").write_bytes(rgba_png)
    (tmp_path / "in" / "deep" / "er" / "B.BMP").write_bytes(bmp_bytes(SI, tmp_path))
    (tmp_path / "in" / "notes.txt").write_text("not an image")
    (tmp_path / "one.bmp").write_bytes(bmp_bytes(SI, tmp_path, 1, 2, b"\1\2\3\4\5\6"))
    args = ("convert", "in", "one.bmp", "-o", "in/out", "--jobs", 2)
    done = vextaro(*args, cwd=tmp_path)
    # The output folder inside the source folder is not walked, now or in the next run.
    assert tree(tmp_path / "in" / "out") == ["a.png", "deep/er/B.png", "one.png"]
    assert "skipped in/notes.txt: not a .png or .bmp file" in done.stdout
    assert done.stdout.splitlines()[-1].startswith("converted 3, skipped 1, failed 0; ")
    again = vextaro(*args, cwd=tmp_path)
    assert again.stdout.splitlines()[-1].startswith("converted 0, skipped 4, failed 0; 0 bytes in, 0 bytes out")
    assert "skipped in/a.png: in/out/a.png exists (--overwrite replaces it)" in again.stdout
    vextaro(*args, "--overwrite", cwd=tmp_path)


def test_outputs_as_the_module_saves_them(SI, rgba_png, tmp_path):
    from Vextaro.filters import filter_types

    (tmp_path / "a.png").write_bytes(rgba_png)
    (tmp_path / "b.bmp").write_bytes(bmp_bytes(SI, tmp_path))
    vextaro("convert", "a.png", "b.bmp", "-o", "png", cwd=tmp_path)
    done = vextaro("convert", "a.png", "b.bmp", "-o", "bmp", "--to", "bmp", cwd=tmp_path)
    assert done.stderr == "vextaro: BMP holds no alpha: the alpha plane of 1 file(s) was dropped\n"
    source, kept = SI.open(str(tmp_path / "a.png")), SI.open(str(tmp_path / "png" / "a.png"))
    assert (kept._pixels, kept._alpha, kept._png_filters) == (source._pixels, source._alpha, source._png_filters)
    assert [c[:2] for c in kept._png_chunks] == [c[:2] for c in source._png_chunks]
    from_bmp = SI.open(str(tmp_path / "png" / "b.png"))
    assert from_bmp._pixels == RGB and from_bmp._bmp_header is None
    assert from_bmp._png_filters == filter_types(SI.open(str(tmp_path / "b.bmp"))) != bytes(HEIGHT)
    for name, pixels in (("a", source._pixels), ("b", RGB)):
        as_bmp = SI.open(str(tmp_path / "bmp" / f"{name}.bmp"))
        assert as_bmp._pixels == pixels and as_bmp._alpha is None and as_bmp._bmp_header is not None


def test_compress_level_reaches_the_save(SI, rgba_png, tmp_path):
    (tmp_path / "a.png").write_bytes(rgba_png)
    vextaro("convert", "a.png", "-o", "out", "--compress-level", 0, cwd=tmp_path)
    SI.open(str(tmp_path / "a.png")).save(str(tmp_path / "direct.png"), compress_level=0)
    assert (tmp_path / "out" / "a.png").read_bytes() == (tmp_path / "direct.png").read_bytes()
    for bad in (["--compress-level", 13], ["--compress-level", 1, "--to", "bmp"]):
        vextaro("convert", "a.png", "-o", "other", *bad, cwd=tmp_path, status=2)
    assert not (tmp_path / "other").exists()


def test_failures_are_reported_by_path(SI, rgba_png, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "good.png").write_bytes(rgba_png)
    (folder / "photo.png").write_bytes(b"\xff\xd8\xff\xe0\0\x10JFIF\0" + bytes(64))  # a JPEG by another name
    (folder / "cut.bmp").write_bytes(bmp_bytes(SI, tmp_path)[:-40])
    (folder / "gone.png").symlink_to("nowhere.png")
    (tmp_path / "given.gif").write_bytes(b"GIF89a" + bytes(20))  # given by name: tried all the same
    expected = {"in/photo.png": "Unsupported image format", "in/cut.bmp": "Incomplete BMP pixel data",
                "in/gone.png": "No such file or directory", "given.gif": "Unsupported image format"}
    if os.geteuid() != 0:  # root reads it all the same
        (folder / "locked.png").write_bytes(rgba_png)
        (folder / "locked.png").chmod(0)
        expected["in/locked.png"] = "Permission denied"
    done = vextaro("convert", "in", "given.gif", "-o", "out", cwd=tmp_path, status=1)
    assert sorted(done.stderr.splitlines()) == sorted(f"vextaro: {path}: {message}"
                                                      for path, message in expected.items())
    assert done.stdout.splitlines()[-1].startswith(f"converted 1, skipped 0, failed {len(expected)}; ")
    assert tree(tmp_path / "out") == ["good.png"]


def test_info_json_against_the_files_own_chunks(SI, rgba_png, tmp_path):
    (tmp_path / "a.png").write_bytes(rgba_png)
    (tmp_path / "b.bmp").write_bytes(bmp_bytes(SI, tmp_path))
    done = vextaro("info", "--json", "a.png", "b.bmp", "missing.png", cwd=tmp_path, status=1)
    assert done.stderr == "vextaro: missing.png: No such file or directory\n"
    png, bmp = map(json.loads, done.stdout.splitlines())
    chunks = parse(rgba_png)
    assert png == {"path": "a.png", "kind": "PNG", "width": WIDTH, "height": HEIGHT, "file_size": len(rgba_png),
                   "channels": 4, "bmp_header": None,
                   "chunks": [dict({"type": kind.decode(), "length": len(data)},
                                   **({"keyword": data.split(b"\0")[0].decode()} if kind in (b"tEXt", b"zTXt") else {}))
                              for kind, data in chunks],
                   "idat_sizes": [len(data) for kind, data in chunks if kind == b"IDAT"],
                   "filters": {"None": 2, "Sub": 2, "Up": 2, "Average": 2, "Paeth": 1}}
    assert bmp == {"path": "b.bmp", "kind": "BMP", "width": WIDTH, "height": HEIGHT,
                   "file_size": (tmp_path / "b.bmp").stat().st_size, "channels": 3, "chunks": None,
                   "idat_sizes": None, "filters": None,
                   "bmp_header": {"xppm": 1234, "yppm": 99, "clrUsed": 0, "clrImportant": 0}}
    text = vextaro("info", "a.png", cwd=tmp_path).stdout
    assert "tEXt 14 (Title)" in text and f"IDAT sizes: 5, 10, {len(chunks[-2][1])}" in text


def test_portable_filter_choice_is_numpy_s(SI):
    pytest.importorskip("numpy")
    from Vextaro import filters

    rnd = random.Random(5)
    for width, height, alpha in ((1, 1, False), (1, 40, True), (37, 3, False), (300, 250, True)):
        # Smooth ramps with noise, so that every filter type wins somewhere.
        pixels = bytes((x * 3 + (y * y) // 7 + c * 40 + rnd.randint(0, 9)) % 256
                       for y in range(height) for x in range(width) for c in range(3))
        image = SI(width, height, pixels, bytes(rnd.getrandbits(3) for _ in range(width * height)) if alpha else None)
        assert filters.filter_types_portable(image) == filters.filter_types_numpy(image), (width, height)


def test_scheduler_and_worker_started_by_hand_take_relative_paths(SI, rgba_png, tmp_path):
    """Workers run in a folder of their own: the command sends absolute paths, and what
    comes back is what a local run writes, byte for byte."""
    pytest.importorskip("distributed")
    folder = tmp_path / "in"
    (folder / "sub").mkdir(parents=True)
    (folder / "a.png").write_bytes(rgba_png)
    (folder / "sub" / "b.bmp").write_bytes(bmp_bytes(SI, tmp_path))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n")
    elsewhere = tmp_path / "worker"
    elsewhere.mkdir()
    env = dict(os.environ, PYTHONPATH=ROOT)
    address_file = tmp_path / "scheduler.json"
    started = []
    try:
        started.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
             "--no-dashboard", "--scheduler-file", str(address_file)], cwd=elsewhere, env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 120  # a loaded machine starts dask slowly
        while not address_file.exists() or not address_file.read_text().strip():
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.2)
        address = json.loads(address_file.read_text())["address"]
        started.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "2", "--no-dashboard",
             "--host", "127.0.0.1"], cwd=elsewhere, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        on_cluster = vextaro("convert", "in", "-o", "out-dask", "--scheduler", address, cwd=tmp_path, status=1)
    finally:
        for process in reversed(started):
            process.terminate()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:  # dask's slow shutdown is no fault of the command's
                process.kill()
                process.wait()
    local = vextaro("convert", "in", "-o", "out-local", cwd=tmp_path, status=1)
    assert on_cluster.stderr.splitlines()[-1] == local.stderr.splitlines()[-1] == \
        "vextaro: in/broken.png: Incomplete PNG header information"
    assert tree(tmp_path / "out-dask") == tree(tmp_path / "out-local") == ["a.png", "sub/b.png"]
    for name in ("a.png", "sub/b.png"):
        assert (tmp_path / "out-dask" / name).read_bytes() == (tmp_path / "out-local" / name).read_bytes()
    assert not (elsewhere / "out-dask").exists()
