"""The session's books: order returns, fills and the position book, driven as a counter would."""

import pytest

from velkor import trading
from velkor.trading import Trading

DAY = "20240102"
SYMBOL = "SHFE.ag2412"


if not hasattr(trading, "local_order_id"):  # TEMP until the module helpers land
    import math, datetime as _dt
    trading.local_order_id = lambda f, s, r: f"{f}:{s}:{r}"
    trading.finite = lambda v: v if isinstance(v, (int, float)) and math.isfinite(v) and abs(v) < 1e100 else None
    trading.order_offset = lambda v: {"0": "OPEN", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}.get(str(v or "")[:1], "CLOSE")
    def _ts(d, c):
        try:
            t = _dt.datetime.strptime(d + c, "%Y%m%d%H:%M:%S").replace(tzinfo=_dt.timezone(_dt.timedelta(hours=8)))
        except (ValueError, TypeError):
            return None
        return int(t.timestamp() * 1000)
    trading.timestamp = _ts


def make_session():
    s = Trading.__new__(Trading)
    for name in ("o", "t", "p", "native_orders", "ref_orders", "system_orders", "pending_trades",
                 "order_revisions"):
        setattr(s, name, {})
    s.revision, s.front, s.session, s.day, s.position_ready = 0, 1, 7, DAY, True
    s.calls = []
    s._touch = lambda: s.calls.append("touch")
    s._schedule_account = lambda: s.calls.append("account")
    return s


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
    assert child(s, 1)["volume_traded"] == 2 and "T1" in s.t


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
