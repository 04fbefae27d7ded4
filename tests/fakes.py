"""A scripted stand-in for the native adapter, event-record builders and session builders, and the plain
helpers tests share: a retry-control recorder, waits on the running session and a bridge handle on a front.

The adapter records every request and answers from a script; `poll` hands out the records pushed
since the last poll. Sessions are built with `make_session`, whose factory keeps every adapter it made:

    s = make_session(timeout=5)
    s._open_native()
    s.native.results["QryInstrument"] = [-3, 0]
    s.native.push(front_connected())
"""

from __future__ import annotations

import asyncio
import copy
import os
import select
import time
from collections import deque
from types import SimpleNamespace

from velkor import _kestro
from velkor.ledgerlet import CtpAccount
from velkor.trading import Trading

ACCOUNT = CtpAccount("9999", "123456", "secret", "tcp://127.0.0.1:1", "client_app", "auth-code")
FATAL = "交易连接不可用，请检查账户配置或稍后重新连接。"  # the error of a session that gave up on its connection

_UNSET = object()


def _fresh(error):
    # A scripted exception object is shared (often a parametrize value); raising a copy keeps its
    # traceback, and the frames and sessions behind it, from living as long as the test run.
    return copy.copy(error) if isinstance(error, BaseException) else error


class FakeNative:
    """The adapter: `request`, `poll`, `close`, as the session uses them.

    results: method -> int, exception, or a list of them consumed one per request (0 once empty)
    default: the result of a method without an entry
    requests: (method, payload copy, request_id) for every request, in order
    """

    def __init__(self, config=None, directory=None):
        self.config = config
        self.directory = directory
        self.requests: list[tuple[str, dict, int]] = []
        self.results: dict[str, object] = {}
        self.default = 0
        self.batches: deque[list] = deque()
        self.poll_error: BaseException | None = None
        self.polls = 0
        self.closes = 0

    # -- adapter interface
    def request(self, method, data, request_id):
        self.requests.append((method, dict(data), request_id))
        result = self.results.get(method, self.default)
        if isinstance(result, list):
            result = result.pop(0) if result else self.default
        if isinstance(result, BaseException) or (isinstance(result, type) and issubclass(result, BaseException)):
            raise _fresh(result)
        return result

    def poll(self):
        self.polls += 1
        if self.poll_error is not None:
            raise _fresh(self.poll_error)
        return self.batches.popleft() if self.batches else []

    def close(self):
        self.closes += 1

    # -- scripting
    def push(self, *records):
        """Adds records to the next poll's list (a new list when the last one was already polled)."""
        if not self.batches:
            self.batches.append([])
        self.batches[-1].extend(records)

    def push_batch(self, *records):
        """Queues one separate poll result."""
        self.batches.append(list(records))

    @property
    def closed(self) -> bool:
        return self.closes > 0

    @property
    def methods(self) -> list[str]:
        return [r[0] for r in self.requests]


class FakeFactory:
    """A native factory `(config, directory) -> FakeNative` that keeps every adapter it built.

    `results` and `default` are copied into each new adapter; `error` makes the next builds raise
    (an exception, or a list of exceptions/None consumed one per build).
    """

    def __init__(self):
        self.natives: list[FakeNative] = []
        self.calls: list[tuple[object, object]] = []
        self.results: dict[str, object] = {}
        self.default = 0
        self.error = None

    def __call__(self, config, directory):
        self.calls.append((config, directory))
        error = self.error
        if isinstance(error, list):
            error = error.pop(0) if error else None
        if error is not None:
            raise error
        native = FakeNative(config, directory)
        native.results.update({k: list(v) if isinstance(v, list) else v for k, v in self.results.items()})
        native.default = self.default
        self.natives.append(native)
        return native

    @property
    def last(self) -> FakeNative:
        return self.natives[-1]


class SignallingNative(FakeNative):
    """The fake adapter with a descriptor: `signal` queues records and makes it readable, as the bridge does."""

    def __init__(self, config=None, directory=None):
        super().__init__(config, directory)
        self.fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)

    def fileno(self):
        return self.fd

    def signal(self, *records):
        self.push(*records)
        os.eventfd_write(self.fd, 1)

    def pending(self):
        return bool(select.select([self.fd], [], [], 0)[0])


class SignallingFactory(FakeFactory):
    """A FakeFactory of signalling adapters (`kind` builds them); close their descriptors with `release()`."""

    def __init__(self, kind=SignallingNative):
        super().__init__()
        self.kind = kind

    def __call__(self, config, directory):
        native = self.kind(config, directory)
        native.results.update(self.results)
        self.natives.append(native)
        return native

    def release(self):
        for native in self.natives:
            os.close(native.fd)


def make_session(timeout=5.0, config=_UNSET, objects=None, factory=None, limits=None) -> Trading:
    """A session over a FakeFactory (reachable as `session.factory`); `config=None` gives an "ERROR" session."""
    return Trading(ACCOUNT if config is _UNSET else config, timeout, {} if objects is None else objects,
                   native_factory=FakeFactory() if factory is None else factory, limits=limits)


# -- event records in the bridge's format

def front_connected() -> dict:
    return {"name": "FrontConnected"}


def front_disconnected(reason: int = 0x1001) -> dict:
    return {"name": "FrontDisconnected", "reason": reason}


def record(name: str, data: dict | None = None, error_id: int = 0, error_msg: str = "",
           request_id: int = 0, last: bool = True) -> dict:
    """Any other event: "name", "data", "error", "request_id", "last"."""
    return {"name": name, "data": data, "error": {"ErrorID": error_id, "ErrorMsg": error_msg},
            "request_id": request_id, "last": last}


def rsp_error(error_id: int, error_msg: str = "", request_id: int = 0, last: bool = True) -> dict:
    return record("RspError", {"ErrorID": error_id, "ErrorMsg": error_msg}, error_id, error_msg, request_id, last)


# Row keys of the data dicts, in the bridge's order, with the value of a zeroed CTP field.
_S, _C, _I, _F = "", "\x00", 0, 0.0
ROW_FIELDS = {
    "order": dict(TradingDay=_S, ExchangeID=_S, InstrumentID=_S, OrderSysID=_S, OrderRef=_S, FrontID=_I,
                  SessionID=_I, Direction=_C, CombOffsetFlag=_S, CombHedgeFlag=_S, LimitPrice=_F,
                  VolumeTotalOriginal=_I, VolumeTraded=_I, VolumeTotal=_I, OrderStatus=_C, OrderSubmitStatus=_C,
                  StatusMsg=_S, InsertDate=_S, InsertTime=_S),
    "trade": dict(TradingDay=_S, ExchangeID=_S, InstrumentID=_S, OrderSysID=_S, OrderRef=_S, TradeID=_S,
                  Direction=_C, OffsetFlag=_C, HedgeFlag=_C, Price=_F, Volume=_I, TradeDate=_S, TradeTime=_S),
    "position": dict(TradingDay=_S, ExchangeID=_S, InstrumentID=_S, HedgeFlag=_C, PosiDirection=_C,
                     PositionDate=_C, Position=_I, TodayPosition=_I, YdPosition=_I, LongFrozen=_I, ShortFrozen=_I,
                     PositionProfit=_F, UseMargin=_F),
    "account": dict(AccountID=_S, CurrencyID=_S, TradingDay=_S, Balance=_F, Available=_F, CurrMargin=_F,
                    FrozenMargin=_F, Commission=_F, FrozenCommission=_F, CloseProfit=_F, PositionProfit=_F,
                    Deposit=_F, Withdraw=_F),
    "instrument": dict(ExchangeID=_S, InstrumentID=_S, ProductClass=_C, IsTrading=_I, PriceTick=_F,
                       MinLimitOrderVolume=_I, MaxLimitOrderVolume=_I),
    "login": dict(TradingDay=_S, FrontID=_I, SessionID=_I, MaxOrderRef=_S),
}


def row(kind: str, **fields) -> dict:
    """A data dict of `kind` (a key of ROW_FIELDS) with every key in the bridge's order; unknown keys raise."""
    base = dict(ROW_FIELDS[kind])
    unknown = set(fields) - set(base)
    if unknown:
        raise KeyError(f"{kind} row has no field {sorted(unknown)}")
    base.update(fields)
    return base


# -- a fast clock for the run loop

class FakeClock:
    """`monotonic()` and `time()` of a clock that only moves when told (or when FastAsyncio sleeps)."""

    def __init__(self, now: float = 1000.0, wall: float = 1_700_000_000.0):
        self.now = now
        self.wall_offset = wall - now

    def monotonic(self) -> float:
        return self.now

    def time(self) -> float:
        return self.now + self.wall_offset

    def advance(self, seconds: float) -> None:
        self.now += seconds


class FastAsyncio:
    """Stands in for the module-level `asyncio`: `sleep(d)` moves the clock by `d` and yields once;
    everything else is the real asyncio."""

    def __init__(self, clock: FakeClock):
        self._clock = clock
        self.sleeps: list[float] = []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        self._clock.advance(delay)
        await asyncio.sleep(0)
        return result


def fake_time(clock: FakeClock) -> SimpleNamespace:
    """A module-like `time` whose `monotonic` and `time` read `clock`."""
    return SimpleNamespace(monotonic=clock.monotonic, time=clock.time)


# -- a retry control that records its calls

class Recording:
    """Stands in for a Recovery: records the calls of each of its methods; `raises` maps a method name to the
    exception that method raises."""

    def __init__(self, **raises):
        self.calls: list[str] = []
        self.raises = raises

    def __getattr__(self, name):
        if name not in ("begin", "check", "fail", "success"):
            raise AttributeError(name)

        def call():
            self.calls.append(name)
            if name in self.raises:
                raise self.raises[name]
        return call

    def count(self, name):
        return self.calls.count(name)


# -- waits

async def until(condition, passes=100_000, pause=0.0):
    """Lets the other tasks run, one pass of the event loop (and `pause` seconds) at a time, until `condition()`
    holds; fails after `passes` passes."""
    for _ in range(passes):
        if condition():
            return
        await asyncio.sleep(pause)
    raise AssertionError("condition not reached")


def polled(poll, count, timeout=5.0):
    """What `poll()` hands out until `count` items came or `timeout` seconds passed."""
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        got += poll()
        time.sleep(0.002)
    return got


# -- the native bridge on a simulated front

class Bridge:
    """An open handle connected to `front`, its FrontConnected event already polled."""

    def __init__(self, front, flow_dir):
        self.front = front
        self.handle = _kestro.create(front.address, flow_dir)
        self.conn = front.wait_connection()
        front.flush()
        assert _kestro.poll(self.handle) == [{"name": "FrontConnected"}]

    def send(self, callback, *args, **kwargs):
        self.front.send(self.conn, callback, *args, **kwargs)

    def events(self):
        self.front.flush()
        return _kestro.poll(self.handle)

    def event(self, callback, *args, **kwargs):
        self.send(callback, *args, **kwargs)
        (record,) = self.events()
        return record
