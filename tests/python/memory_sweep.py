"""Runs every way into the module under a ladder of address-space limits, each run in a
thread of a forked child (a thread's first C++ exception would need memory of its own),
and prints one line per run: the operation, the limit above what the child already held
(in KiB), and how it ended. A child killed by a signal or an abort shows as "died", or as
"died-in-cpyext" where PyPy's C-API layer ended it (its own fatal error, while it made an
object for a C extension), as "died-in-pypy" where PyPy's collector or JIT found no memory;
a failed save that changed the file it was writing over, or left a file beside it, shows as
"destroyed". With "control" as the operation, the runs are numpy's (another C extension) instead of the module's,
and, as "control-python", Python code making the buffers an RGBA open makes, with no C extension at all."""
import os
import resource
import sys
import threading

sys.path.insert(0, sys.argv[1])
folder = sys.argv[2]
import Vextaro.simpleImage_ext as m  # noqa: E402

SI = m.SimpleImage
W, H = 600, 500
rgb = os.urandom(W * H * 3)
data = {}
OPERATIONS = {}
for kind, alpha in (("rgb", None), ("rgba", os.urandom(W * H))):
    img = SI(W, H, rgb, alpha)
    img._png_filters = bytearray([4, 1, 3, 2, 0] * (H // 5))
    one, many, bmp = (os.path.join(folder, f"{kind}-{n}") for n in ("one.png", "many.png", "one.bmp"))
    img.save(one)
    img._png_chunks = [(b"IHDR", None, 13)] + [(b"IDAT", None, 1 << 17)] * 8 + [(b"IEND", None, 0)]
    img.save(many)
    img.saveBmp(bmp)
    for p in (one, many, bmp):
        with open(p, "rb") as f:
            data[p] = f.read()
    target = os.path.join(folder, "target")
    OPERATIONS.update({
        f"{kind}-open-path-one-idat": lambda one=one: SI.open(one),
        f"{kind}-open-path-many-idats": lambda many=many: SI.open(many),
        f"{kind}-open-bytes-many-idats": lambda many=many: SI.open(data[many]),
        f"{kind}-open-bytearray-one-idat": lambda one=one: SI.open(bytearray(data[one])),
        f"{kind}-save-with-chunks": lambda target=target, img=img: img.save(target),
        f"{kind}-save-plain": lambda target=target, alpha=alpha: SI(W, H, rgb, alpha).save(target),
        f"{kind}-writePngWithChunks": lambda img=img, target=target: m._writePngWithChunks(
            target, W, H, img._pixels, img._alpha, img._png_chunks, img._png_filters),
        f"{kind}-copy": lambda img=img: img.copy(),
    })
OPERATIONS.update({
    # The deflater of a level is made per save: 0.2 MB at level 1, 9 MB at 10-12.
    "save-with-chunks-level-1": lambda: img.save(target, compress_level=1),
    "writePng-level-12": lambda: m._writePng(target, 300, 200, rgb[:300 * 200 * 3], compress_level=12),
    "open-path-bmp": lambda: SI.open(bmp),
    "open-bytes-bmp": lambda: SI.open(data[bmp]),
    "saveBmp": lambda: img.saveBmp(target),
    "writeBmp": lambda: m._writeBmp(target, W, H, img._pixels, {}),
    "constructor": lambda: SI(W, H, rgb, bytearray(W * H)),
})
OLD = b"kept unless a save succeeds"


def buffers_of_an_open(path):
    # On PyPy the module makes these so: a repeated 4 KiB block, cut back in place.
    with open(path, "rb") as f:
        chunks = [f.read(1 << 17) for _ in range(10)]
    lines = bytearray(4096) * (H * (W * 4 + 1) // 4096 + 1)
    del lines[H * (W * 4 + 1):]
    alpha = bytearray(4096) * (W * H // 4096 + 1)
    del alpha[W * H:]
    del lines[W * H * 3:]
    return chunks, lines, alpha, bytearray(H)


if len(sys.argv) > 4 and sys.argv[4] == "control":
    import numpy

    OPERATIONS = {"control": lambda: [numpy.frombuffer(rgb, numpy.uint8).reshape(H, W, 3)[::-1].tobytes()
                                      for _ in range(4)],
                  "control-python": lambda: buffers_of_an_open(os.path.join(folder, "rgba-many.png"))}


def held():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("VmSize")).split()[1]) << 10


def child(name, extra):
    sys.stdout = open(os.devnull, "w")  # the report lines of opens
    # Both streams: PyPy writes its fatal errors to standard output.
    said = os.open(errors, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(said, 1)
    os.dup2(said, 2)
    code = []

    def limited():
        limit = held() + extra
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            OPERATIONS[name]()
            code.append(0)
        except MemoryError:
            code.append(1)
        except SystemError as e:
            # PyPy's C-API layer reports its own failed allocations so, numpy's too.
            code.append(4 if str(e).startswith("<MemoryError object at ") else 2)
        except BaseException as e:
            print(name, extra >> 10, type(e).__name__, e, file=sys.__stderr__)
            code.append(2)

    worker = threading.Thread(target=limited)
    worker.start()
    worker.join()
    os._exit(code[0] if code else 3)


errors = os.path.join(folder, "stderr")
open(errors, "w").close()
expected = set(os.listdir(folder)) | {"target"}


def run(name, extra):
    with open(target, "wb") as f:
        f.write(OLD)
    # A killed child may leave its unfinished file behind: that is not this run's.
    for left in set(os.listdir(folder)) - expected:
        os.remove(os.path.join(folder, left))
    pid = os.fork()
    if pid == 0:
        child(name, extra)
    _, status = os.waitpid(pid, 0)
    with open(errors) as f:
        said = f.read()
    if said.strip():
        print(said, file=sys.stderr)
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else None
    if code not in (0, 1, 2, 4):
        if "RPython traceback" in said and "cpyext" in said:
            return "died-in-cpyext"
        # PyPy's own collector or JIT, out of memory, ends it wherever it is.
        if "RPython traceback" in said or "out of memory: couldn't allocate a few KB more" in said:
            return "died-in-pypy"
        return f"died:{code if code is not None else -os.WTERMSIG(status)}"
    if code == 1:
        with open(target, "rb") as f:
            if f.read() != OLD or set(os.listdir(folder)) != expected:
                return "destroyed"
    return {0: "ok", 1: "MemoryError", 2: "other", 4: "SystemError-of-cpyext"}[code]


# Quarter-mebibyte rungs up to 16 MiB above what the child holds, then coarser ones.
# PyPy's ladder may start higher (see the caller).
START = int(sys.argv[3]) if len(sys.argv) > 3 else 0
LADDER = [kib for kib in [*range(0, 16 << 10, 256), 20 << 10, 32 << 10, 64 << 10] if kib >= START]
for name in list(OPERATIONS) if len(sys.argv) <= 4 or sys.argv[4] == "control" else sys.argv[4].split(","):
    for kib in LADDER:
        print(name, kib, run(name, kib << 10), flush=True)
