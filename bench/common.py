"""What every part of the benchmark shares: the module, the peers it is measured
against where they are installed (None where not), and progress lines."""

import ctypes
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402, F401 - for the other parts

try:
    import PIL
    from PIL import Image, ImageFilter, ImageOps

    PILLOW = PIL.__version__
except ImportError:
    Image = ImageFilter = ImageOps = None
    PILLOW = None

try:
    import png

    PYPNG = png.__version__
except (ImportError, AttributeError):  # without pypng, the source tree's png/ folder imports as a namespace
    png = None
    PYPNG = None

try:
    import pyspng

    PYSPNG = getattr(pyspng, "__version__", "?")
except ImportError:
    pyspng = None
    PYSPNG = None

try:
    import deflate  # libdeflate

    DEFLATE = getattr(deflate, "__version__", "?")
except ImportError:
    deflate = None
    DEFLATE = None


def linked_libdeflate():
    """The libdeflate the module loaded, through ctypes, or None (linked statically, or absent)."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "libdeflate" in line and line.strip().endswith(".so.0")}
    return ctypes.CDLL(paths.pop()) if paths else None


def progress(message):
    print(message, file=sys.stderr, flush=True)
