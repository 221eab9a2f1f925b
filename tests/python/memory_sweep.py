"""Runs every operation under a ladder of address-space limits, each in a forked child, and
prints one line per run: the operation, the limit above what the child already held, and
how it ended. A child killed by a signal or an abort shows as "died"; a failed save that
changed the file it was writing over shows as "destroyed"."""
import os
import resource
import sys
import zlib

sys.path.insert(0, sys.argv[1])
folder = sys.argv[2]
from Vextaro.simpleImage_ext import SimpleImage, _writePng  # noqa: E402

W, H = 1200, 1000
rgb = os.urandom(W * H * 3)
img = SimpleImage(W, H, rgb, os.urandom(W * H))
img._png_filters = bytearray([4] * H)
one_idat, many_idats, bmp = (os.path.join(folder, n) for n in ("one.png", "many.png", "one.bmp"))
img.save(one_idat)
img._png_chunks = [(b"IHDR", None, 13)] + [(b"IDAT", None, 1 << 20)] * 4 + [(b"IEND", None, 0)]
img.save(many_idats)
SimpleImage(W, H, rgb).saveBmp(bmp)
data = {p: open(p, "rb").read() for p in (one_idat, many_idats, bmp)}
target = os.path.join(folder, "target")
OLD = b"kept unless a save succeeds"

OPERATIONS = {
    "open-path-one-idat": lambda: SimpleImage.open(one_idat),
    "open-path-many-idats": lambda: SimpleImage.open(many_idats),
    "open-bytes-many-idats": lambda: SimpleImage.open(data[many_idats]),
    "open-bytearray-one-idat": lambda: SimpleImage.open(bytearray(data[one_idat])),
    "open-path-bmp": lambda: SimpleImage.open(bmp),
    "open-bytes-bmp": lambda: SimpleImage.open(data[bmp]),
    "save-with-chunks": lambda: img.save(target),
    "save-plain": lambda: SimpleImage(W, H, rgb).save(target),
    # The deflater of a level is made per save: 0.2 MB at level 1, 9 MB at 10-12.
    "save-with-chunks-level-1": lambda: img.save(target, compress_level=1),
    "writePng-level-12": lambda: _writePng(target, 300, 200, rgb[:300 * 200 * 3], compress_level=12),
    "saveBmp": lambda: img.saveBmp(target),
    "copy": lambda: img.copy(),
    "constructor": lambda: SimpleImage(W, H, rgb, bytearray(W * H)),
}


def held():
    return int(next(line for line in open("/proc/self/status") if line.startswith("VmSize")).split()[1]) << 10


def run(name, extra):
    with open(target, "wb") as f:
        f.write(OLD)
    pid = os.fork()
    if pid == 0:
        sys.stdout = open(os.devnull, "w")  # the report lines of opens
        limit = held() + extra
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            OPERATIONS[name]()
            code = 0
        except MemoryError:
            code = 1
        except BaseException as e:
            print(name, extra >> 20, type(e).__name__, e, file=sys.__stderr__)
            code = 2
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    if not os.WIFEXITED(status):
        return "died"
    code = os.WEXITSTATUS(status)
    if code == 1 and open(target, "rb").read() != OLD:
        return "destroyed"
    return {0: "ok", 1: "MemoryError", 2: "other"}.get(code, "died")


# Within a few MiB of its limit PyPy's C-API layer itself ends the process when it cannot
# find the bytes to hand any extension a new object (a file, a call's result): its ladder
# starts above that.
LADDER = [mib for mib in (0, 1, 2, 4, 6, 8, 12, 16, 24, 32, 48, 64)
          if sys.implementation.name != "pypy" or mib >= 4]

for name in sys.argv[3].split(",") if len(sys.argv) > 3 else OPERATIONS:
    for mib in LADDER:
        print(name, mib, run(name, mib << 20), flush=True)
