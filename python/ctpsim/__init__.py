"""Simulated CTP trading front and broker counter, for tests, benchmarks and the demo."""

from typing import TYPE_CHECKING, Any

from .front import Connection, Front, Request

__all__ = ["Front", "Connection", "Request", "Counter"]

if TYPE_CHECKING:
    from .counter import Counter


def __getattr__(name: str) -> Any:
    # The counter is imported on first use, so the front works on its own.
    if name == "Counter":
        from .counter import Counter

        return Counter
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
