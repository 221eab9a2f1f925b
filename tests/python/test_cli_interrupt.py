"""Ctrl-C, sent by pid to the command: the queued files are dropped, the files under way
finish, the summary says so and the status is 130."""
import contextlib
import os
import re
import signal
import subprocess
import time

import pytest

from clitools import command, dask_cluster, env, slow_png, tree

FILES = 300


@pytest.mark.parametrize("where", [["--jobs", 1], ["--jobs", 2], ["--scheduler"]],
                         ids=["1 thread", "2 threads", "dask"])
def test_first_interrupt_stops_the_run(SI, tmp_path, where):
    (tmp_path / "in").mkdir()
    for i in range(FILES):
        (tmp_path / "in" / f"{i:03}.png").write_bytes(slow_png())
    with contextlib.ExitStack() as stack:
        if where == ["--scheduler"]:
            pytest.importorskip("distributed")
            where = where + [stack.enter_context(dask_cluster(tmp_path, workers=1))]
        stdout, stderr, status = interrupted(tmp_path, where)
    assert status == 130, stdout + stderr
    found = re.match(r"interrupted: converted (\d+), skipped 0, failed 0, not started (\d+); ", stdout.splitlines()[-1])
    assert found, stdout + stderr
    converted, not_started = map(int, found.groups())
    assert converted + not_started == FILES and not_started > 0
    # Every output is whole, and nothing else was left behind.
    written = tree(tmp_path / "out")
    assert len(written) == converted and all(name.endswith(".png") for name in written)
    for name in written:
        assert SI.open(str(tmp_path / "out" / name))._pixels == SI.open(str(tmp_path / "in" / name))._pixels


def interrupted(folder, where):
    """Runs a conversion at level 12 and sends it SIGINT once its first output is on disk."""
    child = subprocess.Popen(command("convert", "in", "-o", "out", "--compress-level", 12, *where),
                             cwd=folder, env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The handshake: the first output on disk means the run is under way.
        deadline = time.monotonic() + 120
        while not (folder / "out").is_dir() or not any(n.endswith(".png") for n in os.listdir(folder / "out")):
            assert child.poll() is None and time.monotonic() < deadline, "no output appeared"
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    return stdout, stderr, child.returncode
