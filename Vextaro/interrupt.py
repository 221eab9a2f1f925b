"""Ctrl-C as a request to stop: a flag the conversion reads, never an exception.

An exception raised at whatever line the main thread is on may break a lock that the
worker threads then wait on for ever; a handler that only sets a flag takes no lock.
"""
from __future__ import annotations

import signal
from types import FrameType, TracebackType
from typing import Protocol

__all__ = ["Interrupt", "Stop"]


class Stop(Protocol):
    """What a conversion asks before it begins and before it saves."""

    @property
    def requested(self) -> bool: ...


class Interrupt:
    """`with Interrupt() as stop:` ... `stop.requested` is True once Ctrl-C was pressed.
    Further presses change nothing: the files under way finish."""

    def __init__(self) -> None:
        self.requested = False
        self._before: object = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True

    def __enter__(self) -> Interrupt:
        self._before = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        signal.signal(signal.SIGINT, self._before)  # type: ignore[arg-type]
