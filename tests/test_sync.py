"""Query completion: instruments, orders, the trade/position confirmation, the baseline and funds."""

from __future__ import annotations

import pytest

from fakes import record
from test_sync_support import (DAY, FRONT, SESSION, account_row, instrument, log_in, order_row, position_row,
                               run_step, trade_row, watch_recovery)
from velkor.data import VelkorError


def complete(s, kind, rows, revision=0):
    s._complete({"id": 1, "kind": kind, "rows": list(rows), "progress": 0.0, "revision": revision})


@pytest.fixture
def synced(session, clock):
    """A session in phase "sync" that knows SHFE.ag2412, INE.sc2501 and DCE.m2501 and is at "trades_before"."""
    watch_recovery(session)
    log_in(session)
    run_step(session, clock, [instrument("SHFE.ag2412"), instrument("INE.sc2501"), instrument("DCE.m2501")])
    run_step(session, clock, [order_row("SHFE.ag2412", 1, sys_id="S1", status="0", volume=2, traded=2)])
    assert session.sync_index == 2
    return session


# -- instruments and orders

def test_instruments_keep_futures_and_options(session):
    session.phase = "ready"
    rows = [instrument("SHFE.ag2412", "1"), instrument("SHFE.ag2412C5000", "2"), instrument("SHFE.x", "3"),
            {"ExchangeID": "DCE", "InstrumentID": "m2501"}, instrument("SHFE.ag2412", "1", tick=2.0)]
    complete(session, "instruments", rows)
    assert list(session.instruments) == ["SHFE.ag2412", "SHFE.ag2412C5000"]
    assert session.instruments["SHFE.ag2412"] is rows[-1]


def test_order_rows_changed_after_the_query_are_ignored(session):
    log_in(session)
    session.event(record("RtnOrder", order_row("SHFE.ag2412", 1, sys_id="S1", status="5")))
    child = session.native_orders[f"{FRONT}:{SESSION}:1"]
    assert child["status"] == "CANCELLED"
    complete(session, "orders", [order_row("SHFE.ag2412", 1, sys_id="S1", status="3"),
                                 order_row("SHFE.ag2412", 2, hedge="2")], revision=0)
    assert child["status"] == "CANCELLED" and list(session.native_orders) == [f"{FRONT}:{SESSION}:1"]


# -- positions

def _positions(s, rows):
    s.instruments = {sym: instrument(sym) for sym in ("SHFE.ag2412", "INE.sc2501", "DCE.m2501")}
    s.day = DAY
    return s._positions(rows, 123)


def test_shfe_today_and_history_rows_add_up(session):
    result = _positions(session, [position_row("SHFE.ag2412", "2", 3, today=99, date="1"),
                                  position_row("SHFE.ag2412", "2", 4, today=99, date="2"),
                                  position_row("SHFE.ag2412", "3", 2, date="2"),
                                  position_row("INE.sc2501", "3", 6, today=0, date="1")])
    rec = result["SHFE.ag2412"]
    assert (rec["pos_long"], rec["pos_long_today"], rec["pos_long_his"]) == (7, 3, 4)
    assert (rec["pos_short"], rec["pos_short_today"], rec["pos_short_his"], rec["pos"]) == (2, 0, 2, 5)
    assert (result["INE.sc2501"]["pos_short_today"], result["INE.sc2501"]["pos"]) == (6, -6)
    assert rec["updated_at"] == 123 and rec["symbol"] == "SHFE.ag2412"


def test_other_exchanges_use_today_position(session):
    rec = _positions(session, [position_row("DCE.m2501", "2", 5, today=2, date="2")])["DCE.m2501"]
    assert (rec["pos_long"], rec["pos_long_today"], rec["pos_long_his"]) == (5, 2, 3)


@pytest.mark.parametrize("data, error, text", [
    (position_row("DCE.m2501", "2", 5, today=6), VelkorError, "柜台持仓快照中的今昨仓数量无效"),
    (position_row("SHFE.ag2412", "2", -1, date="2"), VelkorError, "柜台持仓快照中的今昨仓数量无效"),
    (position_row("DCE.m2501", "1", 5), VelkorError, "持仓查询包含不支持的净持仓方向"),
    (position_row("DCE.m2501", "\x00", 5), VelkorError, "持仓查询包含不支持的净持仓方向"),
    (position_row("CZCE.SR501", "2", 1), VelkorError, "持仓查询包含 SDK 不支持的合约类别"),
    (position_row("DCE.m2501", "2", 1, day="20240103"), TimeoutError, "持仓查询期间交易日发生变化"),
])
def test_position_row_errors(session, data, error, text):
    with pytest.raises(error) as info:
        _positions(session, [position_row("DCE.m2501", "2", 1), data])
    assert str(info.value) == text


def test_hedge_rows_are_skipped_and_unknown_zero_rows_kept(session):
    result = _positions(session, [position_row("CZCE.SR501", "1", 5, hedge="3"),
                                  position_row("CZCE.SR501", "2", 0, day=""),
                                  {"ExchangeID": "DCE", "InstrumentID": "m2501", "HedgeFlag": "1",
                                   "PosiDirection": "3", "Position": 2}])
    assert result["CZCE.SR501"]["pos_long"] == 0 and result["CZCE.SR501"]["pos"] == 0
    assert result["DCE.m2501"]["pos_short_his"] == 2
    assert list(result) == ["CZCE.SR501", "DCE.m2501"]


def test_positions_without_timestamp_give_unstamped_records(session):
    session.instruments = {"DCE.m2501": instrument("DCE.m2501")}
    session.day = DAY
    assert session._positions([], None) == {}
    assert session._positions(rows=[], updated=None) == {}


# -- trades before and after positions

def _through_trades(s, clock, before, positions, after):
    run_step(s, clock, before, "trades_before")
    run_step(s, clock, positions, "positions")
    run_step(s, clock, after, "trades_after")


def test_stable_snapshot_takes_the_baseline(synced, clock):
    trades = [trade_row("SHFE.ag2412", "T1", "S1", volume=2), trade_row("SHFE.ag2412", "H1", "S1", hedge="3")]
    _through_trades(synced, clock, trades, [position_row("SHFE.ag2412", "2", 2, date="1")], trades)
    assert synced.trade_before == {("SHFE", "T1", "BUY")} and synced.position_ready is True
    assert synced.position_candidate is None and synced.sync_index == 5
    assert synced.p["SHFE.ag2412"]["pos_long_today"] == 2
    assert synced.p["SHFE.ag2412"]["available_long"] == 2
    assert synced.published_position_time == synced.p["SHFE.ag2412"]["updated_at"]
    assert synced.native_orders[f"{FRONT}:{SESSION}:1"]["volume_traded"] == 2


def test_positions_query_stamps_candidate_with_the_completion_time(synced, clock):
    run_step(synced, clock, [], "trades_before")
    run_step(synced, clock, [position_row("DCE.m2501", "2", 2, today=1)], "positions")
    rec = synced.position_candidate["DCE.m2501"]
    assert rec["updated_at"] == int(clock.time() * 1000)
    assert (rec["pos_long"], rec["pos_long_today"], rec["pos_long_his"], rec["pos"]) == (2, 1, 1, 2)


def test_one_more_trade_in_the_second_query_goes_round_again(synced, clock):
    t1 = trade_row("SHFE.ag2412", "T1", "S1")
    t2 = trade_row("SHFE.ag2412", "T2", "S1")
    _through_trades(synced, clock, [t1], [position_row("SHFE.ag2412", "2", 1)], [t1, t2])
    assert synced.sync_index == 2 and synced.position_ready is False
    assert synced.position_candidate is None and synced.trade_before == {("SHFE", "T1", "BUY"), ("SHFE", "T2", "BUY")}
    assert synced.phase_time == clock.now
    _through_trades(synced, clock, [t1, t2], [position_row("SHFE.ag2412", "2", 2)], [t1, t2])
    assert synced.position_ready is True and synced.p["SHFE.ag2412"]["pos_long"] == 2


def test_one_fewer_trade_in_the_second_query_restarts(synced, clock):
    t1 = trade_row("SHFE.ag2412", "T1", "S1")
    t2 = trade_row("SHFE.ag2412", "T2", "S1")
    with pytest.raises(TimeoutError) as info:
        _through_trades(synced, clock, [t1, t2], [], [t1])
    assert str(info.value) == "登录期间成交查询结果回退，需要重建会话"
    assert synced.position_ready is False


def test_live_trade_missing_from_the_second_query_goes_round_again(synced, clock):
    t1 = trade_row("SHFE.ag2412", "T1", "S1")
    run_step(synced, clock, [t1], "trades_before")
    synced.event(record("RtnTrade", trade_row("SHFE.ag2412", "T2", "S1")))
    run_step(synced, clock, [position_row("SHFE.ag2412", "2", 1)], "positions")
    run_step(synced, clock, [t1], "trades_after")
    assert synced.sync_index == 2 and synced.position_ready is False and ("SHFE", "T2", "BUY") in synced.live_trade_buffer
    t2 = trade_row("SHFE.ag2412", "T2", "S1")
    _through_trades(synced, clock, [t1, t2], [position_row("SHFE.ag2412", "2", 2)], [t1, t2])
    assert synced.position_ready is True and synced.live_trade_buffer == {}
    assert synced.p["SHFE.ag2412"]["pos_long"] == 2 and set(synced.t) == {("SHFE", "T1", "BUY"), ("SHFE", "T2", "BUY")}


@pytest.mark.parametrize("live", [False, True])
def test_two_exchanges_and_both_sides_of_a_self_trade_in_the_trade_queries(synced, clock, live):
    # DCE numbers on its own: its S1 is another order than SHFE's S1, and its T1 one match of two own orders.
    synced.event(record("RtnOrder", order_row("DCE.m2501", 2, sys_id="S1", status="0", volume=1, traded=1)))
    synced.event(record("RtnOrder", order_row("DCE.m2501", 3, sys_id="S2", status="0", volume=1, traded=1,
                                              direction="1")))
    trades = [trade_row("SHFE.ag2412", "T1", "S1", volume=2), trade_row("DCE.m2501", "T1", "S1"),
              trade_row("DCE.m2501", "T1", "S2", direction="1")]
    for trade in trades if live else ():
        synced.event(record("RtnTrade", trade))
    positions = [position_row("SHFE.ag2412", "2", 2, date="1"), position_row("DCE.m2501", "2", 1, today=1),
                 position_row("DCE.m2501", "3", 1, today=1)]
    _through_trades(synced, clock, trades + trades[1:], positions, trades[::-1])  # repeated rows count once
    assert synced.position_ready is True and synced.pending_trades == {} and synced.live_trade_buffer == {}
    assert synced.trade_before == set(synced.t) == {("SHFE", "T1", "BUY"), ("DCE", "T1", "BUY"),
                                                    ("DCE", "T1", "SELL")}
    assert [c["volume_traded"] for c in synced.native_orders.values()] == [2, 1, 1]
    rec = synced.p["DCE.m2501"]
    assert (rec["pos_long"], rec["pos_short"]) == (1, 1)


@pytest.mark.parametrize("live_before_instruments", [False, True])
def test_rows_without_exchange_take_their_instruments_exchange(session, clock, live_before_instruments):
    # Some counters leave ExchangeID empty in query rows and option trade returns; DCE's S1 and T1 are not SHFE's.
    def bare(data):
        return dict(data, ExchangeID="")
    trades = [trade_row("SHFE.ag2412", "T1", "S1", volume=2), bare(trade_row("DCE.m2501", "T1", "S1"))]
    synced = session
    log_in(synced)
    if live_before_instruments:
        synced.event(record("RtnTrade", trades[1]))
    run_step(synced, clock, [instrument("SHFE.ag2412"), instrument("DCE.m2501")])
    run_step(synced, clock, [order_row("SHFE.ag2412", 1, sys_id="S1", status="0", volume=2, traded=2),
                             bare(order_row("DCE.m2501", 2, sys_id="S1", status="0", volume=1, traded=1))])
    if not live_before_instruments:
        synced.event(record("RtnTrade", trades[1]))
    positions = [position_row("SHFE.ag2412", "2", 2, date="1"), bare(position_row("DCE.m2501", "2", 1, today=1))]
    _through_trades(synced, clock, trades, positions, trades)
    assert synced.position_ready is True and synced.pending_trades == {} and synced.sync_index == 5
    assert set(synced.t) == {("SHFE", "T1", "BUY"), ("DCE", "T1", "BUY")}
    assert [(c["symbol"], c["volume_traded"]) for c in synced.native_orders.values()] == [
        ("SHFE.ag2412", 2), ("DCE.m2501", 1)]
    assert [(sym, rec["pos_long"]) for sym, rec in synced.p.items()] == [("SHFE.ag2412", 2), ("DCE.m2501", 1)]


def test_trades_waiting_for_their_order_hold_the_baseline(synced, clock):
    orphan = trade_row("DCE.m2501", "T9", "S9")
    _through_trades(synced, clock, [orphan], [], [orphan])
    assert synced.sync_index == 2 and ("DCE", "T9", "BUY") in synced.pending_trades
    synced.event(record("RtnOrder", order_row("DCE.m2501", 9, sys_id="S9", status="0", volume=1, traded=1)))
    assert ("DCE", "T9", "BUY") in synced.t and synced.pending_trades == {}
    _through_trades(synced, clock, [orphan], [position_row("DCE.m2501", "2", 1, today=1)], [orphan])
    assert synced.position_ready is True and synced.p["DCE.m2501"]["pos_long"] == 1


def test_trades_whose_order_never_comes_restart_the_login(synced, clock):
    orphan = trade_row("DCE.m2501", "T9", "S9")
    for _ in range(3):
        _through_trades(synced, clock, [orphan], [], [orphan])
        assert synced.sync_index == 2
    with pytest.raises(TimeoutError) as info:
        _through_trades(synced, clock, [orphan], [], [orphan])
    assert str(info.value) == "登录期间成交回报缺少对应订单，需要重建会话"
    assert synced.position_ready is False


def test_trade_query_row_without_id_changes_nothing(synced, clock):
    synced.trade_before = {"old"}
    rows = [trade_row("SHFE.ag2412", "T1", "S1"), trade_row("SHFE.ag2412", " ", "S1")]
    with pytest.raises(BufferError):
        complete(synced, "trades_before", rows)
    assert synced.trade_before == {"old"} and synced.t == {} and synced.pending_trades == {}
    assert synced.sync_index == 2


def test_baseline_keeps_symbols_users_already_view(synced, clock):
    synced.positions = {"DCE.m2501": None, "CZCE.SR501": None, "SHFE.ag2412": None}
    _through_trades(synced, clock, [], [position_row("SHFE.ag2412", "3", 4, date="2")], [])
    p = synced.p
    assert list(p) == ["DCE.m2501", "CZCE.SR501", "SHFE.ag2412"]
    assert (p["DCE.m2501"]["pos_long"], p["DCE.m2501"]["available_short"]) == (0, 0)
    assert p["CZCE.SR501"]["pos_long"] is None and p["CZCE.SR501"]["updated_at"] is None
    assert (p["SHFE.ag2412"]["pos_short_his"], p["SHFE.ag2412"]["available_short"]) == (4, 4)
    assert p["DCE.m2501"]["updated_at"] == synced.published_position_time


def test_baseline_covers_the_position_views_users_hold(synced, clock):
    synced.instruments["CZCE.SR501"] = instrument("CZCE.SR501")  # known to an earlier login only
    views = [synced.position_view(sym) for sym in ("CZCE.SR501", "DCE.m2501")]
    del synced.instruments["CZCE.SR501"]
    _through_trades(synced, clock, [], [position_row("SHFE.ag2412", "2", 1)], [])
    assert list(synced.p) == ["CZCE.SR501", "DCE.m2501", "SHFE.ag2412"] and len(views) == 2
    assert synced.p["CZCE.SR501"]["pos"] is None and synced.p["DCE.m2501"]["pos"] == 0
    assert synced.p["SHFE.ag2412"]["pos_long_today"] == 1


# -- funds and the end of synchronisation

def test_account_completion_makes_the_session_ready_once(synced, clock):
    recovery, query_recovery = synced.recovery, synced.query_recovery
    _through_trades(synced, clock, [], [], [])
    run_step(synced, clock, [account_row(currency="USD", balance=5.0), account_row()], "account")
    assert (synced.phase, synced.session_status, synced.sync_index) == ("ready", "READY", 6)
    assert recovery.count("success") == 1 and query_recovery.count("success") == 1
    a = synced.a
    assert (a["balance"], a["available"], a["margin"], a["commission"], a["position_profit"]) == (
        1000.0, 800.0, 200.0, 1.5, 3.0)
    assert a["updated_at"] == int(clock.time() * 1000) and synced.last_account_refresh == clock.now
    synced.pending.add("account")
    run_step(synced, clock, [account_row(balance=900.0)], "account")
    assert synced.a["balance"] == 900.0 and synced.sync_index == 6
    assert recovery.count("success") == 1 and query_recovery.count("success") == 2


@pytest.mark.parametrize("rows", [[], [account_row(), account_row()], [account_row(account="other")],
                                  [account_row(currency="USD")]])
def test_funds_need_exactly_one_cny_account(session, rows):
    before = dict(session.a)
    with pytest.raises(VelkorError) as info:
        session._complete_account(rows, 1)
    assert str(info.value) == "完整资金查询中应恰好包含一个人民币账户" and session.a == before


def test_funds_row_without_currency_counts_as_cny_and_odd_values_become_none(session):
    session.day = DAY
    data = account_row(day="")
    del data["CurrencyID"]
    data["Balance"] = float("nan")
    del data["Withdraw"]
    session._complete_account([data], 5)
    assert session.a["balance"] is None and session.a["withdraw"] is None and session.a["available"] == 800.0


@pytest.mark.parametrize("rows, balance", [
    ([account_row(currency="")], 1000.0),                                   # a counter that leaves it empty
    ([account_row(currency=" ")], 1000.0),
    ([account_row(currency=""), account_row(currency="CNY", balance=5.0)], 5.0),
    ([account_row(currency=""), account_row(currency="USD", balance=5.0)], None),  # which one: not said
    ([account_row(currency="", account="other")], None),
])
def test_a_single_funds_row_without_currency_is_the_cny_row(session, rows, balance):
    session.day = DAY
    if balance is None:
        with pytest.raises(VelkorError, match="完整资金查询中应恰好包含一个人民币账户"):
            session._complete_account(rows, 1)
    else:
        session._complete_account(rows, 1)
        assert session.a["balance"] == balance


def test_funds_without_timestamp(session):
    session.day = DAY
    session._complete_account([account_row()], None)
    assert session.a["updated_at"] is None and session.a["balance"] == 1000.0


def test_trading_day_change_during_funds_query(session):
    session.day = DAY
    before = dict(session.a)
    with pytest.raises(TimeoutError) as info:
        session._complete_account([account_row(day="20240103")], 1)
    assert str(info.value) == "资金查询期间交易日发生变化" and session.a == before


@pytest.mark.parametrize("kind, rows, error", [
    ("positions", [position_row("DCE.m2501", "1", 1)], VelkorError),
    ("positions", [position_row("DCE.m2501", "2", 1, day="20240103")], TimeoutError),
    ("account", [account_row(day="20240103")], TimeoutError),
    ("account", [], VelkorError),
])
def test_failing_step_neither_advances_nor_touches(synced, clock, kind, rows, error):
    synced.sync_index = {"positions": 3, "account": 5}[kind]
    synced.dirty = False
    synced.changed.clear()
    time_before = synced.phase_time
    clock.advance(2)
    with pytest.raises(error):
        complete(synced, kind, rows)
    assert (synced.sync_index, synced.phase, synced.phase_time) == (
        {"positions": 3, "account": 5}[kind], "sync", time_before)
    assert synced.position_candidate is None and synced.dirty is False and not synced.changed.is_set()
