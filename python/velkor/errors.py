"""Errors and retry control of the trading layer."""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable

__all__ = ["VelkorError", "Recovery"]


class VelkorError(Exception):
    """A failure that ends an operation for good; never a transient network or buffer condition."""


class Recovery:
    """Retry control: gives up once ``attempts`` failures fall within ``window`` seconds.

    ``fail()`` records a failure, ``success()`` forgets every failure recorded so far, and
    ``check()`` raises :class:`VelkorError` while the failures that are neither older than
    ``window`` seconds nor followed by a success number ``attempts`` or more. Without
    ``attempts`` it never gives up; without ``window`` failures never age out. ``clock`` reads
    the monotonic time (a session with a journal passes its own, so that the readings are
    recorded); by default ``time.monotonic`` of this module, looked up when used.
    """

    __slots__ = ("label", "attempts", "window", "_failures", "_clock")

    def __init__(self, label: str, attempts: int | None = None, window: float | None = None, *,
                 clock: Callable[[], float] | None = None):
        if attempts is not None and (isinstance(attempts, bool) or not isinstance(attempts, int) or attempts < 1):
            raise ValueError("attempts 必须是正整数")
        if window is not None and (isinstance(window, bool) or not window > 0):
            raise ValueError("window 必须是正数")
        self.label = label
        self.attempts = attempts
        self.window = window
        self._failures: deque[float] = deque()
        self._clock = clock

    def _now(self) -> float:
        return time.monotonic() if self._clock is None else self._clock()

    def begin(self) -> None:
        """Starts a new run: earlier failures no longer count."""
        self._failures.clear()

    def fail(self) -> None:
        """Records one failed attempt."""
        if self.attempts is None:
            return
        self._failures.append(self._now())
        # Only the newest ``attempts`` failures can ever matter.
        while len(self._failures) > self.attempts:
            self._failures.popleft()

    def success(self) -> None:
        """A successful attempt clears the failures recorded before it."""
        self._failures.clear()

    def check(self) -> None:
        """Raises VelkorError once retrying must stop; cheap enough for every loop pass."""
        failures = self._failures
        if self.attempts is None or len(failures) < self.attempts:
            return
        if self.window is not None:
            horizon = self._now() - self.window
            while failures and failures[0] < horizon:
                failures.popleft()
            if len(failures) < self.attempts:
                return
        raise VelkorError(f"{self.label}连续失败 {len(failures)} 次，已停止重试")
