"""Replaying a journal: a new session fed from the file takes the recorded session's decisions again.

The replayed session is a real ``Trading`` built from the recorded configuration, with a stand-in
adapter that answers each poll and request from the file, and with the module-level ``time``,
``asyncio`` and ``mkdtemp`` of ``velkor.trading`` (and ``time`` of ``velkor.errors``, which the retry
controls read) replaced while it runs: every clock reading returns the recorded one, and the run
loop's pauses hand control back to the replay instead of sleeping. The replay drives the run loop's
coroutine itself and makes the user's recorded calls (insert, cancel, commit, position_view, close)
between its passes, in the recorded order.

Whatever the replayed session does differently from the file (a request, a clock reading, a poll or a
result that the file does not have at that point) stops the replay with a ``Difference`` naming the
record.
"""

from __future__ import annotations

import asyncio
import builtins
import importlib
import logging
import math
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .format import ABSENT, Exc, Journal, JournalError, Obj, Other, Record, Segment, read

__all__ = ["Difference", "Replay", "replay_segments", "normalize", "same"]

SECRETS = frozenset({"Password", "AuthCode", "OldPassword", "NewPassword"})


class Difference(BaseException):
    """The replay did something the file does not have at this record. A BaseException, so that no
    handler of the session takes it for a failure of its own."""

    def __init__(self, record: Record | None, message: str):
        where = f"record {record.number} ({record.kind})" if record else "the end of the file"
        super().__init__(f"{where}: {message}")
        self.record = record


class _Continued(BaseException):
    """The file ends where its session goes on in the next day's file."""


@dataclass
class Step:
    record: Record
    kind: str
    value: Any


def expand(records: list[Record]) -> Iterator[Step]:
    """The records one step each; an IDLE record as its passes: resume, an empty poll, the reading."""
    for r in records:
        if r.kind == "idle":
            for reading in r.value:
                yield Step(r, "resume", None)
                yield Step(r, "poll", [])
                yield Step(r, "mono", reading)
        else:
            yield Step(r, r.kind, r.value)


def normalize(value: Any) -> Any:
    """A value as the journal writes it, for comparing what the replay did with what the file has."""
    if isinstance(value, bool) or value is None or isinstance(value, (int, float, str, bytes)):
        return value
    if type(value).__name__ == "TradingResult":
        return Obj("TradingResult", {k: normalize(getattr(value, k)) for k in ("status", "order_id", "message")})
    if isinstance(value, dict):
        return {normalize(k): (ABSENT if k in SECRETS else normalize(v)) for k, v in value.items()}
    if isinstance(value, list):
        return [normalize(v) for v in value]
    if isinstance(value, tuple):
        return tuple(normalize(v) for v in value)
    if isinstance(value, (set, frozenset)):
        return frozenset(normalize(v) for v in value)
    if isinstance(value, BaseException):
        return Exc(_type_name(value), normalize(value.args))
    return Other(_type_name(value), repr(value))


def _type_name(value: Any) -> str:
    t = type(value)
    return t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


def same(a: Any, b: Any) -> bool:
    """Equality in which NaN equals NaN and types must match (1 is not 1.0, nor True)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, Obj):
        return a.type == b.type and same(a.fields, b.fields)
    if isinstance(a, Exc):
        return a.type == b.type and same(a.args, b.args)
    return bool(a == b)


def exception(e: Exc) -> BaseException:
    """The recorded exception raised again: its own class where it can be found, else RuntimeError."""
    module, _, name = e.type.rpartition(".")
    cls: Any = None
    try:
        cls = getattr(importlib.import_module(module), name) if module else getattr(builtins, name, None)
    except (ImportError, AttributeError):
        cls = None
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        cls = RuntimeError
    try:
        raised: BaseException = cls(*e.args)
        return raised
    except Exception:
        return RuntimeError(*e.args)


class _Pause:
    """What the run loop awaits instead of a sleep: one yield back to the replay."""

    def __await__(self) -> Iterator[Any]:
        yield self



class _Asyncio:
    """The module-level ``asyncio`` of the replayed session: sleeps are pauses, the rest is asyncio."""

    def sleep(self, seconds: float) -> _Pause:
        return _Pause()

    def __getattr__(self, name: str) -> Any:
        return getattr(asyncio, name)


class Replay:
    """One pass over a segment chain's steps, driving one replayed session."""

    def __init__(self, steps: list[Step], *, verify: bool, until: float | None = None):
        self.steps = steps
        self.at = 0
        self.verify = verify
        self.until = until
        self.session: Any = None
        self.run: Any = None
        self.run_ended = False
        self.objects: dict[int, object] = {}
        self.stopped: Record | None = None   # where --at stopped the replay
        self.incomplete: list[Record] = []

    # -- the cursor the session reads through
    def take(self, kind: str) -> Step:
        # A new day's file in the middle of a pass: its header and the link to the file before.
        while self.at < len(self.steps) and self.steps[self.at].kind in ("header", "continues", "end") and (
                self.steps[self.at].kind != "end" or self.steps[self.at].value is not None):
            if self.steps[self.at].kind == "end" and self.at + 1 == len(self.steps):
                self.stopped = self.steps[self.at].record
                raise _Continued
            self.at += 1
        if self.at >= len(self.steps):
            raise Difference(None, f"the replay asks for {kind}, the file has nothing more")
        step = self.steps[self.at]
        if step.kind != kind:
            raise Difference(step.record, f"the replay asks for {kind}, the file has {step.kind}")
        self.at += 1
        return step

    # -- stand-ins
    def monotonic(self) -> Any:
        return self.take("mono").value

    def time(self) -> float:
        ms = self.take("wall").value
        return (ms + 0.5) / 1000 if isinstance(ms, int) else ms

    def factory(self, config: Any, directory: Any) -> Any:
        step = self.take("open")
        if isinstance(step.value, Exc):
            raise exception(step.value)
        return _Adapter(self)

    # -- driving
    def advance(self) -> None:
        try:
            yielded = self.run.send(None)
        except StopIteration:
            self.run_ended = True
            return
        if not isinstance(yielded, _Pause):
            raise Difference(self.steps[self.at - 1].record if self.at else None,
                             f"the run loop awaited {yielded!r}, not a pause")

    @staticmethod
    def drive(coroutine: Any) -> Any:
        try:
            while True:
                coroutine.send(None)
        except StopIteration as stop:
            return stop.value

    def expect(self, kind: str, value: Any) -> None:
        step = self.take(kind)
        if self.verify and not same(normalize(value), step.value):
            raise Difference(step.record, f"the replay got {normalize(value)!r}, the file has {step.value!r}")

    def call(self, step: Step) -> None:
        s = self.session
        kind = step.kind
        if kind == "insert":
            try:
                self.expect("insert_result", self.drive(s.insert(*step.value)))
            except Exception as e:
                self.expect("insert_result", e)
        elif kind == "cancel":
            try:
                self.expect("cancel_result", s.cancel(step.value))
            except Exception as e:
                self.expect("cancel_result", e)
        elif kind == "commit":
            changes: dict[int, set[str]] = {}
            result = s.commit(changes)
            got = describe_commit(s, result, changes)
            if self.verify and not same(got, step.value):
                raise Difference(step.record, f"the commit published {got!r}, the file has {step.value!r}")
        elif kind == "view":
            try:
                s.position_view(step.value)
            except Exception:
                pass
        elif kind == "close":
            self.drive(s.close())

    def start(self, step: Step) -> None:
        from velkor.ledgerlet import CtpAccount
        from velkor.trading import Limits, Trading

        value = step.value
        self.objects = {}
        try:
            config = value["config"]
            if isinstance(config, dict):
                config = CtpAccount(**{k: ("replay" if v is ABSENT else v) for k, v in config.items()})
            rules = value.get("limits")
            limits = Limits(**rules) if isinstance(rules, dict) else None
            self.session = Trading(config, value["timeout"], self.objects, native_factory=self.factory,
                                   limits=limits)
        except Difference:
            raise
        except Exception as e:
            raise Difference(step.record, f"no session can be built from this start: {e!r}") from None
        self.run = None
        self.run_ended = False

    def play(self) -> None:
        try:
            self._play()
        except _Continued:
            pass

    def _play(self) -> None:
        while self.at < len(self.steps):
            step = self.steps[self.at]
            if self.until is not None and step.record.time is not None and step.record.time > self.until:
                self.stopped = step.record
                return
            self.at += 1
            kind = step.kind
            if kind in ("header", "continues"):
                continue
            if kind == "incomplete":
                self.incomplete.append(step.record)
                return  # what follows lacks what came before it
            if kind == "end":
                if step.value is None:
                    return
                if self.at == len(self.steps):
                    self.stopped = step.record
                    return
                continue
            if kind == "start":
                self.start(step)
            elif self.session is None:
                raise Difference(step.record, "a record of a session whose start is not in the file")
            elif kind == "run":
                self.run = self.session.run()
                self.advance()
            elif kind == "resume":
                if self.run is None or self.run_ended:
                    raise Difference(step.record, "the run loop resumes here, but the replay's has ended")
                self.advance()
            elif kind == "run_end":
                if not self.run_ended:
                    raise Difference(step.record, "the run loop ended here, the replay's goes on")
            elif kind in ("insert", "cancel", "commit", "view", "close"):
                self.call(step)
            else:
                raise Difference(step.record, f"the file has {kind} here, the replayed session did not ask for it")
            if self.run_ended and self.at < len(self.steps) and self.steps[self.at].kind not in (
                    "run_end", "insert", "cancel", "commit", "view", "close", "end", "incomplete", "header"):
                raise Difference(self.steps[self.at].record, "the replay's run loop ended before this record")


class _Adapter:
    def __init__(self, replay: Replay):
        self.replay = replay

    def request(self, method: str, data: dict[str, Any], request_id: int) -> Any:
        r = self.replay
        step = r.take("request")
        rec_method, rec_id, rec_payload, result = step.value
        if r.verify:
            got = (method, request_id, normalize(data))
            if not same(got, (rec_method, rec_id, rec_payload)):
                raise Difference(step.record, f"the replay sent {got!r}, the file has "
                                              f"{(rec_method, rec_id, rec_payload)!r}")
        if isinstance(result, Exc):
            raise exception(result)
        return result

    def poll(self) -> Any:
        step = self.replay.take("poll")
        if isinstance(step.value, Exc):
            raise exception(step.value)
        return step.value

    def close(self) -> None:
        pass


def describe_commit(session: Any, result: Any, changes: dict[int, Any]) -> Any:
    """What a commit published, as the journal's COMMIT record describes it."""
    entries = []
    containers = ("account", "positions", "orders", "trades")
    for key, names in changes.items():
        obj = session.objects.get(key)
        if obj is None:
            continue
        kind = next((c for c in containers if getattr(session, c) is obj), None)
        values = getattr(obj, "_values", None)
        ident = None
        if kind is None:
            kind = _type_name(obj)
            if isinstance(values, dict):
                ident = next((values[f] for f in ("symbol", "order_id", "trade_id") if f in values), None)
        if isinstance(values, dict):
            detail: Any = {n: values.get(n) for n in sorted(names)}
        else:
            detail = frozenset(names)
        entries.append((kind, ident, detail))
    return normalize((result, entries))


@contextmanager
def substituted(replay: Replay) -> Iterator[None]:
    """The module-level names of the replayed session's clock, sleeps and temporary folder."""
    from velkor import errors, trading

    class Clock:
        monotonic = staticmethod(replay.monotonic)
        time = staticmethod(replay.time)

    clock = Clock()
    names = ((trading, "time"), (trading, "asyncio"), (trading, "mkdtemp"), (errors, "time"))
    saved = [getattr(module, name) for module, name in names]
    for (module, name), value in zip(names, (clock, _Asyncio(), lambda prefix="": "velkor-replay", clock)):
        setattr(module, name, value)
    # The replayed session's log is the recorded one's again: quiet unless asked for.
    loggers = [logging.getLogger(n) for n in ("velkor.trading", "velkor.trading.orders")]
    disabled = [lg.disabled for lg in loggers]
    for lg in loggers:
        lg.disabled = True
    try:
        yield
    finally:
        for (module, name), value in zip(names, saved):
            setattr(module, name, value)
        for lg, d in zip(loggers, disabled):
            lg.disabled = d


def chain(journal: Journal, segment: Segment, seen: set[str] | None = None) -> list[Record]:
    """The records of a segment, after those of the segments it continues (found in the same folder)."""
    seen = seen if seen is not None else set()
    own = [r for r in journal.records if r.segment is segment]
    if segment.continues is None:
        return own
    previous_name = segment.continues.get("file")
    segment_id = segment.continues.get("segment")
    if segment_id in seen:
        raise JournalError(f"segment {segment_id} continues itself")
    seen.add(str(segment_id))
    folder = journal.path.parent
    candidates = [folder / previous_name] if previous_name else []
    candidates += [p for p in sorted(folder.glob("*.vkj")) if p not in candidates and p != journal.path]
    for path in candidates:
        if not path.exists():
            continue
        try:
            earlier = read(path)
        except JournalError:
            continue
        for seg in earlier.segments:
            if seg.header.get("segment") == segment_id:
                return chain(earlier, seg, seen) + own
    raise JournalError(f"{journal.path.name} continues segment {segment_id} of {previous_name}, "
                       f"which is not in {folder}")


def replay_segments(path: str | Path, *, verify: bool = False, until: float | None = None,
                    report: Callable[[Segment, Replay], None] | None = None) -> list[Replay]:
    """Replays every session of a file, each from its own start (earlier files included where a session
    continues one); returns one Replay per segment. Raises Difference at the first difference."""
    journal = read(path)
    done = []
    for segment in journal.segments:
        steps = list(expand(chain(journal, segment)))
        replay = Replay(steps, verify=verify, until=until)
        with substituted(replay):
            replay.play()
        done.append(replay)
        if report:
            report(segment, replay)
    return done
