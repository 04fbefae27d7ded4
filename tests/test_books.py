"""The session's books: order returns, fills and the position book, driven as a counter would."""

from collections import UserDict

import fakes
import pytest

from velkor import trading
from velkor.trading import Trading

DAY = "20240102"
SYMBOL = "SHFE.ag2412"


def make_session():
    s = fakes.make_session()
    s.day, s.front, s.session, s.position_ready, s.phase = DAY, 1, 7, True, "ready"
    return s


def follow_ups(s):
    """(touched, funds refresh asked for) since the last call."""
    seen = (s.dirty, "account" in s.pending)
    s.dirty = False
    s.changed.clear()
    s.pending.clear()
    return seen


@pytest.fixture
def s():
    return make_session()


def order_row(ref, sys_id="", *, status="3", submit="3", original=5, traded=0, direction="0", offset="0",
              front=1, session=7, symbol=SYMBOL, price=5000.0, **extra):
    exchange, instrument = symbol.split(".")
    row = {"TradingDay": DAY, "FrontID": front, "SessionID": session, "OrderRef": str(ref),
           "OrderSysID": sys_id, "ExchangeID": exchange, "InstrumentID": instrument, "Direction": direction,
           "CombOffsetFlag": offset, "CombHedgeFlag": "1", "LimitPrice": price, "VolumeTotalOriginal": original,
           "VolumeTraded": traded, "OrderStatus": status, "OrderSubmitStatus": submit, "InsertDate": DAY,
           "InsertTime": "09:30:00"}
    row.update(extra)
    return row


def trade_row(tid, sys_id, volume, *, direction="0", offset="0", symbol=SYMBOL, **extra):
    exchange, instrument = symbol.split(".")
    row = {"TradingDay": DAY, "TradeID": tid, "OrderSysID": sys_id, "ExchangeID": exchange,
           "InstrumentID": instrument, "Direction": direction, "OffsetFlag": offset, "HedgeFlag": "1",
           "Price": 5001.0, "Volume": volume, "TradeDate": DAY, "TradeTime": "09:31:00"}
    row.update(extra)
    return row


def fill_key(tid, direction="BUY", exchange="SHFE"):
    """How the session keys a fill: exchange, trade number and side."""
    return (exchange, tid, direction)


def hold(s, symbol=SYMBOL, *, long=(0, 0), short=(0, 0)):
    """A baseline position: (history, today) per side, frozen and available derived."""
    rec = trading.empty_position(symbol, 1)
    rec.update(pos_long_his=long[0], pos_long_today=long[1], pos_long=sum(long),
               pos_short_his=short[0], pos_short_today=short[1], pos_short=sum(short),
               pos=sum(long) - sum(short))
    s.p[symbol] = rec
    s._recompute_frozen(1)
    return rec


def child(s, ref):
    return s.native_orders[f"1:7:{ref}"]


def user(s, ref):
    return s.o[f"1:7:{ref}"]


# --- position accounting -------------------------------------------------------------------------

def test_open_fill_creates_record_for_new_symbol(s):
    s._apply_position_trade(trade_row("1", "S1", 3))
    rec = s.p[SYMBOL]
    assert (rec["pos_long"], rec["pos_long_today"], rec["pos_long_his"], rec["pos_short"], rec["pos"]) == (3, 3, 0, 0, 3)
    assert isinstance(rec["updated_at"], int) and rec["updated_at"] > 1_600_000_000_000


@pytest.mark.parametrize("flag, his, today", [("1", 0, 3), ("2", 0, 3), ("5", 0, 3), ("6", 0, 3), ("3", 2, 1)])
def test_buy_close_takes_short_buckets(s, flag, his, today):
    hold(s, short=(2, 5))
    s._apply_position_trade(trade_row("1", "S1", 4, direction="0", offset=flag))
    rec = s.p[SYMBOL]
    assert (rec["pos_short_his"], rec["pos_short_today"], rec["pos_short"], rec["pos"]) == (his, today, 3, -3)


@pytest.mark.parametrize("long, volume, flag, message", [
    ((0, 5), 6, "1", "平仓成交数量超过本地持仓"),
    ((2, 5), 4, "4", "平仓成交数量超过本地对应今昨仓"),
    ((5, 1), 3, "3", "平仓成交数量超过本地对应今昨仓"),
])
def test_refused_close_leaves_book_unchanged(s, long, volume, flag, message):
    rec = hold(s, long=long)
    before = dict(rec)
    with pytest.raises(BufferError, match=message):
        s._apply_position_trade(trade_row("1", "S1", volume, direction="1", offset=flag))
    assert rec == before


def test_plain_close_on_inconsistent_record_changes_nothing(s):
    # total 6 but only 1 + 2 in the buckets: the second bucket fails, the first must not be spent.
    rec = hold(s, long=(1, 2))
    rec["pos_long"] = 6
    before = dict(rec)
    with pytest.raises(BufferError, match="平仓成交数量超过本地对应今昨仓"):
        s._apply_position_trade(trade_row("1", "S1", 5, direction="1", offset="1"))
    assert rec == before


def test_fill_on_unknown_quantities_keeps_them_unknown(s):
    s.p[SYMBOL] = rec = trading.empty_position(SYMBOL)
    s._order(order_row(1, "S1", offset="1", direction="1"))
    assert s._trade(trade_row("T1", "S1", 2, direction="1", offset="1"), update_position=True) is True
    assert rec == trading.empty_position(SYMBOL)
    assert child(s, 1)["volume_traded"] == 2 and fill_key("T1", "SELL") in s.t


def live_close(s, ref, left, *, close_type="UNSPECIFIED", direction="SELL", status="ALIVE", offset="CLOSE",
               symbol=SYMBOL):
    s.native_orders[f"c{ref}"] = {"symbol": symbol, "direction": direction, "offset": offset, "status": status,
                                  "volume_left": left, "close_type": close_type}


@pytest.mark.parametrize("children, parts", [
    ([], (3, 4)),
    ([dict(left=5)], (0, 2)),
    ([dict(left=2, close_type="TODAY"), dict(left=1, close_type="HISTORY")], (2, 2)),
    ([dict(left=1, close_type="HISTORY"), dict(left=3)], (0, 3)),
    ([dict(left=5, status="PENDING")], (0, 2)),
    ([dict(left=5, status=st) for st in ("FILLED", "CANCELLED", "REJECTED")], (3, 4)),
    ([dict(left=5, direction="BUY"), dict(left=5, offset="OPEN"), dict(left=5, symbol="SHFE.cu2412")], (3, 4)),
])
def test_free_parts_of_long_side(s, children, parts):
    hold(s, long=(3, 4))
    for i, kw in enumerate(children):
        live_close(s, i, **kw)
    assert s._free_parts(SYMBOL, "long") == parts


@pytest.mark.parametrize("big", [2**61, 2**80])
def test_free_parts_with_huge_quantities(s, big):
    hold(s, long=(big, 4))
    live_close(s, 0, big + 1)
    live_close(s, 1, 2, close_type="TODAY")
    assert s._free_parts(SYMBOL, "long") == (0, 1)
    live_close(s, 2, -big)
    assert s._free_parts(SYMBOL, "long") == (big, 1)   # a negative left lends back to history


def test_free_parts_history_used_up_does_not_lend(s):
    hold(s, short=(1, 6))
    live_close(s, 0, 3, direction="BUY", close_type="HISTORY")   # history now -2
    live_close(s, 1, 2, direction="BUY")
    with pytest.raises(BufferError, match="有效平仓委托冻结量超过本地持仓"):
        s._free_parts(SYMBOL, "short")
    s.p[SYMBOL]["pos_short_his"] = 3
    assert s._free_parts(SYMBOL, "short") == (0, 4)


def test_free_parts_over_frozen_and_unknown(s):
    hold(s, long=(3, 4))
    live_close(s, 0, 5)
    live_close(s, 1, 3)
    with pytest.raises(BufferError, match="有效平仓委托冻结量超过本地持仓"):
        s._free_parts(SYMBOL, "long")
    assert s._free_parts("SHFE.cu2412", "long") == (0, 0)
    s.p[SYMBOL] = trading.empty_position(SYMBOL)
    assert s._free_parts(SYMBOL, "long") == (0, 0)


class Shifty:
    """A field value whose comparison takes it out of its child, as hostile user data could: the
    scan must hold it while comparing it again."""

    def __init__(self, child, key, value):
        self.child, self.key, self.value = child, key, value

    def __eq__(self, other):
        self.child.pop(self.key, None)
        return self.value == other

    __hash__ = None


@pytest.mark.parametrize("key, value, parts", [
    ("status", "FILLED", (3, 4)),
    ("status", "ALIVE", (3, 2)),
    ("close_type", "TODAY", (3, 2)),
    ("close_type", "HISTORY", (1, 4)),
    ("direction", "SELL", (3, 2)),
    ("direction", "BUY", (3, 4)),
])
def test_scan_holds_values_that_change_the_child(s, key, value, parts):
    hold(s, long=(3, 4))
    live_close(s, 0, 2, close_type="TODAY")
    c = s.native_orders["c0"]
    c[key] = Shifty(c, key, value)
    assert s._free_parts(SYMBOL, "long") == parts
    assert key not in c


def reordered(child):
    return dict(reversed(list(child.items())))


def reinserted(child):
    child = dict(child)
    child["padding"] = 0
    child["status"] = child.pop("status")   # leaves a hole where the status was
    del child["padding"]
    return child


@pytest.mark.parametrize("shape", [dict, reordered, reinserted, UserDict])
def test_scan_reads_children_of_any_layout(s, shape):
    hold(s, long=(3, 4), short=(2, 2))
    # The first child sets where fields are looked for; the others come in every layout.
    live_close(s, "first", 1, close_type="HISTORY", status="CANCELLED")
    variants = [{}, dict(close_type="TODAY", left=2), dict(status="FILLED", left=3), dict(direction="BUY"),
                dict(symbol="SHFE.cu2412"), dict(offset="OPEN"), dict(close_type="UNSPECIFIED", left=2)]
    for i, change in enumerate(variants):
        live_close(s, i, **(dict(left=1, close_type="HISTORY") | change))
        s.native_orders[f"c{i}"] = shape(s.native_orders[f"c{i}"])
    assert s._free_parts(SYMBOL, "long") == (0, 2)
    assert s._free_parts(SYMBOL, "short") == (1, 2)


def test_recompute_frozen_stamps_only_changes(s):
    rec = hold(s, long=(3, 4))
    unknown = s.p["DCE.m2501"] = trading.empty_position("DCE.m2501")
    assert (rec["available_long"], rec["frozen_long"], rec["updated_at"]) == (7, 0, 1)
    s._recompute_frozen(5)
    assert rec["updated_at"] == 1 and unknown == trading.empty_position("DCE.m2501")
    live_close(s, 0, 2)
    s._recompute_frozen(symbol="SHFE.cu2412")
    assert rec["frozen_long"] == 0
    s._recompute_frozen(0, symbol=SYMBOL)
    assert (rec["available_long"], rec["frozen_long"]) == (5, 2) and rec["updated_at"] > 1_600_000_000_000


def test_frozen_volumes_wait_for_the_position_baseline(s):
    rec = hold(s, long=(3, 4))
    s.position_ready = False
    s._order(order_row(1, "S1", direction="1", offset="1", original=2))
    assert (rec["available_long"], rec["frozen_long"], rec["updated_at"]) == (7, 0, 1)
    s.position_ready = True
    s._order(order_row(1, "S1", direction="1", offset="1", original=3))
    assert (rec["available_long"], rec["frozen_long"]) == (4, 3) and rec["updated_at"] > 1


def test_recompute_frozen_over_every_record_stamps_the_given_time(s):
    rec = hold(s, long=(3, 4))
    other = hold(s, "DCE.m2501", short=(1, 1))
    s._order(order_row(1, "S1", direction="1", offset="1", original=2))
    s._order(order_row(2, "S2", direction="0", offset="1", original=1, symbol="DCE.m2501"))
    rec["updated_at"] = other["updated_at"] = 7
    rec["frozen_long"] = other["frozen_short"] = None
    s._recompute_frozen(123)
    assert (rec["frozen_long"], rec["available_long"], rec["updated_at"]) == (2, 5, 123)
    assert (other["frozen_short"], other["available_short"], other["updated_at"]) == (1, 1, 123)


def test_aggregate_copies_child_into_user_order(s):
    s._child(order_row(1, "  "))
    c = child(s, 1)
    c.update(exchange_order_id="   ", volume_traded=2, status="ALIVE", cancel_pending=True)
    s._aggregate()
    assert user(s, 1)["order_sys_id"] is None
    assert (user(s, 1)["volume_traded"], user(s, 1)["status"], user(s, 1)["cancel_pending"]) == (2, "ALIVE", True)
    c["exchange_order_id"] = " 88 "
    s._aggregate(c)
    assert user(s, 1)["order_sys_id"] == "88"


# --- order tracking ------------------------------------------------------------------------------

USER_KEYS = ["order_id", "order_sys_id", "symbol", "direction", "offset", "limit_price", "volume_original",
             "volume_traded", "volume_left", "status", "status_msg", "cancel_pending", "cancel_error", "insert_time"]
CHILD_KEYS = ["order_id", "parent", "symbol", "direction", "offset", "exchange_order_id", "close_type",
              "volume_original", "volume_traded", "volume_left", "status", "is_confirmed", "status_msg",
              "cancel_pending", "cancel_error", "ref", "front", "session", "cancel_request_id", "pending_finish",
              "expected_traded", "finish_status", "finish_msg"]


def test_first_return_of_foreign_order_creates_both_records(s):
    row = order_row(12, " 777 ", front=3, session=99, direction="1", offset="3", original=4, price=float("nan"))
    created = s._child(row)
    key = "3:99:12"
    assert list(created) == CHILD_KEYS and list(s.o[key]) == USER_KEYS
    assert created["order_id"] == created["parent"] == key and created["exchange_order_id"] == " 777 "
    assert (created["close_type"], created["status"], created["is_confirmed"]) == ("UNSPECIFIED", "PENDING", False)
    assert s.o[key]["order_sys_id"] == "777" and s.o[key]["offset"] == "CLOSE_TODAY"
    assert s.o[key]["direction"] == "SELL" and s.o[key]["limit_price"] is None
    assert s.o[key]["insert_time"] == 1704159000000
    assert s.ref_orders == {(3, 99, "12"): key} and s.system_orders == {("SHFE", "777"): key}
    s._order(row)
    assert (created["volume_original"], created["volume_left"], created["close_type"]) == (4, 4, "TODAY")
    assert (created["status"], created["is_confirmed"], s.o[key]["status"]) == ("ALIVE", True, "ALIVE")
    assert s.revision == 1 and s.order_revisions == {key: 1} and follow_ups(s) == (True, True)


@pytest.mark.parametrize("comb, flag, offset, close_type", [
    ("", "3", "CLOSE_TODAY", "UNSPECIFIED"),
    ("", "0", "OPEN", "UNSPECIFIED"),
    ("4", "0", "CLOSE_YESTERDAY", "HISTORY"),
    ("0", "1", "OPEN", None),
    ("1", "3", "CLOSE", "UNSPECIFIED"),
])
def test_offset_and_close_type_of_a_new_order(s, comb, flag, offset, close_type):
    s._order(order_row(1, "S1", offset=comb, OffsetFlag=flag))
    assert (user(s, 1)["offset"], child(s, 1)["offset"], child(s, 1)["close_type"]) == (offset, offset, close_type)


@pytest.mark.parametrize("submit, status, expected, msg", [
    ("4", "0", "REJECTED", "报单被拒绝"),
    (None, "0", "FILLED", "全部成交"),
    ("3", "2", "CANCELLED", "剩余委托已不再排队"),
    ("3", "4", "CANCELLED", "剩余委托已不再排队"),
    ("3", "5", "CANCELLED", "剩余委托已不再排队"),
    ("3", "1", "ALIVE", ""),
    ("0", "a", "ALIVE", ""),
])
def test_status_table(s, submit, status, expected, msg):
    traded = 5 if expected == "FILLED" else 0
    s._order(order_row(1, "S1", submit=submit, status=status))
    if traded:
        s._trade(trade_row("T1", "S1", 5), update_position=False)
    assert (child(s, 1)["status"], child(s, 1)["status_msg"]) == (expected, msg)


@pytest.mark.parametrize("status, msg, expected", [
    ("ALIVE", "已报", "全部成交"),
    ("FILLED", "成交完毕", "成交完毕"),
    ("FILLED", "", "全部成交"),
    ("CANCELLED", "剩余委托已不再排队", "全部成交"),
])
def test_fill_completing_an_order_sets_filled_message(s, status, msg, expected):
    s._order(order_row(1, "S1"))
    child(s, 1).update(status=status, status_msg=msg, cancel_pending=True, cancel_error="撤单被拒绝")
    s._trade(trade_row("T1", "S1", 5), update_position=False)
    c = child(s, 1)
    assert (c["status"], c["status_msg"], c["volume_left"]) == ("FILLED", expected, 0)
    assert (c["cancel_pending"], c["cancel_error"]) == (False, None)
    assert (user(s, 1)["status"], user(s, 1)["status_msg"]) == ("FILLED", expected)


@pytest.mark.parametrize("first, second, applied", [
    (dict(status="5"), dict(status="3"), False),
    (dict(status="5"), dict(submit="4"), True),
    (dict(submit="4"), dict(status="5"), False),
    (dict(status="0"), dict(status="3"), False),     # held-back final state
    (dict(status="3"), dict(status="5"), True),
])
def test_status_moves_forward_only(s, first, second, applied):
    s._order(order_row(1, "S1", **first))
    before, revision = dict(child(s, 1)), s.revision
    s._order(order_row(1, "S1", **second))
    assert (child(s, 1) != before) is applied and (s.revision > revision) is applied


def test_filled_return_before_fills_is_held_back_then_released(s):
    s._order(order_row(1, "S1"))
    for tid in ("T1", "T2"):
        s._trade(trade_row(tid, "S1", 1), update_position=True)
    s._order(order_row(1, "S1", status="0", traded=5))
    c = child(s, 1)
    assert (c["status"], c["status_msg"], c["pending_finish"]) == ("ALIVE", "", True)
    assert (c["finish_status"], c["finish_msg"], c["expected_traded"]) == ("FILLED", "全部成交", 5)
    s._order(order_row(1, "S1", status="3"))            # a late live return cannot undo the final state
    assert c["finish_status"] == "FILLED" and c["pending_finish"] is True
    s._trade(trade_row("T3", "S1", 3), update_position=True)
    assert (c["status"], c["status_msg"], c["pending_finish"]) == ("FILLED", "全部成交", False)
    assert "finish_status" not in c and user(s, 1)["status"] == "FILLED"
    assert s.p[SYMBOL]["pos_long"] == 5


def test_cancel_after_partial_fill_waits_for_reported_fills(s):
    hold(s)
    s._order(order_row(1, "S1"))
    s._trade(trade_row("T1", "S1", 1), update_position=True)
    child(s, 1).update(cancel_pending=True, cancel_request_id=9)
    s._order(order_row(1, "S1", status="5", traded=2))
    c = child(s, 1)
    assert (c["status"], c["pending_finish"], c["finish_status"], c["cancel_pending"]) == \
        ("ALIVE", True, "CANCELLED", False)
    s._trade(trade_row("T2", "S1", 1), update_position=True)
    assert (c["status"], c["status_msg"], c["volume_traded"], c["volume_left"]) == \
        ("CANCELLED", "剩余委托已不再排队", 2, 3)
    assert user(s, 1)["status"] == "CANCELLED" and s.p[SYMBOL]["pos_long"] == 2


def test_refused_cancel_ends_cancellation_and_keeps_message(s):
    s._order(order_row(1, "S1"))
    c = child(s, 1)
    c.update(cancel_pending=True, cancel_request_id=4, status_msg="已报")
    s._order(order_row(1, "S1", submit="5"))
    assert (c["cancel_pending"], c["cancel_error"], c["status_msg"], c["status"]) == \
        (False, "撤单被拒绝", "已报", "ALIVE")
    assert user(s, 1)["cancel_error"] == "撤单被拒绝"


@pytest.mark.parametrize("row, status, msg", [
    (dict(submit="5", status="5"), "CANCELLED", "剩余委托已不再排队"),
    (dict(submit="5", status="1"), "ALIVE", "已报"),
    (dict(submit="4"), "REJECTED", "报单被拒绝"),
    (dict(status="1"), "ALIVE", ""),
])
def test_order_return_message_and_cancel_outcome(s, row, status, msg):
    s._order(order_row(1, "S1"))
    c = child(s, 1)
    c.update(status_msg="已报", cancel_pending=True, cancel_request_id=None, cancel_error="撤单被拒绝")
    s._order(order_row(1, "S1", **row))
    finished = status != "ALIVE"
    assert (c["status"], c["status_msg"]) == (status, msg)
    # A finished order has no cancellation left; a refusal without a request of ours changes nothing.
    assert (c["cancel_pending"], c["cancel_error"]) == ((False, None) if finished else (True, "撤单被拒绝"))


def test_stale_query_row_ignored_but_replays_waiting_fill(s):
    s._child(order_row(1))
    s._order(order_row(1, status="1"))
    assert s.order_revisions == {"1:7:1": 1}
    s._trade(trade_row("T1", "S1", 2), update_position=False)
    assert fill_key("T1") in s.pending_trades
    s._order(order_row(1, "S1", status="3"), query_revision=0)   # query sent before the last change
    c = child(s, 1)
    assert c["exchange_order_id"] == "" and c["volume_original"] == 5
    assert c["volume_traded"] == 2 and s.pending_trades == {} and fill_key("T1") in s.t


def test_backward_row_still_replays_waiting_fill(s):
    s._order(order_row(1, status="5", traded=0))
    s._trade(trade_row("T1", "S1", 2), update_position=False)
    s._order(order_row(1, "S1", status="3"))
    assert child(s, 1)["status"] == "CANCELLED" and child(s, 1)["volume_traded"] == 2 and s.pending_trades == {}


def test_unchanged_return_does_no_follow_up_but_releases_fills(s):
    s._order(order_row(1, "S1"))
    s._trade(trade_row("T9", "S9", 1), update_position=False)   # a fill whose order is still unknown
    follow_ups(s)
    s._order(order_row(1, "S1", LimitPrice=1.0))
    assert s.revision == 1 and s.order_revisions == {"1:7:1": 1} and follow_ups(s) == (False, False)
    assert user(s, 1)["limit_price"] == 5000.0
    s.pending_trades[fill_key("T9")]["OrderSysID"] = " S1 "
    s._order(order_row(1, "S1"))
    assert s.revision == 1 and child(s, 1)["volume_traded"] == 1 and follow_ups(s) == (True, True)
    assert s.pending_trades == {}


def test_empty_exchange_number_keeps_the_known_one(s):
    s._order(order_row(1, " S1"))
    s._order(order_row(1, "", status="1"))
    assert child(s, 1)["exchange_order_id"] == " S1" and user(s, 1)["order_sys_id"] == "S1"
    assert child(s, 1)["status"] == "ALIVE"


def test_order_errors(s):
    s._order(order_row(1, "S1"))
    s._order(order_row(2, "S2"))
    with pytest.raises(BufferError, match="同一个 CTP OrderSysID 关联到不同订单"):
        s._order(order_row(2, "S1"))
    with pytest.raises(BufferError, match="已有订单的 CTP OrderSysID 发生变化"):
        s._order(order_row(1, "S3"))
    with pytest.raises(TimeoutError, match="订单回报的交易日发生变化"):
        s._order(order_row(3, "S4", TradingDay="20240103"))
    assert "1:7:3" not in s.native_orders
    s._trade(trade_row("T1", "S2", 3), update_position=False)
    with pytest.raises(BufferError, match="成交数量超过订单原始数量"):
        s._order(order_row(2, "S2", original=2))


def test_association_errors_leave_the_stated_state(s):
    s._order(order_row(1, "S1"))
    s._order(order_row(2, "S2"))
    refs, systems = dict(s.ref_orders), dict(s.system_orders)
    with pytest.raises(BufferError, match="同一个 CTP OrderSysID 关联到不同订单"):
        s._order(order_row(2, "S1"))
    assert (s.ref_orders, s.system_orders) == (refs, systems)
    # Found by an exchange number that is not its own: the new reference is already recorded.
    s.system_orders[("SHFE", "S3")] = "1:7:1"
    with pytest.raises(BufferError, match="已有订单的 CTP OrderSysID 发生变化"):
        s._order(order_row(9, "S3", session=8))
    assert s.ref_orders[(1, 8, "9")] == "1:7:1" and "1:8:9" not in s.o and child(s, 1)["exchange_order_id"] == "S1"


def test_by_ref_uses_current_login(s):
    s._order(order_row(5, "S1"))
    assert s._by_ref(5) is child(s, 5) and s._by_ref("5") is child(s, 5)
    s.session = 8
    assert s._by_ref(5) is None


@pytest.mark.parametrize("row, spec", [
    ({"CombHedgeFlag": "1"}, True), ({"CombHedgeFlag": "13"}, True), ({"CombHedgeFlag": "31"}, False),
    ({"CombHedgeFlag": ""}, False), ({"CombHedgeFlag": None}, False), ({}, False), ({"CombHedgeFlag": 1}, True),
])
def test_is_spec_order(row, spec):
    assert Trading._is_spec_order(row) is spec


@pytest.mark.parametrize("flag, spec", [("1", True), ("3", False), ("", False), (None, False), (1, False)])
def test_is_spec_trade(flag, spec):
    assert Trading._is_spec_trade({"HedgeFlag": flag}) is spec


# --- trade intake --------------------------------------------------------------------------------

def test_fill_before_its_order_is_buffered_replayed_and_counted_once(s):
    hold(s)
    row = trade_row(" T1 ", "S1", 2)
    assert s._trade(row, update_position=True) is False
    assert s._trade(dict(row), update_position=True) is False
    assert list(s.pending_trades) == [fill_key("T1")] and s.t == {} and s.p[SYMBOL]["pos_long"] == 0
    s._order(order_row(1, "S1"))
    assert s.pending_trades == {} and list(s.t) == [fill_key("T1")]
    assert child(s, 1)["volume_traded"] == 2 and user(s, 1)["volume_left"] == 3
    assert s.p[SYMBOL]["pos_long_today"] == 2
    assert s._trade(row, update_position=True) is False
    s._order(order_row(1, "S1", status="1", traded=2))
    assert child(s, 1)["volume_traded"] == 2 and s.p[SYMBOL]["pos_long"] == 2


def test_live_fill_then_query_copy_counts_once(s):
    hold(s)
    s._order(order_row(1, "S1"))
    assert s._trade(trade_row("T1", "S1", 2), update_position=True) is True
    assert s._trade(trade_row("T1", " S1", 2, Price=1.0), update_position=False) is False
    assert child(s, 1)["volume_traded"] == 2 and s.p[SYMBOL]["pos_long"] == 2 and s.t[fill_key("T1")]["price"] == 5001.0


def test_trade_record_keys_and_values(s):
    s._order(order_row(1, "S1", direction="1", offset="4", original=3))
    follow_ups(s)
    s._trade(trade_row("T1", " S1 ", 3, direction="1", offset="4"), update_position=False)
    assert s.t[fill_key("T1", "SELL")] == {"trade_id": "T1", "order_sys_id": "S1", "symbol": SYMBOL, "direction": "SELL",
                         "offset": "CLOSE_YESTERDAY", "price": 5001.0, "volume": 3, "trade_time": 1704159060000}
    assert list(s.t[fill_key("T1", "SELL")]) == ["trade_id", "order_sys_id", "symbol", "direction", "offset", "price", "volume",
                               "trade_time"]
    assert SYMBOL not in s.p and follow_ups(s) == (True, True)
    assert (child(s, 1)["status"], child(s, 1)["status_msg"]) == ("FILLED", "全部成交")


@pytest.mark.parametrize("volume", [0, -1, 2.0, True, None, "2"])
def test_invalid_fill_volume(s, volume):
    s._order(order_row(1, "S1"))
    s._trade(trade_row("T0", "S9", 1), update_position=False)
    s.pending_trades[fill_key("T0")].update(OrderSysID="S1", Volume=volume)
    with pytest.raises(BufferError, match="成交数量无效"):
        s._trade(s.pending_trades[fill_key("T0")], update_position=True)
    assert s.pending_trades == {} and child(s, 1)["volume_traded"] == 0 and s.t == {}


def test_fill_skips_and_errors(s):
    s._order(order_row(1, "S1"))
    assert s._trade(trade_row("T1", "S1", 1, HedgeFlag="3"), update_position=True) is False
    with pytest.raises(BufferError, match="CTP 成交回报缺少 TradeID"):
        s._trade(trade_row("  ", "S1", 1), update_position=True)
    with pytest.raises(TimeoutError, match="成交回报的交易日发生变化"):
        s._trade(trade_row("T1", "S1", 1, TradingDay="20240103"), update_position=True)
    with pytest.raises(BufferError, match="成交数量超过订单原始数量"):
        s._trade(trade_row("T1", "S1", 6), update_position=True)
    assert s.t == {} and s.pending_trades == {}
    with pytest.raises(TypeError):
        s._trade(trade_row("T1", "S1", 1), True)


def test_none_arguments_behave_as_in_python(s):
    s._order(order_row(1, "S1"))
    assert s._trade(trade_row("T1", "S1", 1), update_position=None) is True
    assert SYMBOL not in s.p and child(s, 1)["volume_traded"] == 1
    assert s._by_ref(None) is None
    assert s._free_parts(None, "long") == (0, 0)
    s._order(order_row(1, "S1", status="1"), None)
    assert child(s, 1)["status"] == "ALIVE"


def test_unmatched_fill_buffer_is_bounded(s):
    s.pending_trades = {f"X{i}": {} for i in range(32767)}
    assert s._trade(trade_row("T1", "", 1), update_position=False) is False
    assert s._trade(trade_row("T1", "", 1), update_position=False) is False
    with pytest.raises(BufferError, match="未关联订单的成交暂存队列已满"):
        s._trade(trade_row("T2", "S1", 1), update_position=False)
    assert len(s.pending_trades) == 32768 and fill_key("T2") not in s.pending_trades


def test_split_shfe_close_consumes_history_then_today(s):
    hold(s, long=(2, 3))
    s._order(order_row(1, "S1", direction="1", offset="4", original=2))
    s._order(order_row(2, "S2", direction="1", offset="3", original=3))
    rec = s.p[SYMBOL]
    assert (rec["available_long"], rec["frozen_long"]) == (0, 5)
    s._trade(trade_row("T1", "S1", 2, direction="1", offset="4"), update_position=True)
    assert (rec["pos_long_his"], rec["pos_long_today"], rec["available_long"], rec["frozen_long"]) == (0, 3, 0, 3)
    s._trade(trade_row("T2", "S2", 3, direction="1", offset="3"), update_position=True)
    assert (rec["pos_long"], rec["pos"], rec["available_long"], rec["frozen_long"]) == (0, 0, 0, 0)
    assert user(s, 1)["status"] == user(s, 2)["status"] == "FILLED"


def test_close_larger_than_free_lots_leaves_book_unchanged(s):
    rec = hold(s, long=(1, 1))
    before = dict(rec)
    s.position_ready = False   # the order came in with the order query, before the baseline
    s._order(order_row(1, "S1", direction="1", offset="1", original=3))
    s.position_ready = True
    follow_ups(s)
    with pytest.raises(BufferError, match="平仓成交数量超过本地持仓"):
        s._trade(trade_row("T1", "S1", 3, direction="1", offset="1"), update_position=True)
    assert rec == before and follow_ups(s) == (False, False)


def test_frozen_and_available_follow_a_closing_order(s):
    rec = hold(s, short=(3, 4))
    view = lambda: (rec["available_short"], rec["frozen_short"], rec["pos_short"])
    assert view() == (7, 0, 7)
    s._order(order_row(1, "S1", direction="0", offset="1", original=5, status="a"))
    assert view() == (2, 5, 7)
    s._trade(trade_row("T1", "S1", 2, direction="0", offset="1"), update_position=True)
    assert view() == (2, 3, 5) and (rec["pos_short_his"], rec["pos_short_today"]) == (1, 4)
    s._order(order_row(1, "S1", direction="0", offset="1", original=5, status="5", traded=2))
    assert view() == (5, 0, 5)
    s._order(order_row(2, "S2", direction="0", offset="3", original=4, status="3"))
    assert view() == (1, 4, 5)
    s._order(order_row(2, "S2", direction="0", offset="3", original=4, submit="4"))
    assert view() == (5, 0, 5) and rec["pos"] == -5


def test_return_of_own_order_finds_child_by_reference(s):
    key = "1:7:42"
    s.o[key] = {k: None for k in USER_KEYS} | {"order_id": key, "limit_price": 4999.0, "insert_time": 5}
    s.native_orders[key] = own = {"order_id": key, "parent": key, "symbol": SYMBOL, "direction": "BUY",
                                  "offset": "OPEN", "exchange_order_id": "", "close_type": None,
                                  "volume_original": 5, "volume_traded": 0, "volume_left": 5, "status": "PENDING",
                                  "is_confirmed": False, "status_msg": "", "cancel_pending": False,
                                  "cancel_error": None, "ref": "42", "front": 1, "session": 7,
                                  "cancel_request_id": None, "pending_finish": False, "expected_traded": 0,
                                  "finish_status": None, "finish_msg": "", "request_id": 3}
    s.ref_orders[(1, 7, "42")] = key
    s._order(order_row(42, "  A9"))
    assert s.native_orders[key] is own and s.system_orders == {("SHFE", "A9"): key} and len(s.o) == 1
    assert (own["status"], own["is_confirmed"], own["request_id"], own["exchange_order_id"]) == \
        ("ALIVE", True, 3, "  A9")
    assert (s.o[key]["order_sys_id"], s.o[key]["limit_price"], s.o[key]["insert_time"]) == ("A9", 4999.0, 5)
