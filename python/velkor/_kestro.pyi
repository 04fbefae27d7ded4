"""Native bridge over the CTP trader API: one handle per API instance, callbacks queued as event records."""

from typing import Any, type_check_only

@type_check_only
class _Handle:
    """The opaque capsule "velkor.ctp" returned by `create`."""

def version() -> str: ...
def create(front: str, path: bytes, /) -> _Handle: ...
def request(handle: _Handle, method: str, data: dict[str, Any], request_id: int, /) -> int: ...
def poll(handle: _Handle, /) -> list[dict[str, Any]]: ...
def close(handle: _Handle, /) -> None: ...
def fileno(handle: _Handle, /) -> int | None:
    """The handle's readiness descriptor, for an event loop to watch: it becomes readable when a callback queues
    an event into an empty queue, and one 8-byte read resets it (then `poll`). Non-blocking; stays open after
    `close` and is closed with the handle. None where the platform offers none."""
