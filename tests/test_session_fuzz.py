"""Property-based robustness of the trading session: no input crashes the interpreter.

The properties run in a child interpreter (this file run as a script with the properties' names), so a
segmentation fault or an abort fails the property it happened in, with the last example that was tried,
instead of ending the test run; a new child goes on with the rest. The child runs with `-X dev` (debug
memory hooks, faulthandler). What the properties accept: the call returns, or it raises an ordinary
exception (never SystemError, which is how the interpreter reports a value returned with an error set);
afterwards the session still resets and commits.
Longer hunts: FUZZ_SCALE=20 python -X dev tests/test_session_fuzz.py check_event check_insert ...
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import json
import math
import os
import subprocess
import sys
import tempfile
import traceback
import weakref
from collections.abc import Mapping
from types import SimpleNamespace

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

if __name__ == "__main__":
    sys.path.insert(0, HERE)

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import velkor.trading as trading_module  # noqa: E402
from fakes import ACCOUNT, FakeClock, FakeFactory, FastAsyncio, fake_time, front_connected, row  # noqa: E402
from test_entry_support import confirm, insert, now  # noqa: E402
from test_sync_support import (DAY, FRONT, SESSION, account_row, answer, instrument,  # noqa: E402
                               order_row, position_row, run_step, trade_row, watch_recovery)
from fakes import make_session  # noqa: E402
from velkor.data import VelkorError, check_symbol  # noqa: E402
from velkor.errors import Recovery  # noqa: E402
from velkor.ledgerlet import Position, TradingResult  # noqa: E402
from velkor.trading import Limits, Trading  # noqa: E402

SCALE = float(os.environ.get("FUZZ_SCALE", "1"))  # longer hunts: FUZZ_SCALE=20


def fuzz(examples: int):
    return settings(max_examples=max(1, int(examples * SCALE)), deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


# -- hostile values

class Boom(Exception):
    """Raised by the hostile objects below."""


def _boom(*_args, **_kwargs):
    raise Boom("hostile")


class Evil:
    """Every comparison, hash, conversion and truth test raises."""
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _boom
    __hash__ = __bool__ = __str__ = __int__ = __float__ = __index__ = __len__ = __format__ = _boom

    def __repr__(self):
        return "Evil()"


class EvilStr(str):
    """A str whose comparisons and hash raise (str methods and C-level string access still work)."""
    __eq__ = __ne__ = __hash__ = __lt__ = _boom

    def __repr__(self):
        return f"EvilStr({str.__repr__(self)})"


class EvilInt(int):
    __eq__ = __ne__ = __hash__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __index__ = _boom

    def __repr__(self):
        return f"EvilInt({int.__repr__(self)})"


class EvilFloat(float):
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __float__ = _boom

    def __repr__(self):
        return f"EvilFloat({float.__repr__(self)})"


class Falsy:
    """Compares equal to everything and is false; `__eq__` answers an object that cannot be truth-tested."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return Evil()

    def __bool__(self):
        return False

    def __repr__(self):
        return "Falsy()"


class BadMapping(Mapping):
    """A mapping whose every lookup raises."""
    __getitem__ = __iter__ = _boom

    def __len__(self):
        return 1

    def __repr__(self):
        return "BadMapping()"


class BadDict(dict):
    """A dict subclass whose Python-level lookups raise (C-level dict access still works)."""
    __getitem__ = get = __contains__ = keys = values = items = __iter__ = _boom

    def __repr__(self):
        return f"BadDict({dict.__repr__(self)})"


HOSTILE_TYPES = (Evil, EvilStr, EvilInt, EvilFloat, Falsy, BadMapping, BadDict)

# Objects that change the session behind the caller's back the first time they are compared, hashed,
# converted or truth-tested (the session code may be in the middle of reading what they change).
CURRENT: list = [None]  # the session under test
MEDDLING = {
    "clear_cache": lambda s: s._clear_cache("SYNCING"),
    "orders": lambda s: (s.native_orders.clear(), s.o.clear(), s.ref_orders.clear()),
    "positions": lambda s: (s.p.clear(), s.positions._data.clear()),
    "trades": lambda s: (s.t.clear(), s.trades.clear(), s.trade_views.clear(), s.pending_trades.clear()),
    "instruments": lambda s: s.instruments.clear(),
    "query": lambda s: setattr(s, "inflight", None),
    "children": lambda s: [c.clear() for c in list(s.native_orders.values())],
    "records": lambda s: [r.clear() for r in list(s.o.values()) + list(s.p.values())],
    "objects": lambda s: s.objects.clear(),
}


def _meddle(self):
    if not self.done and CURRENT[0] is not None:
        self.done = True
        MEDDLING[self.action](CURRENT[0])


class Meddler:
    def __init__(self, action):
        self.action, self.done = action, False

    def __eq__(self, other):
        _meddle(self)
        return False

    def __hash__(self):
        _meddle(self)
        return 7

    def __bool__(self):
        _meddle(self)
        return True

    def __str__(self):
        _meddle(self)
        return "1"

    def __repr__(self):
        return f"Meddler({self.action!r})"


class MeddleStr(str):
    """A str that meddles when compared or hashed: it passes every type check for text."""

    def __new__(cls, text, action):
        self = super().__new__(cls, text)
        self.action, self.done = action, False
        return self

    def __eq__(self, other):
        _meddle(self)
        return str.__eq__(self, other)

    def __hash__(self):
        _meddle(self)
        return str.__hash__(self)

    def __repr__(self):
        return f"MeddleStr({str.__repr__(self)}, {self.action!r})"


class Make:
    """A MeddleStr to be made by `realize` in the test body: hypothesis must never hold one (it equals,
    and hashes like, the plain text that hypothesis itself draws)."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __repr__(self):
        return f"MeddleStr({self.text!r}, {self.action!r})"


def realize(x):
    """`x` with every Make replaced by a fresh MeddleStr (inside lists, tuples and dicts too)."""
    if type(x) is Make:
        return MeddleStr(x.text, x.action)
    if type(x) in (list, tuple):
        return type(x)(realize(i) for i in x)
    if type(x) is dict:
        return {realize(k): realize(v) for k, v in x.items()}
    return x


def holds(kinds, args) -> bool:
    """Whether any of `args` is, or holds in its lists, tuples and dicts, an instance of `kinds`."""
    seen = list(args)
    while seen:
        x = seen.pop()
        if isinstance(x, kinds):
            return True
        if isinstance(x, (list, tuple)):
            seen.extend(x)
        elif type(x) is dict:
            seen.extend(x.keys())
            seen.extend(x.values())
    return False


def meddles(*args) -> bool:
    """Whether any argument is, or holds, a value that changes the session."""
    return holds((Meddler, MeddleStr, Make), args)


meddlers = st.builds(Meddler, st.sampled_from(sorted(MEDDLING))) | st.builds(
    Make, st.sampled_from(["SHFE.ag2412", "BUY", "SELL", "OPEN", "CLOSE", "1", "0", "3", "S1", "T1",
                           "3:77:101", "3:77:102"]), st.sampled_from(sorted(MEDDLING)))

TEXTS = ["", "\x00", "a\x00b", "中文", "\ud800", " 1001 ", "  ", "0", "1", "2", "3", "4", "5", "a", "b", "c",
         "SHFE.ag2412", "SHFE", "ag2412", ".", "SHFE.", ".ag2412", "SHFE.ag2412.x", "shfe.ag2412", DAY,
         "09:30:00", "99999999", "2024-01-02", "25:61:61", "x" * 300, "S1", "S2", "T1", "account", "orders"]
NUMBERS = [0, 1, -1, 2, 2**31 - 1, 2**31, -2**31 - 1, 2**63, -2**63 - 1, 2**64, 10**30, -10**30,
           0.0, -0.0, 0.5, 1e100, -1e100, 1e-300, 5e-324, math.inf, -math.inf, math.nan]

scalars = st.one_of(
    st.none(), st.booleans(), st.sampled_from(NUMBERS), st.integers(), st.floats(),
    st.sampled_from(TEXTS), st.text(max_size=6), st.binary(max_size=4),
    st.builds(Evil), st.builds(EvilStr, st.sampled_from(["SHFE.ag2412", "1", "BUY", "OPEN", ""])),
    st.builds(EvilInt, st.sampled_from([0, 1, 3, 77])), st.builds(EvilFloat, st.sampled_from([0.0, 1.0])),
    st.builds(Falsy), st.builds(BadMapping), st.builds(BadDict), st.builds(object), meddlers,
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner)
                      | st.dictionaries(st.sampled_from(TEXTS[:12]), inner, max_size=3), max_leaves=5)


def hostile(*args) -> bool:
    """Whether any argument is, or holds, one of the raising objects."""
    return holds(HOSTILE_TYPES, args)


# -- sessions in every phase

SYMBOLS = ("SHFE.ag2412", "INE.sc2501", "DCE.m2501")
PHASES = ("connecting", "authenticate", "login", "settlement", "sync0", "sync1", "sync2", "sync3", "sync4",
          "sync5", "ready", "ready_busy")


LIMITS: list[Limits | None] = [None]  # the limits of the sessions `build` makes
TIGHT = Limits(max_order_volume=3, max_active_orders=4, max_orders_per_second=3, max_cancels_per_contract=1,
               max_large_cancels_per_contract=0, large_order_volume=2, self_trade=True)


def _clocked_session():
    clock = FakeClock()
    trading_module.time = fake_time(clock)
    s = make_session(timeout=5.0, limits=LIMITS[0])
    CURRENT[0] = s
    s.clock = clock
    watch_recovery(s)
    s._open_native()
    return s


def _sync_rows():
    # Exchanges number on their own: DCE's S2 and T1 are other orders and fills than SHFE's, and DCE's T1 is a
    # self-trade, one match of two orders of the account.
    orders = [order_row("SHFE.ag2412", 1, sys_id="S1", status="3", volume=2),
              order_row("SHFE.ag2412", 2, sys_id="S2", status="0", volume=2, traded=2),
              order_row("DCE.m2501", 3, sys_id="S2", status="0", volume=1, traded=1),
              order_row("DCE.m2501", 4, sys_id="S3", status="1", volume=2, traded=1, direction="1")]
    trades = [trade_row("SHFE.ag2412", "T1", "S2", volume=2), trade_row("DCE.m2501", "T1", "S2"),
              trade_row("DCE.m2501", "T1", "S3", direction="1")]
    positions = [position_row("SHFE.ag2412", "2", 5, today=2), position_row("DCE.m2501", "3", 4, today=1),
                 position_row("DCE.m2501", "2", 1, today=1)]
    return [[instrument(x) for x in SYMBOLS], orders, trades, positions, trades, [account_row()]]


def build(phase: str):
    """A session over the fake adapter in `phase` (for "syncN": step N's query in flight)."""
    s = _clocked_session()
    if phase == "connecting":
        return s
    s.event(front_connected())
    if phase == "authenticate":
        return s
    answer(s, "RspAuthenticate", {"BrokerID": "9999", "UserID": "123456", "AppID": "client_app"})
    if phase == "login":
        return s
    answer(s, "RspUserLogin", row("login", TradingDay=DAY, FrontID=FRONT, SessionID=SESSION, MaxOrderRef="100"))
    if phase == "settlement":
        return s
    answer(s, "RspSettlementInfoConfirm", {"BrokerID": "9999"})
    steps = _sync_rows()
    last = int(phase[4:]) if phase.startswith("sync") else len(steps)
    for rows in steps[:last]:
        run_step(s, s.clock, rows)
    if phase.startswith("sync"):
        s.clock.advance(1.0)
        s.tick(s.clock.now)
        assert s.inflight is not None
        return s
    assert s.phase == "ready" and s.session_status == "READY"
    s.commit({})
    if phase == "ready_busy":
        # a live user order, a split close and a pending funds query
        (opened,) = insert(s, "SHFE.ag2412", "BUY", "OPEN", 3, 5000.0)
        confirm(s, opened.order_id)
        insert(s, "SHFE.ag2412", "SELL", "CLOSE", 4, 5000.0)
        s.clock.advance(1.0)
        s.tick(s.clock.now)
        s.commit({})
    return s


# -- records: valid ones with fields replaced, and malformed ones

NAMES = ("FrontConnected", "FrontDisconnected", "RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm",
         "RspError", "RspQryInstrument", "RspQryOrder", "RspQryTrade", "RspQryInvestorPosition",
         "RspQryTradingAccount", "RtnOrder", "RtnTrade", "RspOrderInsert", "ErrRtnOrderInsert", "RspOrderAction",
         "ErrRtnOrderAction", "HeartBeatWarning", "RspQryUnknown", "Rtn", "")

KIND_ROWS = {"instruments": lambda: instrument("SHFE.ag2412"), "orders": lambda: order_row("SHFE.ag2412", 7),
             "trades_before": lambda: trade_row("SHFE.ag2412", "T1", "S2", volume=2),
             "trades_after": lambda: trade_row("SHFE.ag2412", "T1", "S2", volume=2),
             "positions": lambda: position_row("SHFE.ag2412", "2", 5, today=2), "account": account_row}


def template(s, name: str, pick) -> tuple[dict, object]:
    """A plausible data dict for `name` in the state of `s`, and a request id that the session waits for."""
    inflight = s.inflight
    children = list(s.native_orders.values())
    child = pick(children) if children else None
    ref = child["ref"] if child else pick(["1", "2", "101", "7"])
    sys_id = (child["exchange_order_id"] if child else "") or pick(["S1", "S2", ""])
    # an exchange number means one order only with its exchange: now and then the other exchange's
    symbol = child["symbol"] if child and pick([True, True, False]) else pick(["SHFE.ag2412", "DCE.m2501"])
    exchange, instrument_id = symbol.split(".")
    ids = [s.phase_id, inflight["id"] if inflight else None, s.request_id, 0, -1]
    ids += [c.get("request_id") for c in children] + [c.get("cancel_request_id") for c in children]
    rid = pick(ids)
    if name.startswith("RspQry"):
        kind = inflight["kind"] if inflight else pick(list(KIND_ROWS))
        return KIND_ROWS[kind](), rid
    if name in ("RtnOrder", "RspOrderInsert", "ErrRtnOrderInsert"):
        data = order_row(symbol, ref, sys_id=sys_id, status=pick(["0", "1", "3", "5", "a", "2", "4"]),
                         volume=3, traded=pick([0, 1, 3]), direction=pick(["0", "1"]),
                         offset=pick(["0", "1", "3", "4"]), front=s.front, session=s.session)
        return data, rid
    if name == "RtnTrade":
        return trade_row(symbol, pick(["T1", "T9", "T10"]), sys_id or "S1", volume=pick([1, 2]),
                         direction=pick(["0", "1"]), offset=pick(["0", "1", "3", "4"])), rid
    if name in ("RspOrderAction", "ErrRtnOrderAction"):
        return {"OrderSysID": sys_id, "OrderRef": ref, "FrontID": s.front, "SessionID": s.session,
                "ExchangeID": exchange, "InstrumentID": instrument_id}, rid
    if name == "RspUserLogin":
        return row("login", TradingDay=DAY, FrontID=FRONT, SessionID=SESSION, MaxOrderRef="100"), rid
    if name == "RspError":
        return {"ErrorID": 90, "ErrorMsg": "busy"}, rid
    return {"BrokerID": "9999"}, rid


@st.composite
def records(draw, s):
    """One event record for session `s`: mostly well-formed, with some fields of any kind."""
    def pick(options):
        # by index: hypothesis hashes sampled values, and some of these may refuse to be hashed
        return options[draw(st.integers(0, len(options) - 1))]

    # Rare branches sit on middle values: hypothesis favours the ends of a range.
    if draw(st.integers(0, 9)) != 5:
        name = draw(st.sampled_from(NAMES))
    else:
        name = draw(st.builds(Evil) | st.builds(EvilStr, st.just("RtnOrder")) | scalars)
    text_name = name if type(name) is str else "RtnOrder"
    data, rid = template(s, text_name, pick)
    for key in draw(st.lists(st.sampled_from(list(data)), max_size=3, unique=True)) if data else []:
        if draw(st.booleans()):
            data[key] = draw(values)
        else:
            del data[key]
    if draw(st.integers(0, 9)) == 5:
        data = draw(values)
    error = draw(st.sampled_from([None, {}, {"ErrorID": 0, "ErrorMsg": ""}, "x"])
                 | st.fixed_dictionaries({"ErrorID": st.sampled_from([0, 1, 90, 154, 31]) | values,
                                          "ErrorMsg": st.sampled_from(["", "错误"]) | values}))
    rec = {"name": name, "data": data, "error": error,
           "request_id": rid if draw(st.integers(0, 3)) else draw(values),
           "last": draw(st.booleans() | values)}
    for key in draw(st.lists(st.sampled_from(list(rec)), max_size=1)) if draw(st.integers(0, 4)) == 2 else ():
        if key != "name" or draw(st.integers(0, 4)) == 2:
            del rec[key]
    if draw(st.integers(0, 19)) == 10:
        return draw(values)
    return rec


def usable(s):
    """The session still resets and commits after whatever happened."""
    s._clear_cache("SYNCING")
    assert isinstance(s.commit({}), bool)
    assert s.commit({}) is False
    assert s.session_status == "SYNCING" and s.o == {} and s.native_orders == {}


def ordinary(error: BaseException) -> None:
    """An exception a session may raise: an ordinary one, never the interpreter's report of a broken call."""
    assert isinstance(error, Exception), repr(error)
    assert not isinstance(error, SystemError), repr(error)


def trace(*what) -> None:
    # The child's stderr tail is shown when it crashes: the example being run is the last line.
    sys.stderr.write(f"example: {what!r}\n")
    sys.stderr.flush()


# -- properties (run in the child interpreter)

@fuzz(200)
@given(st.sampled_from(PHASES), st.data())
def check_event(phase, data):
    s = build(phase)
    for _ in range(data.draw(st.integers(1, 4))):
        rec = realize(data.draw(records(s)))
        trace(phase, rec)
        try:
            s.event(rec)
        except Exception as error:  # noqa: BLE001 - any ordinary exception is acceptable here
            ordinary(error)
            usable(s)
            return
        s.clock.advance(data.draw(st.sampled_from([0.0, 0.5, 1.0, 6.0])))
        try:
            s.tick(s.clock.now)
            s.commit({})
        except Exception as error:  # noqa: BLE001
            ordinary(error)
            usable(s)
            return
    usable(s)


def mostly(usual, odd=values):
    """`usual` nine times in ten, else `odd` (the rare branch sits on a middle value of the range)."""
    return st.integers(0, 9).flatmap(lambda n: odd if n == 5 else usual)


def meddling(texts):
    return st.builds(Make, st.sampled_from(texts), st.sampled_from(sorted(MEDDLING)))


symbols = mostly(st.sampled_from(SYMBOLS + ("SHFE.zz9999", "CZCE.ab1")), meddling(SYMBOLS) | values)
directions = mostly(st.sampled_from(["BUY", "SELL"]), meddling(["BUY", "SELL"]) | values)
offsets = mostly(st.sampled_from(["OPEN", "CLOSE"]), meddling(["OPEN", "CLOSE"]) | values)
volumes = mostly(st.integers(1, 6), st.integers(-2, 0) | st.sampled_from([2**31 - 1, 2**31, 600]) | values)
prices = mostly(st.sampled_from([5000.0, 5000, 4999.0]), st.sampled_from([5000.5, 3500.1]) | values)
outcomes = mostly(st.sampled_from([0, 0, 0, -1, 7]),
                  st.sampled_from([TypeError, ValueError, OverflowError, RuntimeError, BufferError, None, "0", 0.0,
                                   1.5, math.nan, 2**70]) | st.builds(Evil))

def plainly_invalid(symbol, direction, offset, volume, price) -> bool:
    """Whether an argument breaks the argument checks of an order entry (no raising objects given)."""
    if not isinstance(symbol, str):
        return True
    if type(symbol) is str:
        try:
            check_symbol(symbol)
        except (TypeError, ValueError):
            return True
    for value, allowed in ((direction, ("BUY", "SELL")), (offset, ("OPEN", "CLOSE"))):
        if not isinstance(value, str) or str(value) not in allowed:
            return True
    if type(volume) is not int or not 1 <= volume <= 2**31 - 1:
        return True
    if type(price) is bool or not isinstance(price, (int, float)):
        return True
    try:
        return not (math.isfinite(price) and 0 < price and abs(price) < 1e100)
    except OverflowError:
        return True


@fuzz(200)
@given(st.sampled_from(("ready", "ready_busy", "ready_busy", "ready", "sync3", "connecting")), symbols, directions,
       offsets, volumes,
       prices, outcomes)
def check_insert(phase, symbol, direction, offset, volume, price, outcome):
    s = build(phase)
    symbol, direction, offset, volume, price = realize((symbol, direction, offset, volume, price))
    s.native.results["OrderInsert"] = [outcome, 0]
    trace(phase, symbol, direction, offset, volume, price, outcome)
    evil = hostile(symbol, direction, offset, volume, price, outcome)
    meddled = meddles(symbol, direction, offset, volume, price)
    try:
        results = now(s.insert(symbol, direction, offset, volume, price))
    except Exception as error:  # noqa: BLE001
        # only the caller's own raising objects, or objects that reset the session under the call
        ordinary(error)
        assert (evil and isinstance(error, Boom)) or meddled, repr(error)
        usable(s)
        return
    assert isinstance(results, list) and results
    assert all(type(r) is TradingResult and r.status in ("SUBMITTED", "REJECTED", "UNKNOWN") for r in results)
    if not evil and not meddled and plainly_invalid(symbol, direction, offset, volume, price):
        assert [(r.status, r.order_id) for r in results] == [("REJECTED", None)]
    for r in results:
        if r.status != "REJECTED":
            assert r.order_id in s.o and r.order_id in s.native_orders
    if not meddled:
        assert isinstance(s.commit({}), bool)
    usable(s)


order_ids = mostly(st.sampled_from(["3:77:101", "3:77:102", "3:77:103", "3:77:1", "3:77:2"]),
                   st.sampled_from(["", "x"]) | meddling(["3:77:101", "3:77:102", "3:77:1"]) | values)


@fuzz(150)
@given(st.sampled_from(("ready", "ready_busy", "sync3")), order_ids, outcomes, st.booleans())
def check_cancel(phase, order_id, outcome, confirm_all):
    s = build(phase)
    s.native.results["OrderAction"] = [outcome, 0]
    if confirm_all:
        for oid, child in list(s.native_orders.items()):
            if child["status"] == "PENDING":
                confirm(s, oid)
    order_id = realize(order_id)
    trace(phase, order_id, outcome, confirm_all)
    try:
        results = s.cancel(order_id)
    except Exception as error:  # noqa: BLE001
        ordinary(error)
        assert (hostile(order_id, outcome) and isinstance(error, Boom)) or meddles(order_id), repr(error)
        usable(s)
        return
    assert isinstance(results, list) and len(results) <= 1
    if results:
        assert type(results[0]) is TradingResult and results[0].order_id == order_id
    if not meddles(order_id):
        assert isinstance(s.commit({}), bool)
    usable(s)


@fuzz(100)
@given(st.sampled_from(("ready", "ready_busy", "sync3", "connecting")), st.data())
def check_commit_and_view(phase, data):
    s = build(phase)
    s.dirty = True
    published = [id(s.account), id(s.positions), id(s.orders), id(s.trades)] + [id(o) for o in s.orders.values()]
    change_values = st.sampled_from([set(), {"x"}, [], (), "x", frozenset()]) | values
    changes = data.draw(
        st.dictionaries(st.sampled_from(published) | st.integers() | st.text(max_size=3), change_values, max_size=4)
        | st.sampled_from([None, [], "x", (), 0]) | values)
    changes, symbol = realize((changes, data.draw(symbols | st.none())))
    trace(phase, changes, symbol)
    try:
        result = s.commit(changes)
        assert isinstance(result, bool)
    except Exception as error:  # noqa: BLE001
        ordinary(error)
    try:
        view = s.position_view(symbol)
        assert view is s.positions if symbol is None else type(view) is Position
    except Exception as error:  # noqa: BLE001
        ordinary(error)
    usable(s)


ATTRIBUTES = ("config", "timeout", "objects", "factory", "account", "session_status", "published_status",
              "positions", "orders", "trades", "trade_views", "a", "p", "o", "t", "native_orders", "instruments",
              "ref_orders", "system_orders", "pending_trades", "live_trade_buffer", "trade_before",
              "position_candidate", "position_ready", "pending", "inflight", "sync_index", "last_query",
              "last_account_refresh", "request_id", "order_ref", "order_revisions", "revision", "front", "session",
              "day", "phase", "phase_id", "phase_time", "phase_data", "native", "dirty", "changed", "reset_pending",
              "recovery", "query_recovery", "published_position_time")
wrong_kinds = st.sampled_from([None, [], {}, set(), (), 0, -1, 1.5, math.nan, "", "x", b"", True]) | values


def _corrupt_records(s, draw):
    """Replaces or removes one field of one private record (child, user order, trade, position, query)."""
    holders = [d for m in (s.native_orders, s.o, s.t, s.p, s.instruments) for d in m.values() if type(d) is dict]
    if isinstance(s.inflight, dict):
        holders.append(s.inflight)
    holders.append(s.a)
    target = draw(st.sampled_from(holders))
    key = draw(st.sampled_from(sorted(target, key=str)))
    if draw(st.booleans()):
        del target[key]
    else:
        target[key] = realize(draw(wrong_kinds))
    return key


OPERATIONS = ("event", "tick", "insert", "cancel", "commit", "view", "clear", "touch", "schedule", "close_native")


@fuzz(200)
@given(st.sampled_from(("ready", "ready_busy", "sync1", "sync3", "sync5", "login")), st.data())
def check_corrupted_state(phase, data):
    s = build(phase)
    if data.draw(st.booleans()):
        attribute = data.draw(st.sampled_from(ATTRIBUTES))
        setattr(s, attribute, realize(data.draw(wrong_kinds)))
    else:
        attribute = _corrupt_records(s, data.draw)
    operation = data.draw(st.sampled_from(OPERATIONS))
    trace(phase, attribute, operation)
    try:
        operate(s, operation, data.draw)
    except Exception as error:  # noqa: BLE001
        ordinary(error)


def operate(s, operation, draw):
    """One ordinary call on session `s` (a name of OPERATIONS), with plausible drawn arguments."""
    if operation == "event":
        s.event(realize(draw(records(s))))
    elif operation == "tick":
        s.tick(s.clock.now + draw(st.sampled_from([0.0, 1.0, 6.0])))
    elif operation == "insert":
        now(s.insert(draw(st.sampled_from(SYMBOLS)), draw(st.sampled_from(["BUY", "SELL"])),
                     draw(st.sampled_from(["OPEN", "CLOSE"])), draw(st.integers(1, 4)), 5000.0))
    elif operation == "cancel":
        s.cancel(draw(st.sampled_from(["3:77:101", "3:77:102", "3:77:1"])))
    elif operation == "commit":
        s.dirty = True
        s.commit({})
    elif operation == "view":
        s.position_view(draw(st.sampled_from(SYMBOLS + ("CZCE.ab1",))))
    elif operation == "clear":
        s._clear_cache("SYNCING")
    elif operation == "touch":
        s._touch()
    elif operation == "schedule":
        s._schedule_account()
    else:
        s._close_native()


@fuzz(150)
@given(st.sampled_from(("ready", "ready", "sync1", "sync3")), st.booleans(), st.data())
def check_limits(phase, corrupt, data):
    """A session with tight limits through ordinary calls, on whole or corrupted records: every error is
    ordinary, the counts stay readable, and a reset leaves nothing alive."""
    LIMITS[0] = TIGHT
    try:
        s = build(phase)
    finally:
        LIMITS[0] = None
    if corrupt:
        _corrupt_records(s, data.draw)
    for _ in range(data.draw(st.integers(1, 12))):
        operation = data.draw(st.sampled_from(OPERATIONS))
        trace(phase, corrupt, operation)
        for call in (lambda: operate(s, operation, data.draw), lambda: s.limit_counts):
            try:
                call()
            except Exception as error:  # noqa: BLE001
                ordinary(error)
    usable(s)
    assert s.limit_counts["active_orders"] == 0


@fuzz(100)
@given(st.sampled_from(PHASES), values)
def check_tick(phase, when):
    s = build(phase)
    when = realize(when)
    trace(phase, when)
    try:
        s.tick(when)
    except Exception as error:  # noqa: BLE001
        ordinary(error)
        usable(s)


adapter_results = st.sampled_from([0, -1, -2, -3, 5, None, "0", 0.0, 2**70, TypeError, OSError, RuntimeError]) | values


class Script:
    """A poll that hands out the drawn batches (or raises them), then cancels the running task."""

    def __init__(self, batches):
        self.batches = list(batches)
        self.polls = 0

    def __call__(self):
        self.polls += 1
        if not self.batches or self.polls > 20:
            asyncio.current_task().cancel()
            return []
        batch = self.batches.pop(0)
        if isinstance(batch, type) and issubclass(batch, BaseException):
            raise batch("scripted")
        return batch


@fuzz(80)
@given(st.sampled_from(PHASES), st.data())
def check_run(phase, data):
    s = build(phase)
    s.recovery = Recovery("交易连接")
    trading_module.asyncio = FastAsyncio(s.clock)
    batch = st.lists(st.one_of(st.builds(lambda: None).flatmap(lambda _: records(s)), values), max_size=3)
    script = Script(realize(data.draw(st.lists(batch | st.sampled_from([TimeoutError, OSError, Boom, BufferError])
                                       | values, max_size=4))))
    results = {m: data.draw(adapter_results) for m in ("QryInstrument", "QryOrder", "QryTrade", "QryTradingAccount",
                                                       "Authenticate", "UserLogin")}

    def scripted(native):
        native.poll = script
        native.results.update(results)
        return native

    factory = s.factory
    s.factory = lambda config, directory: scripted(factory(config, directory))  # adapters after a restart
    scripted(s.native)
    trace(phase, script.batches, results)
    try:
        asyncio.run(s.run())
    except asyncio.CancelledError:
        assert s.error is None
    else:
        assert type(s.error) is VelkorError and s.session_status == "ERROR"
    usable(s)


@fuzz(100)
@given(values, values, values)
def check_helpers(a, b, c):
    a, b, c = realize((a, b, c))
    trace(a, b, c)
    for call in (lambda: trading_module.timestamp(a, b), lambda: trading_module.finite(a),
                 lambda: trading_module.local_order_id(a, b, c), lambda: trading_module.order_offset(a),
                 lambda: Trading(a, b, {}, native_factory=FakeFactory()), lambda: Trading(ACCOUNT, 5.0, a)):
        try:
            call()
        except Exception as error:  # noqa: BLE001
            ordinary(error)


coroutine_steps = st.lists(st.sampled_from(["send", "send_value", "next", "throw", "throw_type", "throw_odd", "close",
                                            "await", "attrs", "drop"]), max_size=5)


@fuzz(100)
@given(st.sampled_from(("ready", "ready_busy", "sync3")), coroutine_steps, values)
def check_insert_coroutine(phase, steps, value):
    s = build(phase)
    coro = s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
    value = realize(value)
    trace(phase, steps, value)
    for step in steps:
        try:
            if step == "send":
                coro.send(None)
            elif step == "send_value":
                coro.send(value)
            elif step == "next":
                next(coro.__await__())
            elif step == "throw":
                coro.throw(Boom("thrown"))
            elif step == "throw_type":
                coro.throw(ValueError, value)
            elif step == "throw_odd":
                coro.throw(value)
            elif step == "close":
                coro.close()
            elif step == "await":
                asyncio.run(_await(coro))
            elif step == "attrs":
                (coro.__name__, coro.__qualname__, coro.cr_running, coro.cr_await, repr(coro))
            else:
                coro = s.insert(value, "SELL", "CLOSE", 1, 5000.0)
        except (StopIteration, Exception) as error:  # noqa: BLE001
            ordinary(error)
    del coro
    usable(s)


async def _await(coro):
    return await coro


INTERNAL = {  # method: the number of arguments it takes
    "_aggregate": 1, "_apply_position_trade": 1, "_by_ref": 1, "_child": 1, "_complete": 1, "_complete_account": 2,
    "_free_parts": 2, "_is_spec_order": 1, "_is_spec_trade": 1, "_map_view": 4, "_order": 2, "_phase_request": 3,
    "_positions": 2, "_query_error": 2, "_recompute_frozen": 2, "_request": 2, "_status": 1, "_trade": 1,
    "_trade_id": 1, "_update_view": 3, "_clear_cache": 1,
}


@fuzz(150)
@given(st.sampled_from(("ready", "ready_busy", "sync3", "sync4")), st.sampled_from(sorted(INTERNAL)), st.data())
def check_internal_methods(phase, method, data):
    s = build(phase)
    rows = [template(s, name, lambda options: options[0])[0] for name in ("RtnOrder", "RtnTrade", "RspQryOrder")]
    plausible = st.sampled_from(rows + list(s.native_orders.values()) + list(s.o.values()) + [
        s.inflight, "long", "short", "SHFE.ag2412", s.positions, s.orders, s.account, {}, []])
    args = realize([data.draw(mostly(plausible)) for _ in range(INTERNAL[method])])
    trace(phase, method, args)
    try:
        getattr(s, method)(*args)
        s.commit({})
    except Exception as error:  # noqa: BLE001
        ordinary(error)
        usable(s)


MODULE_NAMES = ("different", "empty_position", "check_symbol", "TradingResult", "finite", "timestamp",
                "local_order_id", "order_offset", "Position", "Trade", "Account", "QUERY", "QUERY_LABELS",
                "PHASE_LABELS", "SYNC_STEPS", "FLAG_BY_OFFSET", "OFFSET_BY_FLAG", "ACCOUNT_FIELDS", "VelkorError",
                "TZ", "datetime", "math", "os", "mkdtemp", "LiveMap", "Recovery")


@fuzz(150)
@given(st.sampled_from(("ready", "ready_busy", "sync2", "sync4", "sync5")), st.sampled_from(MODULE_NAMES),
       st.sampled_from(["value", "returns", "raises", "meddles"]), st.sampled_from(OPERATIONS[:7]), st.data())
def check_module_names(phase, attribute, kind, operation, data):
    s = build(phase)
    value = realize(data.draw(values))
    replacement = {"value": value, "returns": lambda *a, **k: value, "raises": _boom,
                   "meddles": lambda *a, **k: (MEDDLING[data.draw(st.sampled_from(sorted(MEDDLING)))](s), value)[1]}
    saved = getattr(trading_module, attribute)
    setattr(trading_module, attribute, replacement[kind])
    trace(phase, attribute, kind, value, operation)
    try:
        operate(s, operation, data.draw)
    except Exception as error:  # noqa: BLE001
        ordinary(error)
    finally:
        setattr(trading_module, attribute, saved)


# Front addresses of the adapter over the real bridge: loopback or unusable, never anything else.
FRONT_URLS = ["tcp://127.0.0.1:1", "", "\x00", "tcp://[::1]:1", "中文", "x" * 300, "tcp://127.0.0.1:99999"]
REQUESTS = ["OrderInsert", "OrderAction", "QryTrade", "QryOrder", "QryInstrument", "QryTradingAccount", "UserLogin",
            "Authenticate", "SettlementInfoConfirm", "QryInvestorPosition", "Nope", ""]


@fuzz(60)
@given(st.sampled_from(FRONT_URLS) | values, st.data())
def check_native(front_url, data):
    from velkor.trading import Native
    front_url = realize(front_url)
    if type(front_url) is str and front_url not in FRONT_URLS:
        front_url = "tcp://127.0.0.1:1"
    directory = data.draw(mostly(st.just(os.environ["FUZZ_TMP"]), values))
    trace(front_url, directory)
    try:
        native = Native(SimpleNamespace(front_url=front_url), realize(directory))
    except Exception as error:  # noqa: BLE001
        ordinary(error)
        return
    payloads = st.dictionaries(st.sampled_from(["InstrumentID", "ExchangeID", "LimitPrice", "VolumeTotalOriginal",
                                                "OrderRef", "OrderSysID", "Direction", "CombOffsetFlag", "Password",
                                                "CurrencyID", "Nope"]), values, max_size=4)
    for _ in range(data.draw(st.integers(1, 5))):
        step = data.draw(st.sampled_from(["request", "poll", "close", "handle"]))
        args = realize((data.draw(mostly(st.sampled_from(REQUESTS))), data.draw(mostly(payloads)),
                        data.draw(mostly(st.integers(0, 2**31 - 1)))))
        trace(step, args)
        try:
            if step == "request":
                native.request(*args)
            elif step == "poll":
                native.poll()
            elif step == "close":
                native.close()
            else:
                native.handle = args[1]
        except Exception as error:  # noqa: BLE001
            ordinary(error)
    try:
        native.close()
    except Exception as error:  # noqa: BLE001
        ordinary(error)


REENTRY = sorted(MEDDLING) + ["event", "insert", "cancel", "commit", "tick"]


@fuzz(150)
@given(st.sampled_from(("ready", "ready_busy", "sync1", "sync4", "login")), st.sampled_from(REENTRY),
       st.sampled_from(OPERATIONS[:4]), st.data())
def check_reentrant_adapter(phase, reentry, operation, data):
    """An adapter whose request calls back into the session before it answers."""
    s = build(phase)
    answer_with = data.draw(outcomes.filter(lambda o: not hostile(o)))
    nested = []

    def request(method, payload, request_id):
        s.native.requests.append((method, dict(payload), request_id))
        if not nested:  # once: the nested call may send requests of its own
            nested.append(reentry)
            if reentry in MEDDLING:
                MEDDLING[reentry](s)
            else:
                try:
                    operate(s, reentry, data.draw)
                except Exception as error:  # noqa: BLE001
                    ordinary(error)
        if isinstance(answer_with, type):
            raise answer_with("scripted")
        return answer_with

    s.native.request = request
    trace(phase, reentry, operation, answer_with)
    try:
        operate(s, operation, data.draw)
        s.commit({})
    except Exception as error:  # noqa: BLE001
        ordinary(error)
    usable(s)


LIFECYCLE = ("start", "yield", "close", "close_fails", "insert", "cancel", "commit", "event", "cancel_task")


@fuzz(100)
@given(st.sampled_from(("connecting", "sync2", "ready", "ready_busy")), st.lists(st.sampled_from(LIFECYCLE),
                                                                                   max_size=8), st.data())
def check_lifecycle(phase, steps, data):
    """start, close and the user's calls in any order on a running loop."""
    s = build(phase)
    s.recovery = Recovery("交易连接")
    trading_module.asyncio = FastAsyncio(s.clock)
    trace(phase, steps)

    async def scenario():
        for step in steps:
            try:
                if step == "start":
                    s.start()
                elif step == "yield":
                    await asyncio.sleep(0)
                elif step in ("close", "close_fails"):
                    if step == "close_fails" and s.native is not None:
                        s.native.close = _boom
                    await s.close()
                elif step == "cancel_task":
                    if s.task:
                        s.task.cancel()
                else:
                    operate(s, step, data.draw)
            except Exception as error:  # noqa: BLE001
                ordinary(error)
        if s.native is not None:
            s.native.close = lambda: None
        await s.close()
        assert s.native is None and (s.task is None or s.task.done())

    asyncio.run(scenario())
    usable(s)


LINKS = ("self_attribute", "objects", "record", "insert_pending", "insert_started", "run_pending", "run_started",
         "close_pending", "native", "factory", "changed_waiter")


@fuzz(100)
@given(st.sampled_from(PHASES), st.lists(st.sampled_from(LINKS), min_size=1, max_size=4))
def check_cycles(phase, links):
    """Sessions caught in reference cycles with their own coroutines are collected, whatever state
    those coroutines are in."""
    s = build(phase)
    CURRENT[0] = None
    trace(phase, links)
    for link in links:
        if link == "self_attribute":
            s.me = s
        elif link == "objects":
            s.objects[id(s)] = s
        elif link == "record":
            s.p.setdefault("SHFE.ag2412", {})["session"] = s
        elif link.startswith("insert"):
            s.coroutine = s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
            if link == "insert_started":
                with contextlib.suppress(StopIteration, Exception):
                    s.coroutine.send(None)
        elif link.startswith("run"):
            s.runner = s.run()
            if link == "run_started":
                trading_module.asyncio = FastAsyncio(s.clock)
                with contextlib.suppress(Exception):
                    s.runner.send(None)  # suspends in its first pause (awaiting a future)
        elif link == "close_pending":
            s.closer = s.close()
        elif link == "native":
            if s.native is not None:  # a run dropped while it waited has closed it
                s.native.owner = s
        elif link == "factory":
            s.factory.owner = s
        else:
            s.changed.owner = s
    alive = weakref.ref(s)
    del s
    gc.collect()
    assert alive() is None, "the session outlived its last reference"


class Sentinel:
    """A value that nothing else refers to: its reference count shows what the session kept of it."""


class Text(str):
    """Text that the session cannot intern (interning keeps exact str objects for ever)."""


class Price(float):
    pass


@fuzz(100)
@given(st.sampled_from(PHASES), st.sampled_from(["event", "insert", "cancel", "view"]), st.data())
def check_references(phase, operation, data):
    s = build(phase)
    s.native.results["OrderInsert"] = data.draw(outcomes.filter(lambda o: not hostile(o)))
    if data.draw(st.booleans()):
        for oid, child in list(s.native_orders.items()):
            if child["status"] == "PENDING":
                confirm(s, oid)
    probes = []  # (object, its reference count before the call)

    def probe(value):
        probes.append((value, sys.getrefcount(value)))
        return value

    if operation == "event":
        rec = realize(data.draw(records(s)))
        rec = dict(rec) if type(rec) is dict else {"name": "RtnOrder"}
        body = dict(rec["data"]) if type(rec.get("data")) is dict else {}
        keys = sorted(body) + ["request_id", "last", "error"]
        key = data.draw(st.sampled_from(keys))
        if key in body:
            body[key] = probe(Text(body[key]) if type(body[key]) is str else Sentinel())
        else:
            rec[key] = probe(Sentinel())
        rec["data"] = body
        args = (rec,)
        trace(phase, operation, rec)
        call = s.event
    elif operation == "insert":
        args = (probe(Text(data.draw(st.sampled_from(SYMBOLS)))),
                probe(Text(data.draw(st.sampled_from(["BUY", "SELL"])))),
                probe(Text(data.draw(st.sampled_from(["OPEN", "CLOSE"])))), data.draw(st.integers(1, 4)),
                probe(Price(data.draw(st.sampled_from([5000.0, 4999.0, 5000.5])))))
        trace(phase, operation, args)

        def call(*a):
            return now(s.insert(*a))
    elif operation == "cancel":
        args = (probe(Text(data.draw(st.sampled_from(["3:77:101", "3:77:102", "3:77:1", "3:77:2"])))),)
        trace(phase, operation, args)
        call = s.cancel
    else:
        args = (probe(Text(data.draw(st.sampled_from(SYMBOLS + ("CZCE.ab1",))))),)
        trace(phase, operation, args)
        call = s.position_view
    try:
        call(*args)
        s.commit({})
    except Exception as error:  # noqa: BLE001
        ordinary(error)
    del args, call, s
    CURRENT[0] = None
    if operation == "event":
        del rec, body
    gc.collect()
    for value, before in probes:
        assert sys.getrefcount(value) == before, f"{value!r} kept"


# -- the pytest side: the properties run in child interpreters

PROPERTIES = ["check_event", "check_insert", "check_cancel", "check_commit_and_view", "check_corrupted_state",
              "check_limits", "check_tick", "check_run", "check_helpers", "check_insert_coroutine", "check_references",
              "check_internal_methods", "check_native", "check_module_names", "check_cycles",
              "check_reentrant_adapter", "check_lifecycle"]


@pytest.fixture(scope="module")
def verdicts():
    """Runs every property in one child interpreter; when the child dies in one, a new child goes on
    with the rest. name -> None (passed) or the text that explains the failure."""
    found: dict[str, str | None] = {}
    while len(found) < len(PROPERTIES):
        remaining = [name for name in PROPERTIES if name not in found]
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "report.jsonl")
            env = dict(os.environ, PYTHONFAULTHANDLER="1", FUZZ_TMP=tmp, FUZZ_REPORT=report)
            proc = subprocess.run([sys.executable, "-X", "dev", os.path.abspath(__file__), *remaining], cwd=tmp,
                                  env=env, capture_output=True, text=True, timeout=600)
            lines = [json.loads(line) for line in open(report, encoding="utf-8")] if os.path.exists(report) else []
        started = None
        for entry in lines:
            if entry["event"] == "start":
                started = entry["name"]
            else:
                found[entry["name"]] = entry.get("failure")
                started = None
        output = f"exit code {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-6000:]}"
        if started is not None:
            found[started] = "the child interpreter died in this property: " + output
        else:  # it never got to these
            for name in remaining:
                found.setdefault(name, "the child interpreter stopped before this property: " + output)
    return found


@pytest.mark.parametrize("prop", PROPERTIES)
def test_property_in_a_child_interpreter(verdicts, prop):
    failure = verdicts[prop]
    assert failure is None, failure


def _main(argv):
    import velkor.trading as module
    tmp = os.environ.setdefault("FUZZ_TMP", tempfile.mkdtemp())
    real = tempfile.mkdtemp
    module.mkdtemp = lambda suffix=None, prefix=None, dir=None: real(suffix, prefix, tmp if dir is None else dir)
    report_path = os.environ.get("FUZZ_REPORT")
    report = open(report_path, "a", encoding="utf-8") if report_path else None
    saved = {name: getattr(module, name) for name in ("time", "asyncio")}

    def note(**entry):
        if report:
            report.write(json.dumps(entry) + "\n")
            report.flush()
            os.fsync(report.fileno())

    failed = False
    for name in argv:
        note(event="start", name=name)
        try:
            globals()[name]()
        except BaseException:  # noqa: BLE001 - reported, and the next property still runs
            note(event="end", name=name, failure=traceback.format_exc())
            failed = True
            if not report:
                raise
        else:
            note(event="end", name=name)
        finally:
            for attribute, value in saved.items():
                setattr(module, attribute, value)
    if report:
        report.close()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    _main(sys.argv[1:])
