"""Reading a session's journal file (written by ``Trading(..., journal=folder)``).

A file begins with the eight bytes ``MAGIC``, then records, each framed as

    length   unsigned LEB128 varint: the number of bytes of kind and body
    kind     one byte (``KINDS``)
    body     length - 1 bytes
    crc      four bytes, little-endian: CRC-32 (as ``zlib.crc32``) of length, kind and body

A file holds one or more segments: each begins with a HEADER record, whose body is JSON naming the format
and its version, the writer, the account, the segment id, and the tables a reader needs (record kinds,
value tags, the name table). A segment then either STARTs a session or CONTINUES one from an earlier file
(at a new trading day). Record bodies are values in a tagged encoding (``TAGS``): the first byte of each
value is its tag; varints are LEB128, ints zigzag varints, floats eight bytes little-endian, texts UTF-8
with a varint length, "name" a varint index into the header's name table, containers a varint count
then their items (a dict's keys and values alternating). A password or an authentication code is
written as ``ABSENT``. Clock readings (MONO, IDLE) use their own compact form: see ``_clock``.

What each kind's body holds:

    start          {"config", "timeout", "limits", "segment", "wall", "mono"}: the pre-trade limits by setting
                   name (None without); wall and mono time the records
    continues      {"file", "segment", "records"}: the session of that segment in that file goes on here
    run, resume    empty: the run loop started; it resumed after a pause (one pass begins)
    idle           a varint n, then n clock readings: n passes that polled nothing and read the clock once
    poll           the event records of one poll (a list of dicts), or the exception it raised
    request        method, request id, payload, result (an int, or the exception the adapter raised)
    open           None, or the exception raised while making the adapter
    mono, wall     one reading of the monotonic clock (seconds) and of the wall clock (ms since the epoch)
    insert         (symbol, direction, offset, volume, limit_price); insert_result: the results
    cancel         the order id; cancel_result: the results
    commit         (result, [(kind, key, {field: value} or {names}), ...]) as the commit published it
    view           the symbol of a position_view call
    close          empty: close() was called
    run_end        the exception that ended the run loop
    incomplete     {"records", "bytes", "reason"}: what is missing here, and why
    end            None: the journal was closed; {"next": file}: the session goes on in that file
"""

from __future__ import annotations

import datetime as _dt
import json
import struct
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "MAGIC", "KINDS", "TAGS", "ABSENT", "Absent", "Other", "Obj", "Exc", "JournalError", "Record", "Segment",
    "Journal", "read", "TZ",
]

MAGIC = b"\x89VKJ\r\n\x1a\n"
KINDS = ("", "header", "start", "continues", "run", "resume", "idle", "poll", "request", "open", "mono", "wall",
         "insert", "insert_result", "cancel", "cancel_result", "commit", "view", "close", "run_end", "incomplete",
         "end")
TAGS = ("none", "false", "true", "int", "bigint", "float", "str", "name", "dict", "list", "tuple", "bytes", "set",
        "absent", "other", "object", "exception")
MAX_RECORD = 64 << 20
TZ = _dt.timezone(_dt.timedelta(hours=8))  # exchange time


class Absent:
    """A value the journal never writes: a password or an authentication code."""

    _instance: Absent | None = None

    def __new__(cls) -> Absent:
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "<absent>"


ABSENT = Absent()


@dataclass(frozen=True)
class Other:
    """A value of a type the journal does not encode: its type and repr."""
    type: str
    repr: str


@dataclass(frozen=True)
class Obj:
    """An object written with its fields (a TradingResult)."""
    type: str
    fields: dict[str, Any]

    def __hash__(self) -> int:
        return hash((self.type, tuple(self.fields)))


@dataclass(frozen=True)
class Exc:
    """An exception: its type's qualified name and its args."""
    type: str
    args: tuple[Any, ...]


class JournalError(Exception):
    """A file that is not a journal, or a corrupt record: the message carries the offset."""

    def __init__(self, message: str, offset: int | None = None):
        super().__init__(message if offset is None else f"{message} (at byte offset {offset})")
        self.offset = offset


@dataclass
class Segment:
    header: dict[str, Any]
    file: Path
    start: dict[str, Any] | None = None
    continues: dict[str, Any] | None = None


@dataclass
class Record:
    number: int        # 1-based, in the file
    offset: int        # byte offset of its frame
    kind: str
    value: Any
    segment: Segment = field(repr=False)
    time: float | None = None   # wall-clock seconds, from the session's monotonic readings
    passes: int = 0             # run-loop passes begun in this segment so far


@dataclass
class Journal:
    path: Path
    records: list[Record] = field(default_factory=list)
    segments: list[Segment] = field(default_factory=list)
    truncated: str | None = None  # what was cut off at the end, if anything


def _varint(data: bytes | memoryview, at: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if at >= len(data):
            raise IndexError
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value, at
        shift += 7
        if shift > 63:
            raise ValueError("varint too long")


def _unzigzag(z: int) -> int:
    return (z >> 1) ^ -(z & 1)


class _Decoder:
    def __init__(self, data: bytes, names: list[str]):
        self.data = data
        self.at = 0
        self.names = names

    def varint(self) -> int:
        value, self.at = _varint(self.data, self.at)
        return value

    def raw(self, n: int) -> bytes:
        if self.at + n > len(self.data):
            raise IndexError
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk

    def text(self) -> str:
        return self.raw(self.varint()).decode("utf-8", "surrogatepass")

    def value(self) -> Any:
        tag = self.data[self.at]
        self.at += 1
        if tag == 0:
            return None
        if tag == 1:
            return False
        if tag == 2:
            return True
        if tag == 3:
            return _unzigzag(self.varint())
        if tag == 4:
            return int(self.raw(self.varint()).decode("ascii"))
        if tag == 5:
            return struct.unpack("<d", self.raw(8))[0]
        if tag == 6:
            return self.text()
        if tag == 7:
            return self.names[self.varint()]
        if tag == 8:
            n = self.varint()
            d = {}
            for _ in range(n):
                k = self.value()
                d[k] = self.value()
            return d
        if tag == 9:
            return [self.value() for _ in range(self.varint())]
        if tag == 10:
            return tuple(self.value() for _ in range(self.varint()))
        if tag == 11:
            return self.raw(self.varint())
        if tag == 12:
            return frozenset(self.value() for _ in range(self.varint()))
        if tag == 13:
            return ABSENT
        if tag == 14:
            return Other(self.text(), self.text())
        if tag == 15:
            return Obj(self.value(), self.value())
        if tag == 16:
            return Exc(self.text(), self.value())
        raise ValueError(f"unknown value tag {tag}")

    def clock(self, base: list[int]) -> Any:
        """A clock reading: an even varint 2*zigzag(ns - base) with the value float(ns) / 1e9; 1 and eight
        bytes of a double; 3 and a value."""
        u = self.varint()
        if u & 1 == 0:
            ns = base[0] + _unzigzag(u >> 1)
            base[0] = ns
            return float(ns) / 1e9
        if u == 1:
            return struct.unpack("<d", self.raw(8))[0]
        if u == 3:
            return self.value()
        raise ValueError(f"unknown clock form {u}")

    def done(self) -> bool:
        return self.at >= len(self.data)


def _body(kind: str, body: bytes, names: list[str]) -> Any:
    if kind == "header":
        return json.loads(body.decode("utf-8"))
    d = _Decoder(body, names)
    if not body:
        return None
    if kind == "mono":
        value = d.clock([0])
    elif kind == "idle":
        base = [0]
        value = [d.clock(base) for _ in range(d.varint())]
    elif kind == "request":
        value = (d.value(), d.value(), d.value(), d.value())
    else:
        value = d.value()
    if not d.done():
        raise ValueError(f"{len(body) - d.at} bytes left over")
    return value


def read(path: str | Path) -> Journal:
    """Reads every record of a file. A last record cut short is left out and told in ``truncated``;
    a corrupt record raises JournalError with its offset."""
    path = Path(path)
    data = path.read_bytes()
    if data[:len(MAGIC)] != MAGIC:
        raise JournalError(f"{path} is not a velkor journal (wrong magic)", 0)
    journal = Journal(path)
    view = memoryview(data)
    at = len(MAGIC)
    segment: Segment | None = None
    names: list[str] = []
    base_wall = base_mono = None
    passes = 0
    now: float | None = None
    while at < len(data):
        start = at
        try:
            length, body_at = _varint(view, at)
        except IndexError:
            journal.truncated = f"the last record (at byte offset {start}) is cut short: its length is incomplete"
            break
        except ValueError:
            raise JournalError("corrupt record: its length is not a varint", start) from None
        if length == 0 or length > MAX_RECORD:
            raise JournalError(f"corrupt record: length {length}", start)
        end = body_at + length
        if end + 4 > len(data):
            journal.truncated = (f"the last record (at byte offset {start}) is cut short: "
                                 f"{len(data) - start} of {end + 4 - start} bytes")
            break
        (crc,) = struct.unpack_from("<I", data, end)
        if zlib.crc32(view[start:end]) != crc:
            raise JournalError(f"corrupt record {len(journal.records) + 1}: checksum mismatch", start)
        code = data[body_at]
        if code == 0 or code >= len(KINDS):
            raise JournalError(f"corrupt record {len(journal.records) + 1}: unknown kind {code}", start)
        kind = KINDS[code]
        body = bytes(view[body_at + 1:end])
        try:
            value = _body(kind, body, names)
        except (ValueError, IndexError, KeyError, TypeError, RecursionError, UnicodeDecodeError) as e:
            raise JournalError(f"corrupt record {len(journal.records) + 1} ({kind}): {e}", start) from None
        if kind == "header":
            if not isinstance(value, dict) or value.get("format") != "velkor-journal":
                raise JournalError("a header of another format", start)
            names = value.get("names", [])
            if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
                raise JournalError(f"corrupt record {len(journal.records) + 1} (header): its names are not texts",
                                   start)
            names = list(names)
            segment = Segment(value, path)
            journal.segments.append(segment)
            passes = 0
        elif segment is None:
            raise JournalError("a record before the first header", start)
        if kind == "start":
            segment.start = value
            base_wall, base_mono = value.get("wall"), value.get("mono")
            now = base_wall
        elif kind == "continues":
            segment.continues = value
        elif kind in ("mono", "idle") and base_wall is not None and isinstance(base_mono, float):
            reading = value[-1] if kind == "idle" and value else value
            if isinstance(reading, (int, float)):
                now = base_wall + (reading - base_mono)
        if kind == "resume" or kind == "run":
            passes += 1
        elif kind == "idle":
            passes += len(value)
        journal.records.append(Record(len(journal.records) + 1, start, kind, value, segment, now, passes))
        at = end + 4
    return journal


def iter_files(folder: Path, stem: str) -> Iterator[Path]:
    """The files of an account in a folder (its sibling files of other days included)."""
    yield from sorted(folder.glob(stem + "*.vkj"))
