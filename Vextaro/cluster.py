"""Reaching a Dask cluster for `vextaro convert --scheduler`, within a time limit and
saying what it waits for."""
from __future__ import annotations

import asyncio
import time
from collections.abc import Callable
from typing import Any

__all__ = ["ClusterStop", "Unreachable", "connect"]


class ClusterStop:
    """A stop request that tasks on the workers see: a distributed Event of this name."""

    def __init__(self, name: str) -> None:
        self.name = name

    @property
    def requested(self) -> bool:
        from distributed import Event

        return bool(Event(self.name).is_set())

    def request(self) -> None:
        from distributed import Event

        Event(self.name).set()


class Unreachable(Exception):
    """The scheduler cannot be reached, or has no worker, within the time given."""


def connect(address: str, timeout: float, tell: Callable[[str], None]) -> Any:
    """A distributed.Client of the scheduler at `address` with at least one worker, within
    `timeout` seconds in all; `tell` hears what it is waiting for."""
    from distributed import Client

    started = time.monotonic()
    tell(f"connecting to the scheduler at {address} (up to {timeout:g} s)")
    try:
        client = Client(address, timeout=timeout)
    except (OSError, ValueError, TimeoutError, asyncio.TimeoutError) as error:  # refused, timed out, no address
        raise Unreachable(f"scheduler {address}: {error}") from None
    if not client.scheduler_info().get("workers"):
        left = max(0.0, timeout - (time.monotonic() - started))
        tell(f"waiting for a worker to join the scheduler at {address} (up to {left:.0f} s)")
        try:
            client.wait_for_workers(1, timeout=left)
        except (TimeoutError, asyncio.TimeoutError):
            client.close()
            raise Unreachable(f"scheduler {address}: no worker joined within {timeout:g} s") from None
    return client
