"""Simulated CTP trading fronts: the Python face of the stand-in API's process-wide front registry."""

import operator
import struct
import weakref

from . import _front
from ._front import Connection

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


def decode(record, raw):
    """Every field of `record` by name: strings as bytes up to the first NUL, chars as one byte, ints, floats."""
    size, fields = _RECORDS[record]
    if len(raw) != size:
        raise ValueError(f"{record} has {size} bytes, got {len(raw)}")
    out = {}
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

    def __init__(self, connection, method, request_id, record):
        self.connection = connection
        self.method = method
        self.request_id = request_id
        self.record = record
        self._fields = None

    @property
    def fields(self):
        if self._fields is None:
            self._fields = decode(_front.REQUESTS[self.method], self.record)
        return self._fields

    def __repr__(self):
        return f"<Request {self.method} id={self.request_id} connection={self.connection.id}>"


def _c_int(value, what, high=_INT_MAX):
    """`value` as an int of the C API: TypeError when it is no int, ValueError when it does not fit."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, got {type(value).__name__}") from None
    if not _INT_MIN <= value <= high:
        raise ValueError(f"{what} {value} does not fit in a C int")
    return value


def _check_timeout(timeout):
    timeout = float(timeout)
    if timeout != timeout or timeout < 0:
        raise ValueError("timeout must be a non-negative number of seconds")
    return timeout


def _request_hook(front_ref):
    # Holds the front weakly: a front nobody refers to any more is collected, which closes it.
    def on_request(connection, method, request_id, record):
        front = front_ref()
        if front is None:
            return -1
        return front._on_request(connection, method, request_id, record)

    return on_request


class Front:
    """A simulated trading front registered at `address`; APIs whose front address matches connect to it.

    It stays registered until `close` (or the end of a `with` block) or until it is garbage collected."""

    def __init__(self, address=None):
        if address is not None:
            if not isinstance(address, str):
                raise TypeError("address must be a str")
            if not address:
                raise ValueError("address must not be empty")
        self._core = _front.FrontCore(address or "")
        self.requests = []
        self.handler = None
        self._core.set_hook(_request_hook(weakref.ref(self)))

    def _on_request(self, connection, method, request_id, record):
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
    def handler(self):
        """Called with each `Request` inside the request call; its int is the call's result (None: 0)."""
        return self._handler

    @handler.setter
    def handler(self, handler):
        if handler is not None and not callable(handler):
            raise TypeError("handler must be callable or None")
        self._handler = handler

    @property
    def address(self):
        return self._core.address

    @property
    def accepting(self):
        return self._core.accepting

    @accepting.setter
    def accepting(self, value):
        self._core.accepting = bool(value)

    @property
    def retry_interval(self):
        return self._core.retry_interval

    @retry_interval.setter
    def retry_interval(self, seconds):
        self._core.retry_interval = float(seconds)

    @property
    def connections(self):
        return self._core.connections()

    def wait_connection(self, timeout=5.0):
        connection = _front.wait_connection(self._core, _check_timeout(timeout))
        if connection is None:
            raise TimeoutError(f"no API connected to {self.address} within {timeout} s")
        return connection

    def _delivery(self, callback, data, error):
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

    def send(self, conn, callback, data=None, error=None, request_id=0, last=True, *, reason=0):
        """Delivers one callback on the API's own thread, after everything sent to `conn` before it."""
        raw, info = self._delivery(callback, data, error)
        request_id = _c_int(request_id, "request_id")
        reason = _c_int(reason, "reason")
        self._core.send(conn, callback, raw, info, request_id, bool(last), reason, 1)

    def burst(self, conn, callback, data, count, error=None, request_id=0, last=True):
        """Delivers `count` copies of one callback back to back from the API's thread."""
        count = operator.index(count)
        if count < 0:
            raise ValueError("count must not be negative")
        if count > _COUNT_MAX:
            raise ValueError(f"count {count} is too large")
        raw, info = self._delivery(callback, data, error)
        request_id = _c_int(request_id, "request_id")
        self._core.send(conn, callback, raw, info, request_id, bool(last), 0, count)

    def flush(self, timeout=5.0):
        """Returns when every callback sent so far has returned from the SPI."""
        if not _front.flush(self._core, _check_timeout(timeout)):
            raise TimeoutError(f"callbacks of {self.address} still pending after {timeout} s")

    def disconnect(self, conn=None, reason=0x1001):
        """Drops one connection (None: all) with OnFrontDisconnected(reason); the API then retries."""
        self._core.disconnect(conn, _c_int(reason, "reason"))

    def close(self):
        """Disconnects everything and unregisters the address."""
        self._core.close()

    @property
    def closed(self):
        return self._core.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<Front {self.address}{' closed' if self.closed else ''}>"
