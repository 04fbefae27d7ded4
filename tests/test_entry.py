"""Order entry over the fake adapter: checks, plans, registration, sending and its failures."""

from __future__ import annotations

import collections.abc
import math

import pytest
from test_entry_support import FRONT, SESSION, holding, insert, now, ready_session, sent

from velkor import trading
from velkor.data import VelkorError
from velkor.ledgerlet import TradingResult

NOT_READY = TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")
INVALID = TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")


def oid(ref):
    return f"{FRONT}:{SESSION}:{ref}"


@pytest.mark.parametrize("state", [
    {"session_status": "SYNCING"},
    {"reset_pending": True},
    {"phase": "sync"},
])
def test_not_ready_session_rejects_and_sends_nothing(state):
    s = ready_session()
    for k, v in state.items():
        setattr(s, k, v)
    assert insert(s) == [NOT_READY]
    assert s.native.requests == [] and s.o == {} and s.order_ref == 100


def test_insert_and__insert_are_coroutines_that_never_suspend():
    s = ready_session()
    c = s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
    assert isinstance(c, collections.abc.Coroutine)
    assert s.native.requests == [] and s.order_ref == 100  # nothing happens before it is awaited
    assert now(c)[0].status == "SUBMITTED"
    c = s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
    c.close()
    assert len(s.native.requests) == 1
    s.session_status = "SYNCING"
    with pytest.raises(VelkorError, match="交易账户尚未 READY"):
        now(s._insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0))


@pytest.mark.parametrize("args", [
    dict(symbol="ag2412"), dict(symbol=123), dict(symbol="SHFE.ag9999"),
    dict(direction="buy"), dict(direction=None), dict(offset="CLOSE_TODAY"), dict(offset="CLOSETODAY"),
    dict(volume=True), dict(volume=0), dict(volume=2147483648), dict(volume=2.0), dict(volume=-1),
    dict(limit_price=True), dict(limit_price=math.nan), dict(limit_price=math.inf), dict(limit_price=1e100),
    dict(limit_price=0), dict(limit_price=-5000.0), dict(limit_price="5000"), dict(limit_price=10**400),
    dict(limit_price=5000.5),  # off the 1.0 grid
    dict(volume=501),  # above MaxLimitOrderVolume
], ids=repr)
def test_bad_arguments_get_the_generic_rejection_and_register_nothing(args):
    s = ready_session()
    assert insert(s, **args) == [INVALID]
    assert s.native.requests == [] and s.o == {} and s.native_orders == {} and s.ref_orders == {}
    assert s.order_ref == 100 and not s.dirty


@pytest.mark.parametrize("change", [{"IsTrading": 0}, {"PriceTick": None}, "drop MaxLimitOrderVolume"])
def test_unusable_instrument_rows_are_rejected(change):
    s = ready_session()
    row = s.instruments["SHFE.ag2412"]
    if isinstance(change, dict):
        row.update(change)
    else:
        del row["MaxLimitOrderVolume"]
    assert insert(s) == [INVALID]
    assert s.native.requests == []


@pytest.mark.parametrize("tick,price,ok", [
    (0.2, 3500.2, True), (0.2, 3500.1, False), (0.2, 3500, True), (0.0, 3500.123, True), (-1, 0.001, True),
    (0.01, 0.07, True), (0.5, 1e15 + 0.5, True), (5, 3502, False),
])
def test_tick_grid(tick, price, ok):
    s = ready_session(tick=tick)
    [r] = insert(s, limit_price=price)
    assert (r.status == "SUBMITTED") is ok, r
    if ok:
        assert sent(s, "OrderInsert")[0]["LimitPrice"] == price


@pytest.mark.parametrize("tick, price, grid", [
    (0.5, 5000.50000004, 5000.5), (0.1, 0.1 + 0.2, 0.3), (0.02, 620.0400000001, 620.04), (0.005, 106.505 - 1e-12, 106.505),
    (5.0, 11004.99999999, 11005.0), (0.2, 3899.9999999999995, 3900.0), (1e-05, 0.12345000000001, 0.12345),
    (2.5e-05, 0.000175000000001, 0.000175), (10, 76010.000000001, 76010.0),
])
def test_a_price_just_off_the_grid_is_sent_as_the_grid_price(tick, price, grid):
    s = ready_session(tick=tick)
    [r] = insert(s, limit_price=price)
    assert r.status == "SUBMITTED"
    sent_price = sent(s, "OrderInsert")[0]["LimitPrice"]
    assert sent_price == grid and repr(sent_price) == repr(grid)
    assert s.o[r.order_id]["limit_price"] == grid  # the order shows the price sent


@pytest.mark.parametrize("price", [3500, 3500.0, 3500.2])
def test_a_grid_price_goes_out_as_passed(price):
    s = ready_session(tick=0.2)
    insert(s, limit_price=price)
    assert sent(s, "OrderInsert")[0]["LimitPrice"] is price


def test_volume_at_the_int_limit_passes_the_argument_check():
    s = ready_session(max_volume=2147483647)
    [r] = insert(s, volume=2147483647, limit_price=3500)
    assert r == TradingResult("SUBMITTED", oid(101))
    payload = sent(s, "OrderInsert")[0]
    assert payload["VolumeTotalOriginal"] == 2147483647
    assert type(payload["LimitPrice"]) is int  # the price goes out as passed


def test_open_registers_order_child_and_reference_then_sends_the_full_payload(clock):
    s = ready_session()
    s.request_id = 41
    assert insert(s, direction="SELL", volume=3, limit_price=5001.0) == [TradingResult("SUBMITTED", oid(101))]
    assert s.order_ref == 101 and s.request_id == 42
    [(method, payload, rid)] = s.native.requests
    assert (method, rid) == ("OrderInsert", 42)
    assert list(payload.items()) == [
        ("BrokerID", "9999"), ("InvestorID", "123456"), ("UserID", "123456"),
        ("InstrumentID", "ag2412"), ("ExchangeID", "SHFE"), ("OrderRef", "101"), ("Direction", "1"),
        ("CombOffsetFlag", "0"), ("CombHedgeFlag", "1"), ("OrderPriceType", "2"), ("LimitPrice", 5001.0),
        ("VolumeTotalOriginal", 3), ("TimeCondition", "3"), ("VolumeCondition", "1"), ("MinVolume", 1),
        ("ContingentCondition", "1"), ("ForceCloseReason", "0"), ("IsAutoSuspend", 0), ("UserForceClose", 0)]
    assert list(s.o[oid(101)].items()) == [
        ("order_id", oid(101)), ("order_sys_id", None), ("symbol", "SHFE.ag2412"), ("direction", "SELL"),
        ("offset", "OPEN"), ("limit_price", 5001.0), ("volume_original", 3), ("volume_traded", 0),
        ("volume_left", 3), ("status", "PENDING"), ("status_msg", ""), ("cancel_pending", False),
        ("cancel_error", None), ("insert_time", int(clock.time() * 1000))]
    assert list(s.native_orders[oid(101)].items()) == [
        ("order_id", oid(101)), ("parent", oid(101)), ("symbol", "SHFE.ag2412"), ("direction", "SELL"),
        ("offset", "OPEN"), ("exchange_order_id", ""), ("close_type", None), ("volume_original", 3),
        ("volume_traded", 0), ("volume_left", 3), ("status", "PENDING"), ("is_confirmed", False),
        ("status_msg", ""), ("cancel_pending", False), ("cancel_error", None), ("ref", "101"),
        ("front", FRONT), ("session", SESSION), ("cancel_request_id", None), ("pending_finish", False),
        ("expected_traded", 0), ("finish_status", None), ("finish_msg", ""), ("request_id", 42)]
    assert s.ref_orders == {(FRONT, SESSION, "101"): oid(101)}
    assert s.pending == {"account"} and s.dirty and s.changed.is_set()


@pytest.mark.parametrize("symbol,his,today,volume,plan", [
    ("SHFE.ag2412", 2, 4, 5, [("CLOSE_YESTERDAY", 2, "HISTORY", "4"), ("CLOSE_TODAY", 3, "TODAY", "3")]),
    ("INE.sc2501", 2, 4, 5, [("CLOSE_YESTERDAY", 2, "HISTORY", "4"), ("CLOSE_TODAY", 3, "TODAY", "3")]),
    ("SHFE.ag2412", 0, 5, 5, [("CLOSE_TODAY", 5, "TODAY", "3")]),
    ("SHFE.ag2412", 7, 0, 5, [("CLOSE_YESTERDAY", 5, "HISTORY", "4")]),
    ("SHFE.ag2412", 5, 9, 5, [("CLOSE_YESTERDAY", 5, "HISTORY", "4")]),
    ("DCE.m2501", 2, 4, 5, [("CLOSE", 5, "UNSPECIFIED", "1")]),
    ("CZCE.SR501", 0, 5, 5, [("CLOSE", 5, "UNSPECIFIED", "1")]),
])
@pytest.mark.parametrize("side", ["long", "short"])
def test_close_plans(symbol, his, today, volume, plan, side):
    s = ready_session(symbol)
    s.p[symbol] = holding(symbol, **{f"{side}_his": his, f"{side}_today": today})
    direction = "SELL" if side == "long" else "BUY"
    results = insert(s, symbol, direction, "CLOSE", volume)
    ids = [oid(101 + i) for i in range(len(plan))]
    assert results == [TradingResult("SUBMITTED", i) for i in ids]
    assert [(s.o[i]["offset"], s.o[i]["volume_original"], s.native_orders[i]["close_type"]) for i in ids] == \
        [p[:3] for p in plan]
    payloads = sent(s, "OrderInsert")
    assert [(p["CombOffsetFlag"], p["VolumeTotalOriginal"], p["OrderRef"]) for p in payloads] == \
        [(p[3], p[1], str(101 + i)) for i, p in enumerate(plan)]
    # the book now holds the new closes as frozen
    rec = s.p[symbol]
    assert rec[f"available_{side}"] == his + today - volume and rec[f"frozen_{side}"] == volume


@pytest.mark.parametrize("symbol", ["SHFE.ag2412", "DCE.m2501"])
def test_close_beyond_the_free_lots_registers_nothing(symbol):
    s = ready_session(symbol)
    s.p[symbol] = holding(symbol, long_his=2, long_today=4)
    assert insert(s, symbol, "SELL", "CLOSE", 7) == [INVALID]
    assert insert(s, symbol, "BUY", "CLOSE", 1) == [INVALID]  # nothing short
    assert s.order_ref == 100 and s.o == {} and s.native.requests == []


def test_live_closes_reduce_what_a_later_close_may_take():
    s = ready_session()
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_his=2, long_today=4)
    assert [r.status for r in insert(s, direction="SELL", offset="CLOSE", volume=3)] == ["SUBMITTED"] * 2
    # 3 free lots are left, all of today
    assert insert(s, direction="SELL", offset="CLOSE", volume=4) == [INVALID]
    [r] = insert(s, direction="SELL", offset="CLOSE", volume=3)
    assert s.o[r.order_id]["offset"] == "CLOSE_TODAY"


def test_a_split_part_below_the_minimum_refuses_the_whole_plan():
    s = ready_session(min_volume=2)
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_his=1, long_today=4)
    assert insert(s, direction="SELL", offset="CLOSE", volume=4) == [INVALID]
    assert s.o == {} and s.order_ref == 100


@pytest.mark.parametrize("offset", ["OPEN", "CLOSE"])
def test_an_inconsistent_book_refuses_opening_orders_too(offset):
    s = ready_session()
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_his=5, short_today=1)
    s.native_orders["x"] = {"symbol": "SHFE.ag2412", "direction": "BUY", "offset": "CLOSE", "status": "ALIVE",
                            "volume_left": 2, "close_type": "TODAY"}
    assert insert(s, direction="SELL", offset=offset) == [INVALID]
    assert s.native.requests == [] and s.order_ref == 100


def split_session(symbol="SHFE.ag2412"):
    """A ready session long 2 earlier and 4 today lots of `symbol`: on SHFE a close of 5 goes out in two parts."""
    s = ready_session(symbol)
    s.p[symbol] = holding(symbol, long_his=2, long_today=4)
    return s


def split_close(s, symbol="SHFE.ag2412"):
    return insert(s, symbol, direction="SELL", offset="CLOSE", volume=5)


def test_second_part_refused_by_ctp_keeps_the_first():
    s = split_session()
    s.native.results["OrderInsert"] = [0, -3]
    assert split_close(s) == [TradingResult("SUBMITTED", oid(101)), TradingResult("REJECTED", None, "报单未提交")]
    assert list(s.o) == list(s.native_orders) == [oid(101)]
    assert list(s.ref_orders) == [(FRONT, SESSION, "101")]
    assert s.order_ref == 102  # the withdrawn reference is not reused
    assert s.p["SHFE.ag2412"]["frozen_long"] == 2
    assert s.pending == {"account"} and s.dirty


@pytest.mark.parametrize("first,message", [
    (-1, "报单未提交"), (ValueError("LimitPrice"), "报单参数无效，未提交"), (TypeError(), "报单参数无效，未提交"),
    (OverflowError(), "报单参数无效，未提交")])
def test_first_part_refused_sends_nothing_more_and_leaves_no_trace(first, message):
    s = split_session()
    s.native.results["OrderInsert"] = [first, 0]
    assert split_close(s) == [TradingResult("REJECTED", None, message),
                              TradingResult("REJECTED", None, "未发送：前一笔委托提交失败")]
    assert len(sent(s, "OrderInsert")) == 1
    assert s.o == {} and s.native_orders == {} and s.ref_orders == {}
    assert s.p["SHFE.ag2412"]["frozen_long"] == 0
    assert s.pending == set() and not s.dirty and not s.changed.is_set()


def test_an_unexpected_error_while_sending_keeps_the_order_as_unknown():
    s = split_session()
    s.request_id = 7
    s.native.results["OrderInsert"] = [ConnectionError("gone"), 0]
    unknown = "报单提交结果不明，等待柜台回报"
    assert split_close(s) == [TradingResult("UNKNOWN", oid(101), unknown),
                              TradingResult("REJECTED", None, "未发送：前一笔委托提交失败")]
    child = s.native_orders[oid(101)]
    assert child["request_id"] == 8 and child["status_msg"] == unknown and child["status"] == "PENDING"
    assert s.o[oid(101)]["status_msg"] == unknown  # rolled up
    assert list(s.native_orders) == [oid(101)] and oid(102) not in s.o
    assert s.pending == {"account"} and s.dirty


def break_book_on_send(s, symbol, damage):
    """Makes every OrderInsert that reaches the adapter damage the position record of `symbol`."""
    send = s.native.request

    def request(method, data, request_id):
        result = send(method, data, request_id)
        if method == "OrderInsert":
            damage(s.p[symbol])
        return result

    s.native.request = request


def drop_frozen(rec):
    rec.pop("frozen_long", None)


def lose_the_position(rec):
    rec.update(pos_long=0, pos_long_his=0, pos_long_today=0)


@pytest.mark.parametrize("damage", [drop_frozen, lose_the_position], ids=["KeyError", "BufferError"])
@pytest.mark.parametrize("symbol,results", [
    ("SHFE.ag2412", [TradingResult("SUBMITTED", oid(101)), TradingResult("SUBMITTED", oid(102))]),
    ("DCE.m2501", [TradingResult("SUBMITTED", oid(101))]),
])
def test_orders_already_sent_are_never_reported_as_rejected(damage, symbol, results):
    s = split_session(symbol)
    break_book_on_send(s, symbol, damage)
    assert split_close(s, symbol) == results
    assert list(s.native_orders) == [r.order_id for r in results]
    assert [s.o[r.order_id]["status"] for r in results] == ["PENDING"] * len(results)
    assert s.pending == {"account"} and s.dirty and s.changed.is_set()


def test_a_broken_book_after_a_refused_send_keeps_the_refusals_own_message():
    s = split_session("DCE.m2501")
    s.native.results["OrderInsert"] = -2
    break_book_on_send(s, "DCE.m2501", drop_frozen)
    assert split_close(s, "DCE.m2501") == [TradingResult("REJECTED", None, "报单未提交")]
    assert s.o == {} and s.native_orders == {} and s.ref_orders == {}


def test_errors_outside_the_handled_kinds_propagate(monkeypatch):
    s = ready_session()
    monkeypatch.setattr(trading, "check_symbol", lambda symbol: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        insert(s)
    monkeypatch.undo()
    s = split_session()
    s.native.results["OrderInsert"] = KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        split_close(s)
    # the part whose request was under way stays; the unsent part does not linger as a pending close
    assert list(s.o) == list(s.native_orders) == [oid(101)] and list(s.ref_orders) == [(FRONT, SESSION, "101")]
    assert len(sent(s, "OrderInsert")) == 1


def test_order_references_stay_consecutive_across_calls():
    s = ready_session(order_ref=9)
    s.native.results["OrderInsert"] = [0, -2, 0]
    results = [insert(s)[0] for _ in range(3)]
    assert [r.order_id for r in results] == [oid(10), None, oid(12)]
    assert [p["OrderRef"] for p in sent(s, "OrderInsert")] == ["10", "11", "12"]
