"""Simulated CTP trading front and broker counter, for tests, benchmarks and the demo. The front's native part,
`ctpsim._front`, is built from python/ctpsim-front."""

from importlib.util import find_spec as _find_spec
from typing import TYPE_CHECKING, Any

if _find_spec(f"{__name__}._front") is None:
    # Left out of builds against a vendor CTP SDK: the simulated front runs on the stand-in CTP library, which
    # exports the same symbols as the vendor's and so cannot share a process with it.
    raise ModuleNotFoundError(
        "ctpsim is not available in this build of velkor: it was built against a vendor CTP SDK (VELKOR_CTP_SDK), "
        "and the simulated front runs only on the stand-in CTP library, which cannot share a process with the "
        "vendor's (they export the same symbols). Build without VELKOR_CTP_SDK to use ctpsim.",
        name=f"{__name__}._front")

from .front import Connection, Front, Request  # noqa: E402

__all__ = ["Front", "Connection", "Request", "Counter"]

if TYPE_CHECKING:
    from .counter import Counter


def __getattr__(name: str) -> Any:
    # The counter is imported on first use, so the front works on its own.
    if name == "Counter":
        from .counter import Counter

        return Counter
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
