"""Timing: rounds in turns, medians and their spread, and the contenders' calls."""

import ctypes
import gc
import io
import platform
import statistics
import time

from common import Image, SimpleImage, deflate, png, pyspng

# pypng decodes in pure Python, seconds an image on CPython: it opens in only about
# this many of the rounds, spread over the whole race.
SLOW_SAMPLES = 5




# CPython's collector is paused while a contender runs, so that no contender pays for
# another's garbage. PyPy's is left alone: there gc.disable() stops the major
# collections that release the C-side objects every call into an extension makes,
# and each call then costs several times more than in any real program. Instead
# PyPy collects before each run, outside the timed span: it frees large buffers
# only when it collects, and a run that finds the last round's buffers still held
# takes fresh pages from the kernel, so times would swing with the collector's
# schedule rather than with the contender (bench/README.md, "PyPy").
PAUSE_GC = platform.python_implementation() != "PyPy"


def timed(fn, *args):
    if PAUSE_GC:
        gc.disable()
    else:
        gc.collect()
    try:
        start = time.perf_counter()
        result = fn(*args)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result  # freed outside the timed span, for every contender alike
    return elapsed


# A fixed loop of pure Python, timed once a round of every race: how steady the
# machine itself was. Other processes show in the load average; a busy neighbour
# of a virtual machine's core does not, but slows this loop as much as any
# contender, so its spread says how far a run's spreads are the machine's.
STEADINESS = []


def sample_steadiness():
    start = time.perf_counter()
    total = 0
    for i in range(20000):
        total += i
    STEADINESS.append(time.perf_counter() - start)


# The first and third quartiles of every median reported, {group: {subject: {contender:
# [q1, q3]}}}, so that the report can say how far the rounds scattered.
SPREAD = {}


def quartiles(samples):
    if len(samples) < 2:
        return [samples[0], samples[0]]
    q1, _, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return [q1, q3]


def amid(work, contenders, rounds, runs, spread):
    """Median seconds of each contender run `runs` times a round, with `work` done between
    rounds and the collector left to its own schedule (neither paused nor run by hand): the
    times a program's loop sees amid another library's garbage. Quartiles go to SPREAD."""
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, (fn, args) in contenders.items():
            for _ in range(runs):
                start = time.perf_counter()
                result = fn(*args)
                samples[name].append(time.perf_counter() - start)
                del result
        work()
    SPREAD.setdefault(spread[0], {})[spread[1]] = {name: quartiles(v) for name, v in samples.items()}
    return {name: statistics.median(v) for name, v in samples.items()}


def race(contenders, rounds, warmup, slow=(), spread=None):
    """Median seconds of each contender, {name: (fn, args)}, taking turns every round;
    the quartiles go to SPREAD under spread, a (group, subject) pair.

    The contenders named in slow run every few rounds only (the first one among them,
    a warm-up), for about SLOW_SAMPLES samples."""
    names = list(contenders)
    samples = {name: [] for name in names}
    every = max(1, rounds // SLOW_SAMPLES)
    for r in range(warmup + rounds):
        # The order rotates too, so that no contender always runs right after another.
        order = names[r % len(names):] + names[:r % len(names)]
        sample_steadiness()
        for name in order:
            if name in slow and r % every:
                continue
            fn, args = contenders[name]
            elapsed = timed(fn, *args)
            if r >= warmup:
                samples[name].append(elapsed)
    if spread is not None:
        SPREAD.setdefault(spread[0], {})[spread[1]] = {name: quartiles(v) for name, v in samples.items()}
    return {name: statistics.median(v) for name, v in samples.items()}


def module_open(data):
    return SimpleImage.open(data)


def pillow_open(data):
    im = Image.open(io.BytesIO(data))
    im.load()
    return im


def pypng_open(data):
    # read_flat decodes every row into one array; read() alone would hand back a lazy iterator.
    return png.Reader(bytes=data).read_flat()


def pyspng_open(data):
    return pyspng.load(data)  # a numpy array of every pixel


def libdeflate_inflate(payload, size):
    # libdeflate inflates in one call into a buffer of the size given, here that of the scanlines.
    return deflate.zlib_decompress(payload, size)


class LinkedInflater:
    """libdeflate's inflate as the module links it (Debian's, where the `deflate` package
    bundles a newer release), into an output buffer kept between calls: the floor of the
    library the module runs on."""

    def __init__(self, lib):
        lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
        lib.libdeflate_zlib_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                   ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        self.lib, self.decompressor = lib, lib.libdeflate_alloc_decompressor()
        self.out = ctypes.create_string_buffer(0)

    def __call__(self, payload, size):
        if len(self.out) < size:
            self.out = ctypes.create_string_buffer(size)
        if self.lib.libdeflate_zlib_decompress(self.decompressor, payload, len(payload), self.out, size, None):
            raise ValueError("libdeflate refused the data")


def pypng_save(path, width, height, alpha, flat):
    with open(path, "wb") as f:
        png.Writer(width, height, greyscale=False, alpha=alpha).write_array(f, flat)
