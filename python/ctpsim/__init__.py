"""Simulated CTP trading front and broker counter, for tests, benchmarks and the demo."""

from .front import Connection, Front, Request

__all__ = ["Front", "Connection", "Request", "Counter"]


def __getattr__(name):
    # The counter is imported on first use, so the front works on its own.
    if name == "Counter":
        from .counter import Counter

        return Counter
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
