"""A scheduler that is no address, down, or without workers: a line saying what the
command waits for, at most --timeout seconds, then one line and exit 2."""
import os
import socket

import pytest

from clitools import dask_cluster, noisy_png, vextaro


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def idle_scheduler(tmp_path):
    """A scheduler that no worker joins."""
    with dask_cluster(tmp_path) as address:
        yield address


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
