"""Simulated CTP trading fronts: the Python face of the stand-in API's process-wide front registry."""

import codecs
import operator
import struct
import weakref

from . import _front
from ._front import Connection

__all__ = ["Front", "Connection", "Request"]

_INT = struct.Struct("=i")
_DOUBLE = struct.Struct("=d")
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_GB18030 = codecs.getencoder("gb18030")

# record name -> (size, {field name: (offset, size, kind)}), fields in declaration order
_RECORDS = {
    name: (size, {field: (offset, width, kind) for field, offset, width, kind in fields})
    for name, (size, fields) in _front.RECORDS.items()
}


def _encode_field(name, kind, width, value):
    if kind == "s":
        if isinstance(value, str):
            try:
                value = value.encode() if value.isascii() else _GB18030(value)[0]
            except UnicodeEncodeError:
                raise ValueError(f"{name}: text not encodable as GB18030") from None
        elif not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"{name}: expected str or bytes, got {type(value).__name__}")
        value = bytes(value)
        if len(value) > width:
            raise ValueError(f"{name}: {len(value)} bytes do not fit in {width}")
        return value
    if kind == "c":
        if isinstance(value, (bytes, bytearray)):
            if len(value) != 1:
                raise ValueError(f"{name}: a char field takes exactly one byte")
            return bytes(value)
        if isinstance(value, str):
            if len(value) != 1 or ord(value) > 255:
                raise ValueError(f"{name}: a char field takes one character with code point 0 to 255")
            return bytes([ord(value)])
        if isinstance(value, int):
            if not 0 <= value <= 255:
                raise ValueError(f"{name}: byte value {value} out of 0..255")
            return bytes([value])
        raise TypeError(f"{name}: expected bytes, str or int, got {type(value).__name__}")
    if kind == "i":
        try:
            value = operator.index(value)
        except TypeError:
            raise TypeError(f"{name}: expected int, got {type(value).__name__}") from None
        if not _INT_MIN <= value <= _INT_MAX:
            raise ValueError(f"{name}: {value} does not fit in a 32-bit int")
        return _INT.pack(value)
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"{name}: expected float, got {type(value).__name__}")
    try:
        return _DOUBLE.pack(float(value))
    except TypeError:
        raise TypeError(f"{name}: expected float, got {type(value).__name__}") from None


def encode(record, data):
    """Builds the bytes of `record` from field values by name; fields not given are zero."""
    size, fields = _RECORDS[record]
    if not isinstance(data, dict):
        raise TypeError(f"record data must be a dict, got {type(data).__name__}")
    raw = bytearray(size)
    for name, value in data.items():
        try:
            offset, width, kind = fields[name]
        except (KeyError, TypeError):
            raise KeyError(f"{record} has no field {name!r}") from None
        cls = type(value)
        if cls is str and kind == "s" and value.isascii() and len(value) <= width:
            raw[offset:offset + len(value)] = value.encode()
        elif cls is float and kind == "d":
            _DOUBLE.pack_into(raw, offset, value)
        elif cls is int and kind == "i" and _INT_MIN <= value <= _INT_MAX:
            _INT.pack_into(raw, offset, value)
        else:
            packed = _encode_field(name, kind, width, value)
            raw[offset:offset + len(packed)] = packed
    return bytes(raw)


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
        handler = self.handler
        if handler is None:
            return 0
        result = handler(request)
        return 0 if result is None else result

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
        connection = self._core.wait_connection(_check_timeout(timeout))
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
        self._core.send(conn, callback, raw, info, request_id, bool(last), reason, 1)

    def burst(self, conn, callback, data, count, error=None, request_id=0, last=True):
        """Delivers `count` copies of one callback back to back from the API's thread."""
        count = operator.index(count)
        if count < 0:
            raise ValueError("count must not be negative")
        raw, info = self._delivery(callback, data, error)
        self._core.send(conn, callback, raw, info, request_id, bool(last), 0, count)

    def flush(self, timeout=5.0):
        """Returns when every callback sent so far has returned from the SPI."""
        if not self._core.flush(_check_timeout(timeout)):
            raise TimeoutError(f"callbacks of {self.address} still pending after {timeout} s")

    def disconnect(self, conn=None, reason=0x1001):
        """Drops one connection (None: all) with OnFrontDisconnected(reason); the API then retries."""
        self._core.disconnect(conn, reason)

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
