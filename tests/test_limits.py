"""Pre-trade limits over the fake adapter: the Limits value, each rule against a reference model that walks
the session's books, and what a cancel counts through failures, reconnects and the day roll."""

from __future__ import annotations

import copy
import logging
import pickle

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

from fakes import FakeClock, fake_time, front_disconnected, make_session, record
from test_entry_support import insert
from test_sync_support import (DAY, FRONT, SESSION, account_row, instrument, log_in, order_row, position_row,
                               run_step, trade_row)
from velkor import trading
from velkor.trading import Limits

SHFE, DCE = "SHFE.ag2412", "DCE.m2501"
FINAL = ("FILLED", "CANCELLED", "REJECTED")
REFUSALS = {"max_order_volume": "超过单笔报单手数上限，报单未提交",
            "max_active_orders": "超过未完成报单数量上限，报单未提交",
            "max_orders_per_second": "超过每秒报撤单笔数上限，报单未提交",
            "max_cancels_per_contract": "该合约当日撤单次数已达上限，报单未提交",
            "max_large_cancels_per_contract": "该合约当日大额报单撤单次数已达上限，报单未提交",
            "self_trade": "可能与本账户挂单自成交，报单未提交"}


# -- the value

def test_limits_is_a_frozen_value_compared_by_its_settings():
    a = Limits(max_order_volume=5, max_cancels_per_contract=0, self_trade=True)
    assert (a.max_order_volume, a.max_active_orders, a.large_order_volume, a.self_trade) == (5, None, 300, True)
    assert a == eval(repr(a), {"Limits": Limits}) == copy.deepcopy(a) == pickle.loads(pickle.dumps(a))
    assert hash(a) == hash(Limits(self_trade=True, max_cancels_per_contract=0, max_order_volume=5))
    assert a != Limits(max_order_volume=5, self_trade=True) and a != 5
    with pytest.raises(AttributeError):
        a.max_order_volume = 6  # type: ignore[misc]


@pytest.mark.parametrize("settings, error, message", [
    ({"max_order_volume": True}, TypeError, "max_order_volume 必须是 int 或 None，不能是 bool"),
    ({"max_active_orders": 2.0}, TypeError, "max_active_orders 必须是 int 或 None，不能是 float"),
    ({"max_orders_per_second": -1}, ValueError, "max_orders_per_second 不能为负数：-1"),
    ({"max_cancels_per_contract": 2 ** 63}, ValueError, "max_cancels_per_contract 超出范围"),
    ({"large_order_volume": None}, TypeError, "large_order_volume 必须是 int，不能是 NoneType"),
    ({"large_order_volume": 0}, ValueError, "large_order_volume 必须至少为 1：0"),
    ({"self_trade": 1}, TypeError, "self_trade 必须是 bool，不能是 int"),
])
def test_bad_settings_name_the_setting(settings, error, message):
    with pytest.raises(error, match=message):
        Limits(**settings)


def test_only_limits_or_none_are_taken_and_nothing_is_registered_before():
    objects: dict = {}
    with pytest.raises(TypeError, match="limits 必须是 velkor.trading.Limits 或 None，不能是 dict"):
        make_session(objects=objects, limits={"max_order_volume": 1})
    with pytest.raises(TypeError):
        Limits(5)  # type: ignore[misc]
    assert objects == {}
    s = make_session()
    assert (s.limits, s.limit_counts) == (None, None)


# -- a session over a scripted front: login, synchronisation, returns

class Front:
    """What the account's counter holds (orders and trades of the day) and the returns it sends."""

    def __init__(self, s, clock):
        self.s, self.clock = s, clock
        self.day, self.session_id = DAY, SESSION
        self.orders: dict[str, dict] = {}   # order id -> the counter's row
        self.trades: list[dict] = []
        self.held: list[dict] = []          # trade returns not delivered yet

    def sync(self, day=None, session_id=None):
        """A lost connection, then a new login on `day` and the whole synchronisation."""
        s = self.s
        if s.phase != "connecting":
            s.event(front_disconnected())
        self.day, self.session_id = day or self.day, session_id or self.session_id + 1
        log_in(s, day=self.day, session=self.session_id, max_ref=str(100 * self.session_id))
        positions = [position_row(sym, d, total, today, date, day=self.day) for sym in (SHFE, DCE)
                     for d in "23" for total, today, date in ((1, 0, "2"), (50, 50, "1"))]
        for kind, rows in [("instruments", [instrument(SHFE), instrument(DCE)]),
                           ("orders", list(self.orders.values())), ("trades_before", self.trades),
                           ("positions", positions), ("trades_after", self.trades),
                           ("account", [account_row(day=self.day, available=1e9)])]:
            run_step(s, self.clock, rows, kind)
        assert s.session_status == "READY"
        s.reset_pending = False

    def roll(self, day):
        """The day roll: the counter drops the day's orders and trades; the session logs in again."""
        self.orders, self.trades, self.held = {}, [], []
        self.sync(day=day)

    def row(self, order_id, **change):
        o = self.orders[order_id]
        o.update(change, VolumeTotal=o["VolumeTotalOriginal"] - o.get("VolumeTraded", 0))
        self.s.event(record("RtnOrder", dict(o)))

    def accept(self, order_id):
        """An order this session sent reaches the counter (and its exchange number) on its first return."""
        c, o = self.s.native_orders[order_id], self.s.o[order_id]
        self.orders[order_id] = dict(
            order_row(c["symbol"], c["ref"], f"{len(self.orders) + 1:>12}", volume=c["volume_original"],
                      direction="0" if c["direction"] == "BUY" else "1", offset=trading.FLAG_BY_OFFSET[c["offset"]],
                      front=c["front"], session=c["session"], day=self.day), LimitPrice=o["limit_price"])
        self.row(order_id)

    def other(self, symbol, direction, price, volume):
        """An order of another session of the account."""
        ref = len(self.orders) + 1
        order_id = f"{FRONT}:999:{ref}"
        self.orders[order_id] = dict(order_row(symbol, ref, f"{ref:>12}", volume=volume, direction=direction,
                                               session=999, day=self.day), LimitPrice=price)
        self.row(order_id)
        return order_id

    def fill(self, order_id, lots, trade_first, hold=False):
        """A fill: its trade return before the order return, after it, or later (`release`)."""
        o = self.orders[order_id]
        traded = o["VolumeTraded"] + lots
        trade = trade_row(f"{o['ExchangeID']}.{o['InstrumentID']}", f"T{len(self.trades) + 1}", o["OrderSysID"],
                          lots, o["Direction"], o["CombOffsetFlag"], day=self.day)
        self.trades.append(trade)
        if trade_first:
            self.s.event(record("RtnTrade", trade))
        self.row(order_id, VolumeTraded=traded, OrderStatus="0" if traded == o["VolumeTotalOriginal"] else "1")
        if not trade_first:
            self.held.append(trade)
            if not hold:
                self.release()

    def release(self):
        for trade in self.held:
            self.s.event(record("RtnTrade", trade))
        self.held = []

    def working(self, own=None):
        return [i for i, o in self.orders.items() if o["OrderStatus"] in "13"
                and (own is None or own == (o["SessionID"] != 999))]


@pytest.fixture
def clocked(monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(trading, "time", fake_time(c))
    return c


def limited(clock, **rules):
    s = make_session(limits=Limits(**rules))
    front = Front(s, clock)
    front.sync()
    return s, front


# -- every rule against a reference that walks the books

class Reference:
    """The rules computed afresh at every step: the alive orders by a walk over the session's books, the
    day's cancels from every cancel sent and every order the books ever showed cancelled."""

    def __init__(self, s, rules):
        self.s, self.rules = s, rules
        self.cancelled: dict[str, tuple[str, int]] = {}  # order id -> (symbol, lots)
        self.sends: list[float] = []
        self.checked: float | None = None  # when the limits last looked at the clock
        self.self_trades = 0

    def alive(self):
        return [c for c in self.s.native_orders.values() if c["status"] not in FINAL and not c["pending_finish"]]

    def see(self):
        for order_id, c in self.s.native_orders.items():
            if c["status"] == "CANCELLED" or (c["pending_finish"] and c["finish_status"] == "CANCELLED"):
                self.cancelled.setdefault(order_id, (c["symbol"], c["volume_original"]))

    def broken(self, symbol, direction, volume, price, parts, now):
        """The first rule the insert breaks, or None."""
        r = self.rules
        today = [lots for sym, lots in self.cancelled.values() if sym == symbol]
        opposite = [self.s.o[c["parent"]]["limit_price"] for c in self.alive()
                    if c["symbol"] == symbol and c["direction"] != direction]
        for rule, broken in [
            ("max_order_volume", lambda limit: volume > limit),
            ("max_active_orders", lambda limit: len(self.alive()) + len(parts) > limit),
            ("max_orders_per_second", lambda limit: sum(now - t < 1 for t in self.sends) + len(parts) > limit),
            ("max_cancels_per_contract", lambda limit: len(today) >= limit),
            ("max_large_cancels_per_contract", lambda limit: max(parts) >= r["large_order_volume"]
             and sum(lots >= r["large_order_volume"] for lots in today) >= limit),
            ("self_trade", lambda on: on and any(price >= p if direction == "BUY" else price <= p for p in opposite)),
        ]:
            if r[rule] is not None and broken(r[rule]):
                return rule
        return None

    def agrees(self):
        counts = self.s.limit_counts
        large = self.rules["large_order_volume"]
        by_symbol = {}
        for symbol, lots in self.cancelled.values():
            by_symbol.setdefault(symbol, [0, 0])
            by_symbol[symbol][0] += 1
            by_symbol[symbol][1] += lots >= large
        assert dict(counts["cancels"]) == {sym: n for sym, (n, _) in by_symbol.items()}
        assert dict(counts["large_cancels"]) == {sym: n for sym, (_, n) in by_symbol.items() if n}
        assert counts["active_orders"] == len(self.alive())
        assert counts["self_trade_refusals"] == self.self_trades
        if self.checked is not None:
            assert counts["orders_last_second"] == sum(self.checked - t < 1 for t in self.sends)


def rule(low, high):
    return st.none() | st.none() | st.integers(low, high)  # off as often as on


RULES = st.fixed_dictionaries({
    "max_order_volume": rule(1, 4),
    "max_active_orders": rule(0, 6),
    "max_orders_per_second": rule(1, 4),
    "max_cancels_per_contract": rule(0, 3),
    "max_large_cancels_per_contract": rule(0, 2),
    "large_order_volume": st.integers(1, 4),
    "self_trade": st.booleans(),
})
STEPS = ["insert"] * 6 + ["accept"] * 3 + ["fill"] * 2 + ["cancel"] * 3 + [
    "refuse_insert", "cancelled", "refuse_cancel", "release", "other", "tick", "tick", "reconnect", "roll"]


def plan(s, symbol, direction, offset, volume):
    """The lots of every order the insert sends; None when the free lots are too few."""
    if offset == "OPEN":
        return [volume]
    history, today = s._free_parts(symbol, "long" if direction == "SELL" else "short")
    if volume > history + today:
        return None
    if symbol == DCE:
        return [volume]
    yesterday = min(volume, history)
    return [lots for lots in (yesterday, volume - yesterday) if lots]


def insert_step(s, ref, draw, now):
    symbol, direction = draw(st.sampled_from([SHFE, DCE])), draw(st.sampled_from(["BUY", "SELL"]))
    offset, volume = draw(st.sampled_from(["OPEN", "OPEN", "CLOSE"])), draw(st.integers(1, 5))
    price = draw(st.sampled_from([4990.0, 5000.0, 5010.0]))
    parts = plan(s, symbol, direction, offset, volume)
    expected = None if parts is None else ref.broken(symbol, direction, volume, price, parts, now)
    results = insert(s, symbol, direction, offset, volume, price)
    if parts is None:
        assert [r.message for r in results] == ["报单参数无效或可平持仓不足，未提交"]
        return
    ref.checked = now
    event(f"insert: {expected or 'sent'}")
    if expected:
        assert [(r.status, r.message) for r in results] == [("REJECTED", REFUSALS[expected])]
        ref.self_trades += expected == "self_trade"
    else:
        assert [r.status for r in results] == ["SUBMITTED"] * len(parts)
        ref.sends += [now] * len(parts)


@settings(max_examples=100, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(rules=RULES, data=st.data())
def test_every_rule_and_count_agrees_with_a_walk_over_the_books(rules, data):
    clock = FakeClock()
    saved, trading.time = trading.time, fake_time(clock)
    try:
        s, front = limited(clock, **rules)
        ref = Reference(s, rules)
        for _ in range(data.draw(st.integers(10, 60))):
            step = data.draw(st.sampled_from(STEPS))
            own = front.working(own=True)
            if step == "insert":
                insert_step(s, ref, data.draw, clock.now)
            elif step in ("accept", "refuse_insert"):
                waiting = [i for i, c in s.native_orders.items() if c["status"] == "PENDING" and i not in front.orders
                           and c["session"] == s.session]
                if waiting and step == "accept":
                    front.accept(data.draw(st.sampled_from(waiting)))
                elif waiting:
                    order_ref = s.native_orders[data.draw(st.sampled_from(waiting))]["ref"]
                    s.event(record("RspOrderInsert", {"OrderRef": order_ref}, 31, "CTP:资金不足"))
            elif step in ("fill", "cancelled") and front.working():
                order_id = data.draw(st.sampled_from(front.working()))
                o = front.orders[order_id]
                if step == "cancelled":
                    front.row(order_id, OrderStatus="5")
                else:
                    front.fill(order_id, data.draw(st.integers(1, o["VolumeTotalOriginal"] - o["VolumeTraded"])),
                               data.draw(st.booleans()), hold=data.draw(st.booleans()))
            elif step == "cancel" and own:
                s.native.results["OrderAction"] = [data.draw(st.sampled_from([0, 0, -3]))]  # -3: not sent
                for r in s.cancel(data.draw(st.sampled_from(own))):
                    if r.status == "SUBMITTED":  # sent: counted, also when it fails later
                        ref.checked = clock.now
                        ref.sends.append(clock.now)
                        c = s.native_orders[r.order_id]
                        ref.cancelled.setdefault(r.order_id, (c["symbol"], c["volume_original"]))
            elif step == "refuse_cancel":
                for order_id, c in s.native_orders.items():
                    if c["cancel_pending"] and order_id in front.orders:
                        sys_id = front.orders[order_id]["OrderSysID"]
                        s.event(record("RspOrderAction", {"OrderSysID": sys_id}, 26, "CTP:已全成交"))
            elif step == "release":
                front.release()
            elif step == "other":
                front.other(data.draw(st.sampled_from([SHFE, DCE])), data.draw(st.sampled_from("01")),
                            data.draw(st.sampled_from([4990.0, 5000.0, 5010.0])), data.draw(st.integers(1, 5)))
            elif step == "tick":
                clock.advance(data.draw(st.sampled_from([0.125, 0.375, 0.75, 1.0])))  # exact in binary
            elif step == "reconnect":
                for order_id, c in list(s.native_orders.items()):  # the counter has every order it was sent
                    if c["status"] == "PENDING" and order_id not in front.orders:
                        front.accept(order_id)
                front.sync()
            elif step == "roll":
                front.roll(f"202401{int(front.day[-2:]) + 1:02d}")
                ref.cancelled.clear()
                ref.self_trades = 0
            ref.see()
            ref.agrees()
    finally:
        trading.time = saved


def test_refusals_and_cancels_at_the_limit_are_logged_with_the_rule_the_limit_and_the_count(clocked, caplog):
    s, front = limited(clocked, max_order_volume=5, max_cancels_per_contract=1, self_trade=True)
    [r] = insert(s, SHFE, "BUY", "OPEN", 2, 4000.0)
    front.accept(r.order_id)
    caplog.set_level(logging.WARNING, "velkor.trading.orders")
    s.cancel(r.order_id)
    front.row(r.order_id, OrderStatus="5")  # the same cancel, reported: neither counted nor logged again
    front.other(DCE, "1", 3000.0, 1)
    for args in [(SHFE, "BUY", "OPEN", 6, 4000.0), (SHFE, "SELL", "OPEN", 1, 4000.0), (DCE, "BUY", "OPEN", 1, 3000.0)]:
        insert(s, *args)
    prefix = "[9999/123456] "
    assert [(rec.levelname, rec.limit, rec.user_id, rec.getMessage()) for rec in caplog.records] == [
        ("WARNING", "max_cancels_per_contract", "123456", f"{prefix}cancel of order {r.order_id} sent: cancels today "
         "on SHFE.ag2412: 1, limit 1; new orders on it are refused"),
        ("WARNING", "max_order_volume", "123456", f"{prefix}order SHFE.ag2412 BUY OPEN 6 lots at 4000.0 refused by "
         "limit max_order_volume: lots asked: 6, limit 5"),
        ("WARNING", "max_cancels_per_contract", "123456", f"{prefix}order SHFE.ag2412 SELL OPEN 1 lots at 4000.0 "
         "refused by limit max_cancels_per_contract: cancels today on SHFE.ag2412: 1, limit 1"),
        ("WARNING", "self_trade", "123456", f"{prefix}order DCE.m2501 BUY OPEN 1 lots at 3000.0 refused by limit "
         "self_trade: it could trade against the account's alive SELL order at 3000.0; self-trade refusals today: 1"),
    ]
