"""getPixel, putPixel and open as PyPy runs them (built into the module, PyPy only).

PyPy reaches C through a layer that costs more than a pixel access, so the
common case runs as plain Python that PyPy's JIT compiles: each image's width,
height and pixel buffer are kept in `_views` after the first access, keyed by
id and checked through a weak reference, so a call crosses into C only the
first time and after a dimension or the buffer was reassigned (the setters drop
the entry, in C). Everything else (other types, errors, odd buffers, any other
way of calling) goes to the module's own function with the arguments as given,
so messages and signatures are its own. A pixel is read and written by one
struct call each, inside which no other thread runs: never half a pixel, as in C.
"""
from _struct import Struct
from struct import error as _short
from typing import Any, Callable, Optional

# Bound by the module before this runs: its view cache, the C function that
# fills it, and its own functions the common case falls back to.
_views: dict[int, tuple[int, int, bytearray, Any]]
_remember: Callable[[object], Optional[tuple[int, int, bytearray, Any]]]
_get: Callable[..., Any]
_put: Callable[..., Any]
_open: Callable[..., Any]
_open_view: Callable[..., Any]


_rgb = Struct("BBB")
_read_rgb = _rgb.unpack_from
_write_rgb = _rgb.pack_into


def _view_of(self):
    v = _views.get(id(self))
    if v is None or v[3]() is not self:
        v = _remember(self)
    return v


def getPixel(*args, **kwargs):
    if len(args) == 2 and not kwargs:
        self, coords = args
        if type(coords) is tuple and len(coords) == 2:
            x, y = coords
            v = _view_of(self) if type(x) is int and type(y) is int else None
            if v is not None and 0 <= x < v[0] and 0 <= y < v[1]:
                try:
                    return _read_rgb(v[2], (y * v[0] + x) * 3)
                except _short:  # the buffer no longer holds the pixel
                    pass
    return _get(*args, **kwargs)


def putPixel(*args, **kwargs):
    if len(args) == 3 and not kwargs:
        self, coords, value = args
        if type(coords) is tuple and len(coords) == 2 and type(value) is tuple and len(value) == 3:
            x, y = coords
            r, g, b = value
            plain = type(x) is int and type(y) is int and type(r) is int and type(g) is int and type(b) is int
            v = _view_of(self) if plain else None
            if v is not None and 0 <= x < v[0] and 0 <= y < v[1]:
                try:
                    _write_rgb(v[2], (y * v[0] + x) * 3, r & 255, g & 255, b & 255)
                    return None
                except _short:
                    pass
    return _put(*args, **kwargs)


def open(*args, **kwargs):
    if len(args) == 2 and not kwargs and type(args[1]) is bytes:
        return _open_view(args[0], memoryview(args[1]))
    return _open(*args, **kwargs)
