"""A scheduler that is no address, down, or without workers: a line saying what the
command waits for, at most --timeout seconds, then one line and exit 2."""
import json
import os
import socket
import subprocess
import sys
import time

import pytest

from clitools import env, noisy_png, vextaro


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def idle_scheduler(tmp_path):
    """A scheduler that no worker joins."""
    address_file = tmp_path / "scheduler.json"
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(address_file)], env=env(), cwd=tmp_path,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() or not address_file.read_text().strip():
            assert time.monotonic() < deadline and scheduler.poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        yield json.loads(address_file.read_text())["address"]
    finally:
        scheduler.terminate()
        scheduler.wait(30)


@pytest.mark.parametrize("case, waits, last", [
    ("nonsense", [], "vextaro: scheduler nonsense: missing port number in address 'nonsense'"),
    ("down", [], "Timed out trying to connect"),
    ("idle", ["waiting for a worker to join"], "no worker joined within 2 s"),
], ids=["no address", "down", "no worker"])
def test_scheduler_that_cannot_serve(request, tmp_path, case, waits, last):
    pytest.importorskip("distributed")
    address = {"nonsense": "nonsense", "down": f"tcp://127.0.0.1:{free_port()}"}.get(case)
    address = address or request.getfixturevalue("idle_scheduler")
    (tmp_path / "a.png").write_bytes(noisy_png())
    done = vextaro("convert", "a.png", "-o", "out", "--scheduler", address, "--timeout", 2, cwd=tmp_path, status=2)
    lines = done.stderr.splitlines()
    assert lines[0] == f"vextaro: connecting to the scheduler at {address} (up to 2 s)", done.stderr
    assert all(any(wait in line for line in lines[1:-1]) for wait in waits) and last in lines[-1], done.stderr
    assert "Traceback" not in done.stderr and not os.path.exists(tmp_path / "out")
