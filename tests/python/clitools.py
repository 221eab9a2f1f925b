"""Runs the vextaro command as a user does, `python -m Vextaro` in a process of its own,
and makes the files it is given."""
import contextlib
import functools
import json
import os
import random
import subprocess
import sys
import time

from conftest import ROOT
from pngtools import image, scanlines


def env(**extra):
    return dict(os.environ, PYTHONPATH=ROOT, **extra)


def command(*args):
    return [sys.executable, "-m", "Vextaro", *map(str, args)]


# The command as user nobody. The interpreter may live where nobody cannot read (a
# pyenv under /root): the process starts as root, imports what the command needs and
# then gives up its privileges for good.
AS_NOBODY = """
import importlib, locale, os, pkgutil, sys, encodings.latin_1, encodings.utf_8
import Vextaro.cli
for module in pkgutil.iter_modules(Vextaro.__path__):
    importlib.import_module("Vextaro." + module.name)
os.setgroups([]); os.setgid(65534); os.setuid(65534)
sys.exit(Vextaro.cli.main(sys.argv[1:]))
"""


def vextaro(*args, cwd, status=0, env=None, nobody=False, stdin=None):
    """Runs the command to its end, as user nobody where asked."""
    argv = [sys.executable, "-c", AS_NOBODY, *map(str, args)] if nobody else command(*args)
    done = subprocess.run(argv, cwd=cwd, capture_output=True, input=stdin, timeout=300,
                          env=env or globals()["env"](), text=stdin is None)
    shown = done.stdout + done.stderr if stdin is None else done.stderr
    assert done.returncode == status, shown
    if stdin is None:
        assert "[SimpleImage]" not in done.stdout
    return done


def tree(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, files in os.walk(folder) for f in files)


def noisy_png(width=32, height=32, seed=0):
    """An RGB PNG that compresses badly, so that re-encoding it gains nothing."""
    rnd = random.Random(seed)
    return image(width, height, scanlines([0] * height, [rnd.randbytes(width * 3) for _ in range(height)]))


@functools.lru_cache(None)
def slow_png():
    """A PNG that takes level 12 a good 20 ms to compress."""
    rnd = random.Random(1)
    rows = [bytes((x * 3 + y + rnd.randint(0, 3)) % 256 for x in range(256 * 3)) for y in range(256)]
    return image(256, 256, scanlines([1] * 256, rows))



@contextlib.contextmanager
def dask_cluster(folder, workers=0):
    """A Dask scheduler on 127.0.0.1 with `workers` workers of two threads, run in
    `folder`; yields its address."""
    address_file = folder / "scheduler.json"
    started = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(address_file)], env=env(), cwd=folder,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() or not address_file.read_text().strip():
            assert time.monotonic() < deadline and started[0].poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        address = json.loads(address_file.read_text())["address"]
        started += [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "2", "--no-dashboard",
             "--host", "127.0.0.1"], cwd=folder, env=env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(workers)]
        yield address
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(30)
