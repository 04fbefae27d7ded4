"""Orders and fills as the exchanges number them: each exchange numbers on its own, and a self-trade is one
match reported as two fills with one trade number, one per side. Driven through recorded return sequences."""

import itertools
import logging

import pytest

from fakes import record
from test_books import child, fill_key, hold, make_session, order_row, trade_row

SHFE, DCE = "SHFE.ag2412", "DCE.m2501"


def deliver(s, events):
    for name, data in events:
        s.event(record(name, dict(data)))


def self_trade_events():
    """A resting sell and a buy that crossed it: both orders all traded, one trade number on both sides."""
    return [("RtnOrder", order_row(1, "S1", status="0", original=2, traded=2, direction="1")),
            ("RtnOrder", order_row(2, "S2", status="0", original=2, traded=2)),
            ("RtnTrade", trade_row(" T7 ", "S1", 2, direction="1")),
            ("RtnTrade", trade_row("T7", " S2", 2))]


def self_trade_sequences():
    """Every order in which the front may deliver the returns, each fill also repeated once."""
    events = self_trade_events()
    events += events[2:]
    return sorted(set(itertools.permutations(range(len(events)))))[::7], events


SEQUENCES, EVENTS = self_trade_sequences()


@pytest.mark.parametrize("sequence", SEQUENCES)
def test_both_sides_of_a_self_trade_count_once_in_any_order(sequence, caplog):
    s = make_session()
    hold(s)
    caplog.set_level(logging.WARNING, logger="velkor.trading")
    deliver(s, [EVENTS[i] for i in sequence])
    assert sorted(s.t) == [fill_key("T7", "BUY"), fill_key("T7", "SELL")] and s.pending_trades == {}
    assert [(child(s, ref)["status"], child(s, ref)["volume_traded"]) for ref in (1, 2)] == [("FILLED", 2)] * 2
    rec = s.p["SHFE.ag2412"]
    assert (rec["pos_long"], rec["pos_short"], rec["pos"]) == (2, 2, 0)
    assert {t["direction"]: (t["trade_id"], t["order_sys_id"]) for t in s.t.values()} == {
        "SELL": ("T7", "S1"), "BUY": ("T7", "S2")}
    [warning] = [r for r in caplog.records if "self-trade" in r.getMessage()]
    assert warning.levelno == logging.WARNING
    assert "1:7:1 (SELL)" in warning.getMessage() and "1:7:2 (BUY)" in warning.getMessage()


def test_a_self_trade_is_logged_once_a_day(caplog):
    s = make_session()
    hold(s)
    caplog.set_level(logging.WARNING, logger="velkor.trading")

    def login_again(day):
        """What a new login leaves: the fills come again from the query."""
        s.day = day
        s.t.clear()
        for ref in (1, 2):
            child(s, ref).update(volume_traded=0, status="ALIVE", pending_finish=False)
        deliver(s, [(name, dict(data, TradingDay=day)) for name, data in self_trade_events()[2:]])

    deliver(s, self_trade_events())
    login_again(s.day)
    login_again("20240103")   # the exchanges number anew each trading day: T7 is another match
    assert len([r for r in caplog.records if "self-trade" in r.getMessage()]) == 2


@pytest.mark.parametrize("trades_first", [False, True])
def test_one_number_on_two_exchanges_names_two_orders_and_two_fills(trades_first):
    s = make_session()
    hold(s)
    hold(s, DCE)
    orders = [("RtnOrder", order_row(1, "  100001", status="0", original=1, traded=1)),
              ("RtnOrder", order_row(2, "100001", status="0", original=3, traded=3, symbol=DCE))]
    fills = [("RtnTrade", trade_row("500001", "100001", 1)),
             ("RtnTrade", trade_row("  500001", "100001  ", 3, symbol=DCE))]
    deliver(s, fills + orders if trades_first else orders + fills)
    assert s.system_orders == {("SHFE", "100001"): "1:7:1", ("DCE", "100001"): "1:7:2"}
    assert sorted(s.t) == [fill_key("500001", exchange="DCE"), fill_key("500001")]
    assert [(child(s, ref)["status"], child(s, ref)["volume_traded"]) for ref in (1, 2)] == [
        ("FILLED", 1), ("FILLED", 3)]
    assert (s.p[SHFE]["pos_long"], s.p[DCE]["pos_long"]) == (1, 3)
    assert s.o["1:7:2"]["order_sys_id"] == s.o["1:7:1"]["order_sys_id"] == "100001"


def test_one_number_for_two_orders_of_one_exchange_is_still_a_contradiction():
    s = make_session()
    s.event(record("RtnOrder", order_row(1, "S1")))
    s.event(record("RtnOrder", order_row(2, "S2")))
    s.event(record("RtnOrder", order_row(3, "S2", symbol=DCE)))   # DCE's S2: another order
    with pytest.raises(BufferError, match="同一个 CTP OrderSysID 关联到不同订单"):
        s.event(record("RtnOrder", order_row(2, "S1")))
    assert s.system_orders == {("SHFE", "S1"): "1:7:1", ("SHFE", "S2"): "1:7:2", ("DCE", "S2"): "1:7:3"}


def test_a_fill_waits_for_its_order_on_its_own_exchange():
    s = make_session()
    hold(s)
    hold(s, DCE)
    s.event(record("RtnTrade", trade_row("T1", "S1", 2, symbol=DCE)))
    s.event(record("RtnOrder", order_row(1, "S1", original=2)))          # SHFE's S1 does not take DCE's fill
    assert list(s.pending_trades) == [fill_key("T1", exchange="DCE")] and child(s, 1)["volume_traded"] == 0
    s.event(record("RtnOrder", order_row(2, "S1", original=2, symbol=DCE)))
    assert s.pending_trades == {} and child(s, 2)["volume_traded"] == 2 and s.p[DCE]["pos_long"] == 2


# --- rows that leave ExchangeID empty (some counters' query rows, option trade returns) -----------------------

def no_exchange(data):
    return dict(data, ExchangeID="")


def known_instruments(s):
    s.instruments.update({sym: {"ExchangeID": sym.split(".")[0], "InstrumentID": sym.split(".")[1]}
                          for sym in (SHFE, DCE, "CZCE.SR501")})


@pytest.mark.parametrize("trades_first", [False, True])
def test_a_fill_without_exchange_counts_into_its_order_on_the_instruments_exchange(trades_first):
    s = make_session()
    known_instruments(s)
    hold(s)
    hold(s, DCE)
    orders = [("RtnOrder", order_row(1, "S1", status="3", original=2)),               # SHFE's S1
              ("RtnOrder", order_row(2, "S1", status="0", original=2, traded=2, symbol=DCE))]
    fills = [("RtnTrade", no_exchange(trade_row("T1", "S1", 2, symbol=DCE)))]
    deliver(s, fills + orders if trades_first else orders + fills)
    assert list(s.t) == [fill_key("T1", exchange="DCE")] and s.pending_trades == {}
    assert [(child(s, ref)["status"], child(s, ref)["volume_traded"]) for ref in (1, 2)] == [
        ("ALIVE", 0), ("FILLED", 2)]
    assert (s.p[SHFE]["pos_long"], s.p[DCE]["pos_long"]) == (0, 2) and list(s.p) == [SHFE, DCE]
    assert s.t[fill_key("T1", exchange="DCE")]["symbol"] == DCE


def test_a_refused_cancel_without_exchange_ends_the_cancel_in_flight():
    s = make_session()
    known_instruments(s)
    s.event(record("RtnOrder", order_row(1, "S1")))
    s.event(record("RtnOrder", order_row(2, "S1", symbol=DCE)))
    for ref in (1, 2):
        child(s, ref).update(cancel_pending=True, cancel_request_id=70 + ref)
    s.event(record("ErrRtnOrderAction", {"ExchangeID": "", "InstrumentID": "m2501", "OrderSysID": "S1"},
                   error_id=26))
    assert [(child(s, ref)["cancel_pending"], child(s, ref)["cancel_error"]) for ref in (1, 2)] == [
        (True, None), (False, "撤单被拒绝")]
