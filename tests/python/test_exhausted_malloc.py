"""An open where malloc fails at every size: a MemoryError or an image, never the end of the
process. The C++ runtime's own ways to allocate (its no-throw new throws and catches inside
itself) need thread-local state that the C library makes with malloc on a thread's first use,
and abort when it cannot."""
import os
import subprocess
import sys

import pytest

from conftest import IS_PYPY, ROOT
from pngtools import image, scanlines

# The opening thread takes every block malloc can give, largest first, under an
# address-space limit so that the sizes run out quickly; its pointers go to an array
# made beforehand, so that keeping them allocates nothing.
EXHAUST = r"""
import ctypes, resource, sys, threading
sys.path.insert(0, sys.argv[1])
from Vextaro.simpleImage_ext import SimpleImage
data = open(sys.argv[2], "rb").read()
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
blocks = (ctypes.c_void_p * (1 << 20))()
ended = ["none"]
def vm_size():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("VmSize")).split()[1]) << 10
def open_exhausted(limit):
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    n = 0
    for shift in range(30, -1, -1):
        while n < len(blocks) and (block := libc.malloc(1 << shift)) is not None:
            blocks[n] = block
            n += 1
    exhausted = libc.malloc(1) is None
    try:
        SimpleImage.open(data)
        ended[0] = "ok"
    except MemoryError:
        ended[0] = "MemoryError"
    for i in range(n):
        libc.free(blocks[i])
    ended[0] = ended[0] if exhausted else "not-exhausted"
limit = vm_size() + (64 << 20)
if sys.argv[3] == "main":
    open_exhausted(limit)
else:
    worker = threading.Thread(target=open_exhausted, args=(limit,))
    worker.start()
    worker.join()
print(ended[0])
"""


@pytest.mark.address_space_limit
# PyPy's C-API layer ends the process when malloc cannot give it the objects of a call into C.
@pytest.mark.skipif(IS_PYPY, reason="PyPy dies by itself where malloc fails (README, \"On PyPy\")")
@pytest.mark.parametrize("thread", ["main", "fresh"])
def test_open_with_malloc_exhausted(tmp_path, thread):
    path = tmp_path / "tiny.png"
    path.write_bytes(image(3, 2, scanlines([0, 1], [bytes(range(9))] * 2)))
    # One arena for every thread, so that the opening thread's blocks are all there are.
    env = {**os.environ, "GLIBC_TUNABLES": "glibc.malloc.arena_max=1"}
    done = subprocess.run([sys.executable, "-c", EXHAUST, ROOT, str(path), thread], capture_output=True,
                          text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() in (["ok"], ["MemoryError"]), done.stdout + done.stderr
