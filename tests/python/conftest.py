"""Fixtures and helpers shared by the extension-module tests."""
import importlib
import os
import pathlib
import platform
import shutil
import sys
import tempfile

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"
MODULE_NAME = "Vextaro.simpleImage_ext"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The built module sits in the source tree's package, beside one build per host.
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)


def pytest_configure(config):
    config.addinivalue_line("markers", "address_space_limit: runs code under an address-space limit, "
                                       "which AddressSanitizer's shadow memory cannot live within")


def pytest_collection_modifyitems(config, items):
    # A sanitizer run (scripts/test.sh) says so in VEXTARO_SANITIZED.
    if os.environ.get("VEXTARO_SANITIZED"):
        skip = pytest.mark.skip(reason="an address-space limit cannot hold under AddressSanitizer")
        for item in items:
            if "address_space_limit" in item.keywords:
                item.add_marker(skip)


@pytest.fixture(scope="session")
def m():
    module = importlib.import_module(MODULE_NAME)
    # A run of a staged build (scripts/test.sh) names it; a silent fallback would test nothing.
    stage = os.environ.get("VEXTARO_STAGE")
    assert not stage or module.__file__.startswith(stage), module.__file__
    return module


@pytest.fixture
def SI(m):
    return m.SimpleImage


@pytest.fixture
def shared():
    """A folder that user nobody may work in (pytest's own are root's alone)."""
    folder = tempfile.mkdtemp(prefix="vextaro-")
    os.chmod(folder, 0o777)
    yield pathlib.Path(folder)
    shutil.rmtree(folder)


def ramp(n):
    """n bytes that differ from their neighbours, so a wrong offset shows."""
    return bytes((i * 7 + 1) % 256 for i in range(n))


def raises_exact(exc_type, message, fn, *args, **kwargs):
    """The module's own errors carry exactly one argument: the fixed text."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    return info.value


class IntVia:
    """An object whose only integer conversion is __int__, returning or raising `result`."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result
