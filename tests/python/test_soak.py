"""Soak: hundreds of images opened, edited, copied and saved, failures included, in a fresh
host whose resident memory must be as flat after them as after the warm-up."""
import os
import subprocess
import sys

import pytest

from conftest import IS_PYPY, ROOT

pytestmark = pytest.mark.skipif(IS_PYPY or "VEXTARO_SANITIZED" in os.environ,
                                reason="resident memory is CPython's without a sanitizer's quarantine")

SOAK = r"""
import gc, os, struct, sys, tempfile, zlib
sys.path[:0] = [sys.argv[1], os.path.join(sys.argv[1], "tests", "python")]
from Vextaro.simpleImage_ext import SimpleImage
from bmptools import bmp
from pngtools import ihdr, image, png, scanlines

W, H = 64, 48
rows = [bytes((x * 5 + y * 3) % 256 for x in range(W * 4)) for y in range(H)]
PNG = image(W, H, scanlines([y % 5 for y in range(H)], rows), colour=6, sizes=[700])
BMP = bmp(W, -H, bytes(range(256)) * (W * H * 3 // 256))
FAILING = [
    (PNG[:-30], ValueError), (image(W, H, None, payload=b"x\x9c" + bytes(50)), zlib.error),
    (BMP[:40], struct.error), (png(ihdr(2**31, 1)), OverflowError), (None, TypeError),
]
folder = tempfile.mkdtemp()
devnull = open(os.devnull, "w")


def rss():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def round_(i):
    for data in (PNG, BMP):
        path = os.path.join(folder, f"in{i}")
        with open(path, "wb") as f:
            f.write(data)
        for source in (data, path):
            img = SimpleImage.open(source)
            img.putPixel((i % W, i % H), (i, 2 * i, 3 * i))
            twin = img.copy()
            twin.putPixel((0, 0), twin.getPixel((1, 1)))
            out = os.path.join(folder, f"out{i}.png")
            twin.save(out)
            SimpleImage.open(out)
            img.saveBmp(out + ".bmp")
            os.remove(out), os.remove(out + ".bmp")
        os.remove(path)
    for data, error in FAILING:
        try:
            SimpleImage.open(data)
        except error:
            pass
    for bad in (lambda: SimpleImage(2, 2, b"short"), lambda: img.putPixel((W, 0), (1, 2, 3)),
                lambda: img.save(os.path.join(folder, "missing", "x.png"))):
        try:
            bad()
        except (ValueError, IndexError, OSError):
            pass


sys.stdout = devnull  # open() prints a line per image
for i in range(int(sys.argv[2])):
    round_(i)
before = rss()
for i in range(int(sys.argv[3])):
    round_(i)
after = rss()
sys.stdout = sys.__stdout__
print(before, after)
"""


def test_memory_is_flat_over_hundreds_of_images():
    done = subprocess.run([sys.executable, "-c", SOAK, ROOT, "100", "600"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    before, after = map(int, done.stdout.split())
    assert after - before < 512 << 10, (before, after)
