"""The image record: construction, attributes, pixel access, copying and the collector."""
import array
import gc
import weakref

import pytest

from conftest import IS_PYPY, MODULE_NAME, IntVia, raises_exact, ramp

OOB = "Pixel coordinate out of bounds"
BAD_PIXELS = "Pixel data length does not match image dimensions"
BAD_ALPHA = "Alpha channel length does not match image dimensions"
BAD_FILTERS = "PNG filter count does not match image height"
METADATA = ("_alpha", "_png_chunks", "_png_filters", "_bmp_header")


def wide(n):
    """n items, but 2*n bytes once converted to a bytearray."""
    return array.array("H", [0x0101] * n)


# -- construction ----------------------------------------------------------------

def test_two_by_one_image(SI):
    img = SI(2, 1, bytes([1, 2, 3, 4, 5, 6]))
    assert img.getPixel((1, 0)) == (4, 5, 6) and img.getPixel((0, 0)) == (1, 2, 3)
    assert img.size == (2, 1) and type(img.size) is tuple
    assert [getattr(img, name) for name in METADATA] == [None] * 4
    assert type(img._pixels) is bytearray and img._pixels == bytes(range(1, 7))


@pytest.mark.parametrize("make", [
    bytes, bytearray, list, lambda raw: memoryview(bytes(raw)), lambda raw: array.array("B", raw),
], ids=["bytes", "bytearray", "list", "memoryview", "array"])
def test_accepted_forms_are_converted(SI, make):
    source = make(ramp(12))
    img = SI(2, 2, source, make(b"\x01\x02\x03\x04"), (c for c in [("a",), ("b",)]),
             [("xppm", 3)], make(b"\x00\x04"))
    assert type(img._pixels) is bytearray and img._pixels == ramp(12) and img._pixels is not source
    assert type(img._alpha) is bytearray and img._alpha == b"\x01\x02\x03\x04"
    assert type(img._png_chunks) is list and img._png_chunks == [("a",), ("b",)]
    assert type(img._bmp_header) is dict and img._bmp_header == {"xppm": 3}
    assert type(img._png_filters) is bytearray and img._png_filters == b"\x00\x04"


def test_constructor_keeps_private_copies(SI):
    pixels, alpha, filters = bytearray(ramp(6)), bytearray(b"\x10\x20"), bytearray(b"\x01")
    entry = (b"tEXt", b"a=b", 3)
    chunks, header = [entry], {"xppm": 1}
    img = SI(2, 1, pixels, alpha, chunks, header, filters)
    stored = [img._pixels, img._alpha, img._png_chunks, img._bmp_header, img._png_filters]
    for mine, theirs in zip(stored, [pixels, alpha, chunks, header, filters]):
        assert mine == theirs and mine is not theirs
    pixels[0] ^= 0xFF
    alpha[0] = filters[0] = 0
    chunks.append(None)
    header["xppm"] = 2
    assert img.getPixel((0, 0)) == tuple(ramp(3))
    assert (img._alpha, img._png_filters, img._bmp_header) == (b"\x10\x20", b"\x01", {"xppm": 1})
    assert img._png_chunks == [entry] and img._png_chunks[0] is entry


@pytest.mark.parametrize("args, kwargs, message", [
    ((2, 1, bytes(5)), {"alpha": b"x"}, BAD_PIXELS),
    ((2, 1, bytes(7)), {}, BAD_PIXELS),
    ((2, 1, bytes(6)), {"alpha": b"xyz"}, BAD_ALPHA),
    ((2, 1, bytes(6)), {"alpha": b"x", "png_filters": b""}, BAD_ALPHA),
    ((2, 1, bytes(6)), {"png_filters": b"\0\0", "bmp_header": 5}, BAD_FILTERS),
    ((0, 5, b""), {"png_filters": bytes(4)}, BAD_FILTERS),
    # Matching item count but a different byte count, and the other way round.
    ((1, 1, wide(3)), {}, BAD_PIXELS),
    ((1, 1, memoryview(wide(3))), {}, BAD_PIXELS),
    ((2, 1, memoryview(wide(3))), {}, BAD_PIXELS),
    ((3, 1, bytes(9)), {"alpha": memoryview(wide(3))}, BAD_ALPHA),
    ((1, 2, bytes(6)), {"png_filters": wide(2)}, BAD_FILTERS),
])
def test_constructor_length_checks(SI, args, kwargs, message):
    raises_exact(ValueError, message, SI, *args, **kwargs)


@pytest.mark.parametrize("args, kwargs, exc", [
    ((1, 1, 5), {}, TypeError),
    ((1, 1, "abc"), {}, TypeError),
    ((1, 1, [1, 2, 256]), {}, ValueError),
    ((1, 1, b"abc"), {"png_chunks": 5, "png_filters": b""}, TypeError),
    ((1, 1, b"abc"), {"png_filters": [256]}, ValueError),
    ((1, 1, b"abc"), {"bmp_header": 5}, TypeError),
    ((1, 1, b"abc"), {"bmp_header": [("k",)]}, ValueError),
])
def test_constructor_passes_host_errors_through(SI, args, kwargs, exc):
    pytest.raises(exc, SI, *args, **kwargs)


@pytest.mark.parametrize("w, h, n", [(65536, 65536, 0), (-65536, 65536, 0), (2**31 - 1, 2**31 - 1, 3)])
def test_dimension_products_do_not_wrap(SI, w, h, n):
    # n is what w * h * 3 comes to in wrapping 32-bit arithmetic.
    pytest.raises((ValueError, OverflowError), SI, w, h, bytes(n))


@pytest.mark.parametrize("w, h, n", [(0, 5, 0), (5, 0, 0), (-1, -1, 3), (-1, -3, 9)])
def test_degenerate_dimensions_hold_no_pixel(SI, w, h, n):
    img = SI(w, h, bytes(n))
    assert img.size == (w, h)
    for xy in [(0, 0), (-1, -1), (0, -1), (-1, 0), (1, 1)]:
        raises_exact(ValueError, OOB, img.getPixel, xy)
        raises_exact(ValueError, OOB, img.putPixel, xy, (1, 2, 3))
    assert img._pixels == bytes(n)
    assert SI(0, 5, b"", png_filters=bytes(5))._png_filters == bytes(5)


def test_subclass_initialiser_runs_after_validation(SI):
    seen = []

    class Sub(SI):
        def __init__(self, *args, **kwargs):
            seen.append((self.size, bytes(self._pixels), args, kwargs))

    img = Sub(1, 1, b"abc", alpha=b"z")
    assert seen == [((1, 1), b"abc", (1, 1, b"abc"), {"alpha": b"z"})]
    img.extra = 1  # subclasses get an instance dictionary
    pytest.raises(ValueError, Sub, 1, 1, b"ab")
    assert len(seen) == 1


# -- attributes -------------------------------------------------------------------

def test_pixels_attribute_is_the_stored_buffer(SI):
    img = SI(1, 1, b"abc")
    img._pixels[0] = 0
    assert img.getPixel((0, 0)) == (0, 98, 99)
    mine = bytearray(b"xyz")
    img._pixels = mine
    mine[2] = 1
    assert img._pixels is mine and img.getPixel((0, 0)) == (120, 121, 1)
    img._pixels = None
    assert img._pixels is None
    img._pixels = mine
    del img._pixels
    assert img._pixels is None


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("value, name", [
    (b"abc", "bytes"), (ByteArraySub(b"abc"), "ByteArraySub"), (memoryview(b"abc"), "memoryview"),
    ([97, 98, 99], "list"), (3, "int"),
])
def test_pixels_assignment_refuses_non_bytearrays(SI, value, name):
    img = SI(1, 1, b"abc")
    before = img._pixels
    raises_exact(TypeError, f"Expected bytearray, got {name}", setattr, img, "_pixels", value)
    assert img._pixels is before


@pytest.mark.parametrize("field", METADATA)
def test_metadata_fields_store_anything(SI, field):
    img = SI(1, 1, b"abc")
    for value in (5, "text", object(), [1], None):
        setattr(img, field, value)
        assert getattr(img, field) is value
    setattr(img, field, [1])
    delattr(img, field)
    assert getattr(img, field) is None


def test_dimension_attributes(SI):
    img = SI(2, 1, bytes(6))
    img.width = 7  # assignment re-checks nothing
    assert img.size == (7, 1)
    raises_exact(NotImplementedError, "__del__", delattr, img, "width")
    raises_exact(NotImplementedError, "__del__", delattr, img, "height")
    pytest.raises(AttributeError, setattr, img, "size", (1, 1))
    pytest.raises(AttributeError, delattr, img, "size")
    assert img.size == (7, 1)


def test_instances_are_closed_and_identity_based(SI):
    img, other = SI(1, 1, b"abc"), SI(1, 1, b"abc")
    pytest.raises(AttributeError, setattr, img, "colour", 1)
    assert img == img and img != other
    assert hash(img) == object.__hash__(img)
    assert repr(img).startswith(f"<{MODULE_NAME}.SimpleImage object at ")


@pytest.mark.skipif(IS_PYPY, reason="PyPy can weakly reference any object")
def test_no_weak_references(SI):
    pytest.raises(TypeError, weakref.ref, SI(1, 1, b"abc"))


# -- getPixel / putPixel -------------------------------------------------------------

def test_pixel_offsets(SI):
    raw = ramp(18)
    img = SI(3, 2, raw, alpha=bytes(range(6)))
    for y in range(2):
        for x in range(3):
            i = (y * 3 + x) * 3
            assert img.getPixel((x, y)) == tuple(raw[i:i + 3])
    assert img.putPixel((2, 1), (7, 8, 9)) is None
    assert img._pixels == raw[:15] + b"\x07\x08\x09"
    assert img._alpha == bytes(range(6))


@pytest.mark.parametrize("xy", [(3, 0), (0, 2), (-1, 0), (0, -1), (3, 2), (2**70, 0), (0, -2**70), (True, 5)])
def test_out_of_bounds_is_reported_before_the_value_is_read(SI, xy):
    img = SI(3, 2, ramp(18))
    raises_exact(ValueError, OOB, img.getPixel, xy)
    raises_exact(ValueError, OOB, img.putPixel, xy, "ab")
    assert img._pixels == ramp(18)


@pytest.mark.parametrize("xy, message", [
    ((0, 0, 0), "too many values to unpack (expected 2)"),
    ((9, 9, 9, 9), "too many values to unpack (expected 2)"),
    ((0,), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
])
def test_coordinate_unpacking(SI, xy, message):
    img = SI(1, 1, b"abc")
    raises_exact(ValueError, message, img.getPixel, xy)
    raises_exact(ValueError, message, img.putPixel, xy, (1, 2, 3))
    assert img._pixels == b"abc"


def test_coordinates_are_not_converted(SI):
    img = SI(2, 1, bytes(range(1, 7)))
    assert img.getPixel((True, False)) == (4, 5, 6)
    # Floats pass the bounds test; the offset they produce cannot index.
    for xy in [(0.5, 0), (1.0, 0)]:
        pytest.raises(TypeError, img.getPixel, xy)
        pytest.raises(TypeError, img.putPixel, xy, (0, 0, 0))
    pytest.raises(TypeError, img.getPixel, ("0", 0))
    assert img._pixels == bytes(range(1, 7))


@pytest.mark.parametrize("make, stored", [
    (lambda: (300, -1, 255.9), (44, 255, 255)),
    (lambda: b"\x01\x02\x03", (1, 2, 3)),
    (lambda: (2**70 + 5, -2**70 - 1, True), (5, 255, 1)),
    (lambda: ("12", " 7", "-1"), (12, 7, 255)),
    (lambda: iter([256, 511, -256]), (0, 255, 0)),
    (lambda: (IntVia(258), -0.5, 1.5), (2, 0, 1)),
])
def test_put_pixel_keeps_low_eight_bits(SI, make, stored):
    img = SI(2, 1, bytes(6))
    img.putPixel((1, 0), make())
    assert img.getPixel((1, 0)) == stored
    assert img._pixels[:3] == bytes(3)


def counting():
    """Yields 1, 2, ... and fails loudly if consumed well past what unpacking needs."""
    yield from range(1, 11)
    raise AssertionError("value iterated to exhaustion")


@pytest.mark.parametrize("make, message", [
    (lambda: [1, 2, 3, 4], "too many values to unpack (expected 3)"),
    (lambda: b"RGBA", "too many values to unpack (expected 3)"),
    (counting, "too many values to unpack (expected 3)"),
    (lambda: (1, 2), "need more than 2 values to unpack"),
    (lambda: [1], "need more than 1 value to unpack"),
    (lambda: "", "need more than 0 values to unpack"),
])
def test_put_pixel_value_count(SI, make, message):
    img = SI(1, 1, b"abc")
    raises_exact(ValueError, message, img.putPixel, (0, 0), make())
    assert img._pixels == b"abc"


@pytest.mark.parametrize("value, exc, stored", [
    (5, TypeError, b"abc"),
    ((None, 2, 3), TypeError, b"abc"),
    ((1, None, 3), TypeError, b"\x01bc"),
    ((1, 2, "x"), ValueError, b"\x01\x02c"),
    ((1, 2, IntVia(KeyError("b"))), KeyError, b"\x01\x02c"),
])
def test_put_pixel_conversion_failure_keeps_earlier_channels(SI, value, exc, stored):
    img = SI(1, 1, b"abc", alpha=b"z")
    pytest.raises(exc, img.putPixel, (0, 0), value)
    assert img._pixels == stored and img._alpha == b"z"


# -- invariants broken by assignment ------------------------------------------------

def test_widened_image_reads_at_new_offsets(SI):
    raw = ramp(12)
    img = SI(2, 2, raw)
    img.width = 3
    for xy, offset in [((0, 0), 0), ((2, 0), 6), ((0, 1), 9)]:
        assert img.getPixel(xy) == tuple(raw[offset:offset + 3])
    for xy in [(1, 1), (2, 1)]:
        pytest.raises(IndexError, img.getPixel, xy)
        pytest.raises(IndexError, img.putPixel, xy, (0, 0, 0))
    assert img._pixels == raw
    raises_exact(ValueError, BAD_PIXELS, img.copy)


def _replace_pixels(img):
    img._pixels = bytearray(b"x" * 12)


def _drop_pixels(img):
    del img._pixels


@pytest.mark.parametrize("change, read", [
    (lambda img: setattr(img, "width", 1), tuple(ramp(12)[3:6])),
    (lambda img: setattr(img, "height", 1), ValueError),
    (_replace_pixels, (120, 120, 120)),
    (_drop_pixels, TypeError),
    (lambda img: img._pixels.clear(), IndexError),
])
def test_changes_after_pixel_access_are_seen(SI, change, read):
    # Pixel access may keep what it read of an image from one call to the next.
    img = SI(2, 2, ramp(12))
    img.putPixel((0, 1), img.getPixel((0, 1)))
    change(img)
    if isinstance(read, tuple):
        assert img.getPixel((0, 1)) == read
        img.putPixel((0, 1), (1, 2, 3))
        assert img.getPixel((0, 1)) == (1, 2, 3)
    else:
        pytest.raises(read, img.getPixel, (0, 1))
        pytest.raises(read, img.putPixel, (0, 1), (1, 2, 3))


def test_pixel_access_follows_each_new_image(SI):
    for i in range(1000):
        img = SI(1, 1, bytes([i % 256] * 3))
        assert img.getPixel((0, 0)) == (i % 256,) * 3
        if i % 50 == 0:
            gc.collect()  # lets the host reuse a dead image's memory and id


@pytest.mark.parametrize("width, height, xy", [(2**30, 8, (0, 4)), (1431655767, 1, (1431655766, 0))])
def test_offsets_do_not_wrap(SI, width, height, xy):
    # Both offsets come to a small valid index in wrapping 32-bit arithmetic.
    img = SI(2, 1, ramp(6))
    img.width, img.height = width, height
    pytest.raises(IndexError, img.getPixel, xy)
    pytest.raises(IndexError, img.putPixel, xy, (0, 0, 0))
    assert img._pixels == ramp(6)


def test_short_or_missing_pixel_buffer(SI):
    img = SI(2, 1, bytes(6))
    img._pixels = bytearray(4)
    assert img.getPixel((0, 0)) == (0, 0, 0)
    pytest.raises(IndexError, img.getPixel, (1, 0))
    pytest.raises(IndexError, img.putPixel, (1, 0), (7, 8, 9))
    assert len(img._pixels) == 4 and img._pixels[:3] == bytes(3)
    img._pixels = None
    pytest.raises(TypeError, img.getPixel, (0, 0))
    pytest.raises(TypeError, img.putPixel, (0, 0), (1, 2, 3))


@pytest.mark.parametrize("fields, exc, message", [
    ({"_pixels": None}, TypeError, "'NoneType' object is not subscriptable"),
    ({"_pixels": bytearray(7)}, ValueError, BAD_PIXELS),
    ({"height": 2}, ValueError, BAD_PIXELS),
    ({"_alpha": 5}, TypeError, "'int' object is not subscriptable"),
    ({"_png_chunks": 5.0}, TypeError, "'float' object is not subscriptable"),
    ({"_png_filters": 5}, TypeError, "'int' object is not subscriptable"),
    ({"_alpha": bytearray(3), "_png_filters": [0, 0]}, ValueError, BAD_ALPHA),
    ({"_png_filters": [0, 0]}, ValueError, BAD_FILTERS),
    # Every field is copied before the new image is validated.
    ({"_alpha": bytearray(3), "_png_chunks": 5}, TypeError, "'int' object is not subscriptable"),
])
def test_copy_revalidates(SI, fields, exc, message):
    img = SI(2, 1, bytes(6))
    for name, value in fields.items():
        setattr(img, name, value)
    raises_exact(exc, message, img.copy)


# -- copy ----------------------------------------------------------------------------

def test_copy_is_independent(SI):
    entry = (b"tEXt", b"a=b", 3)
    src = SI(2, 1, ramp(6), b"\x01\x02", [entry, (b"IDAT", None, 10)], {"xppm": 7}, b"\x04")
    dup = src.copy()
    assert type(dup) is SI and dup.size == src.size
    for name in ("_pixels",) + METADATA:
        assert getattr(dup, name) == getattr(src, name)
        assert getattr(dup, name) is not getattr(src, name)
    assert dup._png_chunks[0] is entry
    dup.putPixel((0, 0), (0xAA, 0xBB, 0xCC))
    dup._alpha[0] = 0
    assert src.getPixel((0, 0)) == tuple(ramp(3)) and src._alpha == b"\x01\x02"


def test_copy_always_builds_the_module_class(m, monkeypatch):
    original = m.SimpleImage
    Sub = type("Sub", (original,), {})
    assert type(Sub(1, 1, b"abc").copy()) is original
    monkeypatch.setattr(m, "SimpleImage", Sub)
    assert type(original(1, 1, b"abc").copy()) is original


# -- cycle collector ------------------------------------------------------------------

class Holder:
    pass


@pytest.mark.skipif(IS_PYPY, reason="PyPy never calls tp_traverse, so it cannot see these cycles")
@pytest.mark.parametrize("subclass", [False, True])
@pytest.mark.parametrize("field", METADATA)
def test_cycles_through_metadata_are_collected(SI, field, subclass):
    img, holder = (type("Sub", (SI,), {}) if subclass else SI)(1, 1, b"abc"), Holder()
    holder.img = img
    setattr(img, field, holder)
    probe = weakref.ref(holder)
    del img, holder
    gc.collect()
    assert probe() is None


@pytest.mark.skipif(IS_PYPY, reason="PyPy never calls tp_clear")
def test_clear_drops_metadata_and_keeps_pixels(SI):
    ctypes = pytest.importorskip("ctypes")
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, (ctypes.py_object, ctypes.c_int)
    address = get_slot(SI, 51)  # Py_tp_clear
    assert address, "SimpleImage has no tp_clear"
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)
    img = SI(2, 1, ramp(6), b"ab", [1], {"k": 1}, b"\0")
    assert clear(img) == 0
    assert [getattr(img, name) for name in METADATA] == [None] * 4
    assert img._pixels == ramp(6) and img.size == (2, 1)
    assert img.copy().getPixel((1, 0)) == tuple(ramp(6)[3:])
