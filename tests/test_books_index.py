"""The free lots of every symbol and side stay what the walk over all child orders gives, whatever
happens to the book: order returns, fills, inserts, cancels, child records edited or replaced,
containers replaced or changed in place, resets."""

from __future__ import annotations

import gc
import logging
import os
import subprocess
import sys
import weakref

import pytest

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from test_entry_support import FRONT, SESSION, holding, instrument, now, ready_session

SYMBOLS = ("SHFE.ag2412", "SHFE.cu2501", "DCE.m2501")
FINAL = ("FILLED", "CANCELLED", "REJECTED")


class Text(str):
    """A text that only equals the plain one."""


class Record(dict):
    """A child record that is not a plain dict."""


def walk(s, symbol, side):
    """The closable (history, today) lots of one side: each live closing child of the symbol, in order."""
    rec = s.p.get(symbol)
    if rec is None or rec["pos_" + side] is None:
        return 0, 0
    history, today = rec[f"pos_{side}_his"], rec[f"pos_{side}_today"]
    closing = "SELL" if side == "long" else "BUY"
    for child in s.native_orders.values():
        if child["symbol"] != symbol or child["status"] in FINAL or child["direction"] != closing:
            continue
        if child["offset"] == "OPEN":
            continue
        close_type, left = child["close_type"], child["volume_left"]
        if close_type == "TODAY":
            today -= left
        elif close_type == "HISTORY":
            history -= left
        else:
            used = min(left, max(history, 0))
            history -= used
            today -= left - used
    if min(today, history) < 0:
        raise BufferError("有效平仓委托冻结量超过本地持仓")
    return history, today


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # the same failure, or the same lots
        return type(e), e.args


def expected_plan(s, symbol, direction, offset, volume):
    """The (offset, lots) orders an insert sends, from the walk; None when it is refused."""
    try:
        if offset == "OPEN":
            plan = [("OPEN", volume)]
        else:
            history, today = walk(s, symbol, "long" if direction == "SELL" else "short")
            if volume > history + today:
                return None
            yesterday = min(volume, history)
            plan = ([("CLOSE", volume)] if not symbol.startswith("SHFE.") else
                    [p for p in (("CLOSE_YESTERDAY", yesterday), ("CLOSE_TODAY", volume - yesterday)) if p[1]])
        walk(s, symbol, "long"), walk(s, symbol, "short")
    except (BufferError, KeyError, TypeError, ValueError):
        return None
    return plan


lots = st.sampled_from([0, 1, 2, 3, 5, 8, 20])
odd_values = {
    "volume_left": st.integers(-2, 8) | st.sampled_from([True, 2.0, 2**70]),
    "status": st.sampled_from(["PENDING", "ALIVE", *FINAL, "ODD", 3]) | st.builds(Text, st.sampled_from(FINAL)),
    "close_type": st.sampled_from([None, "TODAY", "HISTORY", "UNSPECIFIED", 3]) | st.builds(Text, st.just("TODAY")),
    "direction": st.sampled_from(["BUY", "SELL", "X"]) | st.builds(Text, st.just("SELL")),
    "offset": st.sampled_from(["OPEN", "CLOSE", "CLOSE_TODAY"]),
    "symbol": st.sampled_from([*SYMBOLS, "DCE.x"]) | st.builds(Text, st.sampled_from(SYMBOLS)),
}


class Book(RuleBasedStateMachine):
    @initialize(long=st.tuples(lots, lots), short=st.tuples(lots, lots))
    def start(self, long, short):
        self.s = ready_session(*SYMBOLS)
        self.baseline(long, short)
        self.serial = 0

    def baseline(self, long, short):
        for symbol in SYMBOLS:
            self.s.p[symbol] = holding(symbol, *long, *short)

    def ids(self):
        return [k for k in self.s.native_orders if isinstance(k, str)] or ["none"]

    @rule(ref=st.integers(0, 12), symbol=st.sampled_from(SYMBOLS), sell=st.booleans(),
          flag=st.sampled_from("0134"), status=st.sampled_from("0135"), original=st.integers(1, 6),
          traded=st.integers(0, 2))
    def order_return(self, ref, symbol, sell, flag, status, original, traded):
        exchange, instrument = symbol.split(".")
        row = {"TradingDay": self.s.day, "FrontID": FRONT, "SessionID": SESSION, "OrderRef": str(ref),
               "OrderSysID": f"S{ref}", "ExchangeID": exchange, "InstrumentID": instrument,
               "Direction": "1" if sell else "0", "CombOffsetFlag": flag, "CombHedgeFlag": "1",
               "LimitPrice": 5000.0, "VolumeTotalOriginal": original, "VolumeTraded": traded,
               "OrderStatus": status, "OrderSubmitStatus": "3", "InsertDate": self.s.day, "InsertTime": "09:30:00"}
        outcome(lambda: self.s.event({"name": "RtnOrder", "data": row}))

    @rule(data=st.data(), volume=st.integers(1, 3))
    def fill(self, data, volume):
        child = self.s.native_orders.get(data.draw(st.sampled_from(self.ids())))
        if not isinstance(child, dict) or not str(child.get("exchange_order_id", "")).strip():
            return
        self.serial += 1
        exchange, instrument = str(child.get("symbol", "SHFE.ag2412")).split(".", 1)
        row = {"TradingDay": self.s.day, "TradeID": f"T{self.serial}", "OrderSysID": child["exchange_order_id"],
               "ExchangeID": exchange, "InstrumentID": instrument,
               "Direction": "0" if child.get("direction") == "BUY" else "1",
               "OffsetFlag": {"OPEN": "0", "CLOSE_TODAY": "3", "CLOSE_YESTERDAY": "4"}.get(child.get("offset"), "1"),
               "HedgeFlag": "1", "Price": 5000.0, "Volume": volume, "TradeDate": self.s.day, "TradeTime": "09:31:00"}
        outcome(lambda: self.s.event({"name": "RtnTrade", "data": row}))

    @rule(symbol=st.sampled_from(SYMBOLS), direction=st.sampled_from(["BUY", "SELL"]),
          offset=st.sampled_from(["OPEN", "CLOSE"]), volume=st.integers(1, 6))
    def insert(self, symbol, direction, offset, volume):
        plan = expected_plan(self.s, symbol, direction, offset, volume)
        results = now(self.s.insert(symbol, direction, offset, volume, 5000.0))
        if plan is None:
            assert [r.status for r in results] == ["REJECTED"]
            return
        assert [r.status for r in results] == ["SUBMITTED"] * len(plan)
        children = [self.s.native_orders[r.order_id] for r in results]
        assert [(c["offset"], c["volume_original"]) for c in children] == plan

    @rule(data=st.data())
    def cancel(self, data):
        order_id = data.draw(st.sampled_from(self.ids()))
        outcome(lambda: self.s.cancel(order_id))

    @rule(data=st.data(), field=st.sampled_from(sorted(odd_values)))
    def edit_child(self, data, field):
        child = self.s.native_orders.get(data.draw(st.sampled_from(self.ids())))
        if not isinstance(child, dict):
            return
        how = data.draw(st.sampled_from(["set", "set", "update", "delete", "setdefault", "pop_finish"]))
        value = data.draw(odd_values[field])
        if how == "set":
            child[field] = value
        elif how == "update":
            child.update({field: value, "status_msg": "edited"})
        elif how == "delete":
            child.pop(field, None)
        elif how == "setdefault":
            child.setdefault(field, value)
        else:
            child.pop("finish_status", None)

    @rule(data=st.data(), how=st.sampled_from(["copy", "record", "drop", "twice", "odd key", "clear", "popitem",
                                              "re-add"]))
    def change_container(self, data, how):
        orders = self.s.native_orders
        key = data.draw(st.sampled_from(self.ids()))
        if key not in orders and how not in ("clear", "popitem"):
            return
        if how in ("copy", "record"):
            orders[key] = (dict if how == "copy" else Record)(orders[key])
        elif how == "drop":
            del orders[key]
        elif how == "twice":
            orders[key + "+"] = orders[key]
        elif how == "odd key":
            orders[(key,)] = orders.pop(key)
        elif how == "clear":
            saved = dict(orders)
            orders.clear()
            orders.update(saved)
        elif how == "popitem" and orders:
            orders.popitem()
        elif how == "re-add":
            orders[key] = orders.pop(key)

    @rule(how=st.sampled_from(["same children", "copied children", "record", "back"]))
    def replace_container(self, how):
        s = self.s
        if how == "back" and hasattr(self, "previous"):
            s.native_orders, self.previous = self.previous, s.native_orders
            return
        self.previous = s.native_orders
        if how == "same children":
            s.native_orders = dict(s.native_orders)
        elif how == "copied children":
            s.native_orders = {k: dict(v) if isinstance(v, dict) else v for k, v in s.native_orders.items()}
        else:
            s.native_orders = Record(s.native_orders)

    @rule(long=st.tuples(lots, lots), short=st.tuples(lots, lots), baseline=st.booleans())
    def reset(self, long, short, baseline):
        s = self.s
        s._clear_cache("SYNCING")
        s.phase, s.session_status, s.reset_pending = "ready", "READY", False
        s.front, s.session, s.position_ready = FRONT, SESSION, True
        s.instruments.update({symbol: instrument(symbol) for symbol in SYMBOLS})
        if baseline:
            self.baseline(long, short)

    @rule(symbol=st.sampled_from(SYMBOLS), long=st.tuples(lots, lots), short=st.tuples(lots, lots))
    def position(self, symbol, long, short):
        self.s.p[symbol] = holding(symbol, *long, *short)

    @rule(symbol=st.sampled_from(SYMBOLS))
    def recompute(self, symbol):
        s = self.s
        expect = [outcome(lambda: walk(s, symbol, side)) for side in ("long", "short")]
        raised = outcome(lambda: s._recompute_frozen(symbol=symbol))
        rec = s.p.get(symbol)
        if rec is None or rec["pos_long"] is None:
            assert raised is None
        elif all(isinstance(e[0], (int, float)) for e in expect):
            assert raised is None
            assert (rec["available_long"], rec["available_short"]) == tuple(sum(e) for e in expect)
        else:  # one walk over both sides: the first child that fails, whichever side it holds
            assert raised is not None and raised[0] in {e[0] for e in expect if isinstance(e[0], type)}

    @invariant()
    def free_lots_are_the_walks(self):
        if not hasattr(self, "s"):
            return
        for symbol in SYMBOLS:
            for side in ("long", "short"):
                assert outcome(lambda: self.s._free_parts(symbol, side)) == outcome(lambda: walk(self.s, symbol, side))


Book.TestCase.settings = settings(max_examples=150, stateful_step_count=40, deadline=None, database=None,
                                  suppress_health_check=list(HealthCheck))
TestBook = Book.TestCase


def test_a_session_lets_go_of_its_orders():
    s = ready_session("SHFE.ag2412")
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_his=5)
    [r] = now(s.insert("SHFE.ag2412", "SELL", "CLOSE", 2, 5000.0))
    child, container = s.native_orders[r.order_id], s.native_orders
    assert s._free_parts("SHFE.ag2412", "long") == (3, 0)
    before = sys.getrefcount(child), sys.getrefcount(container)
    s.native_orders = {}
    assert s._free_parts("SHFE.ag2412", "long") == (5, 0)  # the replaced book is let go of here
    assert (sys.getrefcount(child), sys.getrefcount(container)) == (before[0] - 1, before[1] - 2)
    s.native_orders = container
    assert s._free_parts("SHFE.ag2412", "long") == (3, 0)
    del s
    gc.collect()
    assert (sys.getrefcount(child), sys.getrefcount(container)) == (3, 2)


class Holder:
    """A user object that a child record or the book carries, and that reaches back to the session."""


@pytest.mark.parametrize("where", ["record", "object in a record", "book"])
def test_a_session_that_its_orders_reach_is_collected(where):
    s = ready_session("SHFE.ag2412")
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_his=5)
    [r] = now(s.insert("SHFE.ag2412", "SELL", "CLOSE", 2, 5000.0))
    child, holder = s.native_orders[r.order_id], Holder()
    holder.session = s
    if where == "record":
        child["session"] = s
    elif where == "object in a record":
        child["holder"] = holder
    else:
        s.native_orders = Record(s.native_orders)
        s.native_orders.holder = holder
    assert s._free_parts("SHFE.ag2412", "long") == (3, 0)
    session, record = weakref.ref(s), weakref.ref(holder)
    del s, child, holder
    gc.collect()
    assert session() is None and record() is None


# -- handing the answer to the walk: counted, logged once, the same lots

SYMBOL = "DCE.m2501"


def handed_over(s):
    """The session's closing-walk counters that are not zero."""
    return {k: v for k, v in s.diagnostics.items() if k.startswith("closing_walk.") and v}


def fallback_records(caplog):
    return [(r.levelno, r.name, r.fallback, r.getMessage()) for r in caplog.records if hasattr(r, "fallback")]


def book_with_two_closes(cause):
    """A session with two live closing sells of SYMBOL (2 and 4 lots, unspecified closes) over 5 + 5 long lots,
    changed so that the index must hand its answer to the walk for `cause`; the sessions, the one to ask last."""
    s = ready_session(SYMBOL)
    s.p[SYMBOL] = holding(SYMBOL, long_his=5, long_today=5)
    first, second = (now(s.insert(SYMBOL, "SELL", "CLOSE", lots, 5000.0))[0].order_id for lots in (2, 4))
    assert s._free_parts(SYMBOL, "long") == (0, 4)
    if cause is None:
        return [s]
    assert not handed_over(s)  # the index answers
    if cause == "shared_record":  # another session's book is this one's
        other = ready_session(SYMBOL)
        other.p[SYMBOL] = s.p[SYMBOL]
        other.native_orders = s.native_orders
        return [s, other]
    if cause == "irregular_record":
        s.native_orders[first] = Record(s.native_orders[first])
    elif cause == "order_dependent":  # 2 of yesterday's lots, then 4 unspecified, over 5 of yesterday's
        s.native_orders[first]["close_type"] = "HISTORY"
    elif cause == "unusual_lots":
        s.p[SYMBOL]["pos_long_his"] = 5.0
    return [s]


@pytest.mark.parametrize("cause", ["shared_record", "irregular_record", "order_dependent", "unusual_lots"])
def test_each_answer_of_the_walk_is_counted_and_its_cause_logged_once(caplog, cause):
    caplog.set_level(logging.WARNING, logger="velkor.trading")
    *owners, s = book_with_two_closes(cause)  # the owners of a shared book live on
    for _ in range(3):
        assert s._free_parts(SYMBOL, "long") == walk(s, SYMBOL, "long")
    assert handed_over(s) == {f"closing_walk.{cause}": 3}
    [(level, logger, name, message)] = fallback_records(caplog)
    assert (level, logger, name) == (logging.WARNING, "velkor.trading", f"closing_walk.{cause}")
    assert message.startswith(f"[9999/123456] closing lots of {SYMBOL} by full walk: ")
    assert message.endswith(f"[closing_walk.{cause}]")


def test_the_index_answers_again_once_the_book_is_plain():
    [s] = book_with_two_closes("irregular_record")
    first = next(k for k, v in s.native_orders.items() if isinstance(v, Record))
    s._free_parts(SYMBOL, "long")
    s.native_orders[first] = dict(s.native_orders[first])
    assert s._free_parts(SYMBOL, "long") == (0, 4)
    assert handed_over(s) == {"closing_walk.irregular_record": 1}


def test_the_diagnostics_are_a_read_only_snapshot():
    [s] = book_with_two_closes("irregular_record")
    view = s.diagnostics
    s._free_parts(SYMBOL, "long")
    assert view["closing_walk.irregular_record"] == 0 and s.diagnostics["closing_walk.irregular_record"] == 1
    with pytest.raises(TypeError):
        view["closing_walk.irregular_record"] = 0  # type: ignore[index]
    assert set(view) == {f"closing_walk.{c}" for c in ("no_watcher", "shared_record", "irregular_record",
                                                       "order_dependent", "unusual_lots", "index_failed")} | {
        f"timed_pause.{c}" for c in ("no_descriptor", "descriptor_refused", "descriptor_broken", "asyncio_replaced",
                                     "clock_replaced", "irregular_time")}


WATCHERS_TAKEN = r"""
import _testcapi, logging, sys, time
sys.path.insert(0, {tests!r})
from test_books_index import SYMBOL, book_with_two_closes, walk

handler = logging.StreamHandler(sys.stdout)
handler.addFilter(lambda record: hasattr(record, "fallback"))
handler.setFormatter(logging.Formatter("%(levelname)s %(fallback)s"))
logging.getLogger("velkor.trading").addHandler(handler)
taken = []
while True:  # every dict watcher id of the interpreter, before the session's index asks for one
    try:
        taken.append(_testcapi.add_dict_watcher(0))
    except RuntimeError:
        break
[s] = book_with_two_closes(None)  # the walk answered while it was built


def walks(step):
    before = dict(s.diagnostics)
    assert s._free_parts(SYMBOL, "long") == walk(s, SYMBOL, "long") == (0, 4)
    print(step, {{k: v - before[k] for k, v in s.diagnostics.items() if v != before[k]}})


walks("no watcher")
_testcapi.clear_dict_watcher(taken.pop())
walks("an id freed")  # tried again a second after the last try, not before
time.sleep(1.1)
walks("a second later")
ours = (set(range(len(taken) + 1)) - set(taken)).pop()  # the index's own watcher, taken from it
_testcapi.clear_dict_watcher(ours)
s.native_orders = dict(s.native_orders)
walks("watch refused")
walks("again")
"""


def test_no_free_watcher_id_hands_every_answer_to_the_walk_until_one_is_free(tmp_path):
    """All eight dict-watcher ids taken by other code: the walk answers, the registration is tried again at most
    once a second. Run in a process of its own: the watcher is the process's."""
    pytest.importorskip("_testcapi")
    tests = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([sys.executable, "-c", WATCHERS_TAKEN.format(tests=tests)], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "WARNING closing_walk.no_watcher",  # once, while the book was built
        "no watcher {'closing_walk.no_watcher': 1}",
        "an id freed {'closing_walk.no_watcher': 1}",
        "a second later {}",
        "WARNING closing_walk.index_failed",
        "watch refused {'closing_walk.index_failed': 1}",
        "again {'closing_walk.index_failed': 1}",
    ]
