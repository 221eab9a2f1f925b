"""Import, namespace, function objects and the argument rules shared by every call."""
import copy
import importlib
import inspect
import io
import json
import os
import pathlib
import pickle
import struct
import subprocess
import sys
import textwrap
import typing
import zlib

import pytest

from conftest import IS_PYPY, MODULE_NAME, ROOT, IntVia, raises_exact

REFUSED = "no default __reduce__ due to non-trivial __cinit__"
NAMESPACE_ORDER = [
    "SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple", "Union",
    "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng",
    "_split_idat_payload", "_writePngWithChunks", "_writeBmp",
]
METHOD_ORDER = ["_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp"]
METHOD_ANNOTATIONS = {
    "getPixel": {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"},
    "putPixel": {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"},
    "copy": {"return": "SimpleImage"},
    "__reduce__": {},
    "__setstate__": {},
}


def run_python(code, *options):
    return subprocess.run([sys.executable, *options, "-c", code], cwd=ROOT,
                          capture_output=True, text=True, timeout=120)


# -- initialisation --------------------------------------------------------

def test_import_is_silent_and_warns_about_nothing():
    # -W error turns a stray version warning into a failed import.
    proc = run_python(f"import {MODULE_NAME}", "-W", "error")
    assert proc.returncode == 0, proc.stderr
    assert (proc.stdout, proc.stderr) == ("", "")


def test_reimport_yields_the_same_module_with_rebindings(m):
    saved = m.PNG_SIGNATURE
    m.PNG_SIGNATURE = b"rebound"
    try:
        del sys.modules[MODULE_NAME]
        again = importlib.import_module(MODULE_NAME)
        assert again is m
        assert again.PNG_SIGNATURE == b"rebound"
        assert again.SimpleImage(1, 1, b"abc").getPixel((0, 0)) == (97, 98, 99)
    finally:
        sys.modules[MODULE_NAME] = m
        m.PNG_SIGNATURE = saved


@pytest.mark.skipif(IS_PYPY, reason="subinterpreters exist only on CPython")
def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "message.txt"
    sub = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {ROOT!r})
        try:
            import {MODULE_NAME}
            msg = "imported"
        except BaseException as e:
            msg = type(e).__name__ + ": " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(msg)
    """)
    main = textwrap.dedent(f"""
        import _testcapi
        import {MODULE_NAME} as m
        _testcapi.run_in_subinterp({sub!r})
        print(m.SimpleImage(1, 1, b"abc").getPixel((0, 0)))
    """)
    proc = run_python(main)
    assert proc.returncode == 0, proc.stderr
    assert out.read_text() == ("ImportError: Interpreter change detected - this module can "
                               "only be loaded into one interpreter per process.")
    # The first interpreter keeps a working module.
    assert proc.stdout.strip() == "(97, 98, 99)"


@pytest.mark.parametrize("above", [b"project('Vextaro', version: '9.9')", b"\xff\xfe not text"])
def test_version_comes_only_from_this_tree_or_the_metadata(tmp_path, above):
    # A copy of the package with a meson.build one folder further up: not this project's tree.
    (tmp_path / "meson.build").write_bytes(above)
    (tmp_path / "lib" / "Vextaro").mkdir(parents=True)
    (tmp_path / "lib" / "Vextaro" / "__init__.py").write_bytes(pathlib.Path(ROOT, "Vextaro/__init__.py").read_bytes())
    alone = {k: v for k, v in os.environ.items() if k != "VEXTARO_STAGE"}  # the copy, not a staged build
    proc = subprocess.run([sys.executable, "-c", "import Vextaro; print(Vextaro.__version__)"], cwd=tmp_path / "lib",
                          capture_output=True, text=True, timeout=120, env=alone)
    assert (proc.returncode, proc.stdout.strip()) == (0, "0+unknown"), proc.stderr


def test_version_is_the_metadata_beside_the_package(tmp_path):
    # Another installation's metadata earlier on sys.path is not this package's.
    for folder, version in (("earlier", "7.7"), ("lib", "1.2.3")):
        info = tmp_path / folder / f"Vextaro-{version}.dist-info"
        info.mkdir(parents=True)
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: Vextaro\nVersion: {version}\n")
    (tmp_path / "lib" / "Vextaro").mkdir()
    (tmp_path / "lib" / "Vextaro" / "__init__.py").write_bytes(pathlib.Path(ROOT, "Vextaro/__init__.py").read_bytes())
    alone = {k: v for k, v in os.environ.items() if k != "VEXTARO_STAGE"}
    alone["PYTHONPATH"] = f"{tmp_path / 'earlier'}:{tmp_path / 'lib'}"
    proc = subprocess.run([sys.executable, "-c", "import Vextaro; print(Vextaro.__version__)"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120, env=alone)
    assert (proc.returncode, proc.stdout.strip()) == (0, "1.2.3"), proc.stderr


def test_package_version_is_the_projects():
    # meson's own reading of meson.build, which also gives an installed wheel its version.
    meson = os.path.join(os.path.dirname(sys.executable), "meson")
    info = subprocess.run([meson, "introspect", "--projectinfo", os.path.join(ROOT, "meson.build")],
                          capture_output=True, text=True, timeout=120, check=True)
    assert importlib.import_module("Vextaro").__version__ == json.loads(info.stdout)["version"]


# -- namespace ---------------------------------------------------------------

def test_namespace_values(m):
    assert m.__doc__ is None
    assert (m.struct, m.zlib, m.BytesIO, m.Path) == (struct, zlib, io.BytesIO, pathlib.Path)
    for name in ("List", "Sequence", "Tuple", "Union"):
        assert getattr(m, name) is getattr(typing, name)
    for internal in ("_loadPng", "_paethPredictor", "_write_png_bytes", "_loadBmp"):
        assert not hasattr(m, internal)
    assert type(m.PNG_SIGNATURE) is bytes
    assert m.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
    assert typing.get_origin(m.ImageInput) is typing.Union
    *plain, forward = typing.get_args(m.ImageInput)
    assert plain == [str, pathlib.Path, bytes, bytearray]
    assert isinstance(forward, typing.ForwardRef) and forward.__forward_arg__ == "SimpleImage"


@pytest.mark.parametrize("namespace, order, required", [
    (lambda m: vars(m), NAMESPACE_ORDER, NAMESPACE_ORDER[:11]),
    (lambda m: vars(m.SimpleImage), METHOD_ORDER, ["getPixel", "putPixel", "copy"]),
], ids=["module", "class"])
def test_binding_order(m, namespace, order, required):
    present = [name for name in namespace(m) if name in order]
    assert set(required) <= set(present)
    assert present == [name for name in order if name in present]


def test_class_identity(m):
    cls = m.SimpleImage
    assert cls.__name__ == "SimpleImage" and cls.__module__ == MODULE_NAME
    assert repr(cls) == f"<class '{MODULE_NAME}.SimpleImage'>"
    assert isinstance(cls.__doc__, str) and "RGB" in cls.__doc__


@pytest.mark.parametrize("name", sorted(METHOD_ANNOTATIONS))
def test_method_function_attributes(SI, name):
    fn = getattr(SI, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == "SimpleImage." + name
    assert fn.__module__ == MODULE_NAME
    assert fn.__defaults__ is None
    assert fn.__annotations__ == METHOD_ANNOTATIONS[name]
    assert fn.__doc__ is None


# -- argument binding --------------------------------------------------------

def test_every_parameter_binds_by_keyword(SI):
    img = SI(pixels=b"abcdef", height=1, width=2)
    assert SI.getPixel(img, (1, 0)) == img.getPixel(coords=(1, 0)) == (100, 101, 102)
    bound = img.putPixel
    assert bound.__self__ is img
    bound(value=[7, 8, 9], coords=(0, 0))
    assert img.getPixel((0, 0)) == (7, 8, 9)
    full = SI(width=1, height=1, pixels=b"abc", alpha=b"z", png_chunks=(),
              bmp_header={}, png_filters=b"\x04")
    assert (full._alpha, full._png_chunks, full._bmp_header, full._png_filters) == (
        b"z", [], {}, b"\x04")
    # bmp_header comes sixth and png_filters seventh.
    positional = SI(1, 1, b"abc", None, None, {"k": 1}, [3])
    assert (positional._bmp_header, positional._png_filters) == ({"k": 1}, b"\x03")


@pytest.mark.parametrize("call", [
    pytest.param(lambda SI, img: SI(2, 1), id="ctor-too-few"),
    pytest.param(lambda SI, img: SI(1, 1, b"abc", None, None, None, None, None), id="ctor-too-many"),
    pytest.param(lambda SI, img: SI(1, 1, b"abc", colour=1), id="ctor-unknown-keyword"),
    pytest.param(lambda SI, img: SI(1, 1, b"abc", width=1), id="ctor-repeated"),
    pytest.param(lambda SI, img: SI(1, 1, b"abc", **{1: 2}), id="ctor-non-str-keyword"),
    pytest.param(lambda SI, img: img.getPixel(), id="get-missing"),
    pytest.param(lambda SI, img: img.getPixel(xy=(0, 0)), id="get-unknown-keyword"),
    pytest.param(lambda SI, img: img.putPixel((0, 0)), id="put-missing"),
    pytest.param(lambda SI, img: img.putPixel((0, 0), (1, 2, 3), coords=(0, 0)), id="put-repeated"),
    pytest.param(lambda SI, img: img.copy(None), id="copy-positional"),
    pytest.param(lambda SI, img: img.copy(deep=True), id="copy-keyword"),
    pytest.param(lambda SI, img: img.__reduce__(0), id="reduce-argument"),
    pytest.param(lambda SI, img: img.__setstate__(), id="setstate-missing"),
])
def test_binding_errors(SI, call):
    img = SI(1, 1, b"abc")
    with pytest.raises(TypeError) as info:
        call(SI, img)
    # Binding fails before a refusing body could run.
    assert str(info.value) != REFUSED
    assert img._pixels == b"abc"


@pytest.mark.parametrize("call, message", [
    (lambda SI, img: img.getPixel(), "SimpleImage.getPixel() missing 1 required positional argument: 'coords'"),
    (lambda SI, img: SI.getPixel(),
     "SimpleImage.getPixel() missing 2 required positional arguments: 'self' and 'coords'"),
    (lambda SI, img: img.getPixel(xy=1), "SimpleImage.getPixel() got an unexpected keyword argument 'xy'"),
    (lambda SI, img: img.putPixel((0, 0), (1, 2, 3), coords=(0, 0)),
     "SimpleImage.putPixel() got multiple values for argument 'coords'"),
    (lambda SI, img: SI.open(b"", b""), "SimpleImage.open() takes 2 positional arguments but 3 were given"),
])
def test_binding_messages_and_signatures_are_the_modules_own(SI, call, message):
    raises_exact(TypeError, message, call, SI, SI(1, 1, b"abc"))
    signatures = [str(inspect.signature(f)) for f in (SI.getPixel, SI.putPixel, SI.open, SI(1, 1, b"abc").getPixel,
                                                      SI.save, SI.saveBmp)]
    assert signatures == ["(self, coords)", "(self, coords, value)", "(source)", "(coords)",
                          "(self, path, *, compress_level=None)", "(self, path)"]


# -- exact-type parameters -----------------------------------------------------

class CoordsTuple(tuple):
    pass


def _call_with_coords(img, method, coords):
    return img.getPixel(coords) if method == "getPixel" else img.putPixel(coords, None)


@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
@pytest.mark.parametrize("coords, got", [([0, 0], "list"), (None, "NoneType"), ("00", "str")])
def test_coords_must_be_exactly_a_tuple(SI, method, coords, got):
    img = SI(1, 1, b"abc")
    raises_exact(TypeError, f"Argument 'coords' has incorrect type (expected tuple, got {got})",
                 _call_with_coords, img, method, coords)


@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
def test_tuple_subclass_is_refused_with_a_note(SI, method):
    img = SI(1, 1, b"abc")
    with pytest.raises(TypeError) as info:
        _call_with_coords(img, method, CoordsTuple((0, 0)))
    head = "Argument 'coords' has incorrect type (expected tuple, got CoordsTuple). "
    (message,) = info.value.args
    assert message.startswith(head) and len(message) > len(head)


# -- int32 parameters ------------------------------------------------------------

def _int_target(SI, target, value):
    """Pass `value` through one of the four int32 entry points and read it back."""
    if target == "ctor-width":
        return SI(value, 0, b"").width
    if target == "ctor-height":
        return SI(0, value, b"").height
    img = SI(0, 0, b"")
    setattr(img, target, value)
    return getattr(img, target)


INT_TARGETS = ["ctor-width", "ctor-height", "width", "height"]


@pytest.mark.parametrize("target", INT_TARGETS)
@pytest.mark.parametrize("value, expected", [
    (True, 1), (2.9, 2), (-2.9, -2), (IntVia(7), 7), (-1, -1),
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
])
def test_int32_accepted(SI, target, value, expected):
    result = _int_target(SI, target, value)
    assert type(result) is int and result == expected


@pytest.mark.parametrize("target", INT_TARGETS)
@pytest.mark.parametrize("value, exc, message", [
    ("2", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"2", TypeError, "an integer is required"),
    (IntVia("7"), TypeError, "__int__ returned non-int (type str)"),
    (2**31, OverflowError, None),
    (-2**31 - 1, OverflowError, None),
    (1e10, OverflowError, None),
    (IntVia(2**40), OverflowError, None),
    (float("nan"), ValueError, None),
    (IntVia(KeyError("from __int__")), KeyError, None),
])
def test_int32_refused(SI, target, value, exc, message):
    if message is None:
        pytest.raises(exc, _int_target, SI, target, value)
    else:
        raises_exact(exc, message, _int_target, SI, target, value)


def test_int32_conversion_comes_first_and_in_order(SI):
    raises_exact(TypeError, "an integer is required", SI, "w", 2**40, 5)
    raises_exact(TypeError, "an integer is required", SI, 1, "h", 5)
    pytest.raises(OverflowError, SI, 2**40, "h", b"")
    img = SI(1, 1, b"abc")
    pytest.raises(OverflowError, setattr, img, "width", 2**31)
    assert img.size == (1, 1)


# -- pickling and the host's copying -------------------------------------------

@pytest.mark.parametrize("action", [
    pytest.param(lambda img: img.__reduce__(), id="reduce"),
    pytest.param(lambda img: img.__reduce_ex__(2), id="reduce_ex"),
    pytest.param(lambda img: img.__setstate__(None), id="setstate-none"),
    pytest.param(lambda img: img.__setstate__({"width": 1}), id="setstate-dict"),
    pytest.param(copy.copy, id="copy.copy"),
    pytest.param(copy.deepcopy, id="copy.deepcopy"),
    *[pytest.param(lambda img, p=p: pickle.dumps(img, protocol=p), id=f"pickle-{p}")
      for p in range(pickle.HIGHEST_PROTOCOL + 1)],
])
def test_pickling_and_generic_copying_are_refused(SI, action):
    raises_exact(TypeError, REFUSED, action, SI(1, 1, b"abc"))
