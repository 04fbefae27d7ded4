"""Order entry: what happens when the book breaks after the orders have left the session."""

from __future__ import annotations

import pytest
from test_entry_support import FRONT, SESSION, holding, insert, ready_session

from velkor.ledgerlet import TradingResult


def oid(ref):
    return f"{FRONT}:{SESSION}:{ref}"


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
    s = ready_session(symbol)
    s.p[symbol] = holding(symbol, long_his=2, long_today=4)
    break_book_on_send(s, symbol, damage)
    assert insert(s, symbol, "SELL", "CLOSE", 5) == results
    assert list(s.native_orders) == [r.order_id for r in results]
    assert [s.o[r.order_id]["status"] for r in results] == ["PENDING"] * len(results)
    assert s.pending == {"account"} and s.dirty and s.changed.is_set()


def test_a_broken_book_after_a_refused_send_keeps_the_refusals_own_message():
    s = ready_session("DCE.m2501")
    s.p["DCE.m2501"] = holding("DCE.m2501", long_his=2, long_today=4)
    s.native.results["OrderInsert"] = -2
    break_book_on_send(s, "DCE.m2501", drop_frozen)
    assert insert(s, "DCE.m2501", "SELL", "CLOSE", 5) == [TradingResult("REJECTED", None, "报单未提交")]
    assert s.o == {} and s.native_orders == {} and s.ref_orders == {}
