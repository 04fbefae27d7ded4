"""Simulated CTP trading fronts: the Python face of the process-wide registry of simulated fronts that the
stand-in CTP library's API instances connect to (native part: python/ctpsim-front)."""

from __future__ import annotations

import operator
import struct
import weakref
from collections.abc import Callable, Mapping
from typing import SupportsIndex, TypeAlias

from . import _front
from ._front import Connection

# A field value as `send` takes it: bytes as they are, str as GB18030, a one-byte or one-character char,
# or a number.
FieldValue: TypeAlias = bytes | str | int | float

__all__ = ["Front", "Connection", "Request"]

_INT = struct.Struct("=i")
_DOUBLE = struct.Struct("=d")
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_COUNT_MAX = 2**63 - 1

# record name -> (size, {field name: (offset, size, kind)}), fields in declaration order
_RECORDS = {
    name: (size, {field: (offset, width, kind) for field, offset, width, kind in fields})
    for name, (size, fields) in _front.RECORDS.items()
}


# encode(record, data): the bytes of `record` from field values by name; fields not given are zero.
# str is encoded as GB18030, bytes go in as they are (at most the field's size; exactly its size leaves no NUL);
# a char takes one byte, one character (code point 0 to 255) or an int 0 to 255; ints must fit in 32 bits.
# An unknown field raises KeyError, a value of the wrong type TypeError, one that does not fit ValueError.
encode = _front.encode


def decode(record: str, raw: bytes) -> dict[str, bytes | int | float]:
    """Every field of `record` by name: strings as bytes up to the first NUL, chars as one byte, ints, floats."""
    size, fields = _RECORDS[record]
    if len(raw) != size:
        raise ValueError(f"{record} has {size} bytes, got {len(raw)}")
    out: dict[str, bytes | int | float] = {}
    for name, (offset, width, kind) in fields.items():
        if kind == "s":
            out[name] = raw[offset:offset + width].split(b"\0", 1)[0]
        elif kind == "c":
            out[name] = raw[offset:offset + 1]
        elif kind == "i":
            out[name] = _INT.unpack_from(raw, offset)[0]
        else:
            out[name] = _DOUBLE.unpack_from(raw, offset)[0]
    return out


class Request:
    """One request that reached a front: its connection, name, request id and the record as sent."""

    __slots__ = ("connection", "method", "request_id", "record", "_fields")

    def __init__(self, connection: Connection, method: str, request_id: int, record: bytes):
        self.connection = connection
        self.method = method
        self.request_id = request_id
        self.record = record
        self._fields: dict[str, bytes | int | float] | None = None

    @property
    def fields(self) -> dict[str, bytes | int | float]:
        """Every field of the record by name: strings as bytes up to the first NUL, chars as one byte,
        ints, floats."""
        if self._fields is None:
            self._fields = decode(_front.REQUESTS[self.method], self.record)
        return self._fields

    def __repr__(self) -> str:
        return f"<Request {self.method} id={self.request_id} connection={self.connection.id}>"


def _c_int(value: SupportsIndex, what: str, high: int = _INT_MAX) -> int:
    """`value` as an int of the C API: TypeError when it is no int, ValueError when it does not fit."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, got {type(value).__name__}") from None
    if not _INT_MIN <= value <= high:
        raise ValueError(f"{what} {value} does not fit in a C int")
    return value


def _check_timeout(timeout: float) -> float:
    timeout = float(timeout)
    if timeout != timeout or timeout < 0:
        raise ValueError("timeout must be a non-negative number of seconds")
    return timeout


def _request_hook(front_ref: weakref.ref[Front]) -> Callable[[Connection, str, int, bytes], int]:
    # Holds the front weakly: a front nobody refers to any more is collected, which closes it.
    def on_request(connection: Connection, method: str, request_id: int, record: bytes) -> int:
        front = front_ref()
        if front is None:
            return -1
        return front._on_request(connection, method, request_id, record)

    return on_request


class Front:
    """A simulated trading front registered at `address`; APIs whose front address matches connect to it.

    It stays registered until `close` (or the end of a `with` block) or until it is garbage collected."""

    def __init__(self, address: str | None = None):
        """Registers a front at `address`, or at a fresh unique "tcp://127.0.0.1:<port>" when None."""
        if address is not None:
            if not isinstance(address, str):
                raise TypeError("address must be a str")
            if not address:
                raise ValueError("address must not be empty")
        self._core = _front.FrontCore(address or "")
        self.requests: list[Request] = []
        self._handler: Callable[[Request], int | None] | None = None
        self._core.set_hook(_request_hook(weakref.ref(self)))

    def _on_request(self, connection: Connection, method: str, request_id: int, record: bytes) -> int:
        request = Request(connection, method, request_id, record)
        self.requests.append(request)
        handler = self._handler
        if handler is None:
            return 0
        try:
            result = handler(request)
        finally:
            request._fields = None  # the log keeps the record only; `fields` decodes it again when read
        return 0 if result is None else _c_int(result, "request handler result")

    @property
    def handler(self) -> Callable[[Request], int | None] | None:
        """Called with each `Request` inside the request call; its int is the call's result (None: 0)."""
        return self._handler

    @handler.setter
    def handler(self, handler: Callable[[Request], int | None] | None) -> None:
        if handler is not None and not callable(handler):
            raise TypeError("handler must be callable or None")
        self._handler = handler

    @property
    def address(self) -> str:
        """The front address APIs register to reach this front."""
        return self._core.address

    @property
    def accepting(self) -> bool:
        """True by default; while False no API can connect (APIs keep retrying)."""
        return self._core.accepting

    @accepting.setter
    def accepting(self, value: bool) -> None:
        self._core.accepting = bool(value)

    @property
    def retry_interval(self) -> float:
        """Seconds between the connection attempts of an API that is not connected (default 0.2)."""
        return self._core.retry_interval

    @retry_interval.setter
    def retry_interval(self, seconds: float) -> None:
        self._core.retry_interval = float(seconds)

    @property
    def connections(self) -> list[Connection]:
        """The APIs connected now, in order of connection."""
        return self._core.connections()

    def wait_connection(self, timeout: float = 5.0) -> Connection:
        """The oldest connected API, waiting up to `timeout` seconds for one (TimeoutError after)."""
        connection = _front.wait_connection(self._core, _check_timeout(timeout))
        if connection is None:
            raise TimeoutError(f"no API connected to {self.address} within {timeout} s")
        return connection

    def _delivery(self, callback: str, data: Mapping[str, FieldValue] | None,
                  error: tuple[int, str | bytes] | None) -> tuple[bytes | None, bytes | None]:
        try:
            record, shape = _front.CALLBACKS[callback]
        except (KeyError, TypeError):
            raise ValueError(f"unknown callback {callback!r}") from None
        raw = None
        if data is not None:
            if record is None:
                raise ValueError(f"{callback} takes no data record")
            raw = encode(record, data)
        info = None
        if error is not None:
            if shape in ("plain", "reason", "return"):
                raise ValueError(f"{callback} takes no response info")
            try:
                error_id, message = error
            except (TypeError, ValueError):
                raise TypeError("error must be a pair (ErrorID, ErrorMsg)") from None
            info = encode(_front.RSP_INFO, {"ErrorID": error_id, "ErrorMsg": message})
        return raw, info

    def send(self, conn: Connection, callback: str, data: Mapping[str, FieldValue] | None = None,
             error: tuple[int, str | bytes] | None = None, request_id: int = 0, last: bool = True, *,
             reason: int = 0) -> None:
        """Delivers one callback, named as the SPI method ("OnRtnOrder", ...), on the API's own thread, after
        everything sent to `conn` before it.

        data: field values by CTP field name, fields not given are zero; None passes a null record.
        error: (ErrorID, ErrorMsg) as the response info; None passes a null one.
        reason: the reason code of "OnFrontDisconnected".
        """
        raw, info = self._delivery(callback, data, error)
        request_id = _c_int(request_id, "request_id")
        reason = _c_int(reason, "reason")
        self._core.send(conn, callback, raw, info, request_id, bool(last), reason, 1)

    def burst(self, conn: Connection, callback: str, data: Mapping[str, FieldValue] | None, count: int,
              error: tuple[int, str | bytes] | None = None, request_id: int = 0, last: bool = True) -> None:
        """Delivers `count` copies of one callback back to back from the API's thread."""
        count = operator.index(count)
        if count < 0:
            raise ValueError("count must not be negative")
        if count > _COUNT_MAX:
            raise ValueError(f"count {count} is too large")
        raw, info = self._delivery(callback, data, error)
        request_id = _c_int(request_id, "request_id")
        self._core.send(conn, callback, raw, info, request_id, bool(last), 0, count)

    def flush(self, timeout: float = 5.0) -> None:
        """Returns when every callback sent so far has returned from the SPI."""
        if not _front.flush(self._core, _check_timeout(timeout)):
            raise TimeoutError(f"callbacks of {self.address} still pending after {timeout} s")

    def disconnect(self, conn: Connection | None = None, reason: int = 0x1001) -> None:
        """Drops one connection (None: all) with OnFrontDisconnected(reason); the API then retries."""
        self._core.disconnect(conn, _c_int(reason, "reason"))

    def close(self) -> None:
        """Disconnects everything and unregisters the address."""
        self._core.close()

    @property
    def closed(self) -> bool:
        """True once `close` ran."""
        return self._core.closed

    def __enter__(self) -> Front:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Front {self.address}{' closed' if self.closed else ''}>"
