"""Event dispatch: the login chain, error attribution, query slices, returns and rejections."""

from __future__ import annotations

import pytest

from fakes import front_connected, front_disconnected, record, rsp_error, row
from test_sync_support import (DAY, FRONT, SESSION, answer, instrument, log_in, order_row, send_query,
                               trade_row, watch_recovery)
from velkor.data import VelkorError


# -- connection events

def test_front_connected_resets_and_authenticates(session):
    session._open_native()
    session.o["x"] = {}
    session.session_status = "READY"
    session.event(front_connected())
    assert session.o == {} and session.session_status == "SYNCING"
    method, payload, rid = session.native.requests[-1]
    assert method == "Authenticate"
    assert payload == {"BrokerID": "9999", "InvestorID": "123456", "UserID": "123456",
                       "AppID": "client_app", "AuthCode": "auth-code"}
    assert (session.phase, session.phase_id) == ("authenticate", rid)


def test_front_disconnected_clears_and_records_failure(session, clock):
    recovery, _ = watch_recovery(session)
    log_in(session)
    clock.advance(3)
    session.event(front_disconnected())
    assert (session.phase, session.phase_time) == ("connecting", clock.now)
    assert session.session_status == "DISCONNECTED" and session.phase_id is None
    assert recovery.calls == ["fail"]


# -- login chain

def test_login_chain_takes_identity_from_the_answers(session, clock):
    log_in(session, max_ref="  42 ")
    assert session.native.methods == ["Authenticate", "UserLogin", "SettlementInfoConfirm"]
    assert session.native.requests[1][1]["Password"] == "secret"
    assert (session.day, session.a["trading_day"]) == (DAY, DAY)
    assert (session.front, session.session, session.order_ref) == (FRONT, SESSION, 42)
    assert (session.sync_index, session.phase_time) == (0, clock.now)


def test_login_requests_carry_their_fields_in_order(session):
    log_in(session)
    (_, auth, _), (_, login, _), (_, settle, _) = session.native.requests
    ids = ["BrokerID", "InvestorID", "UserID"]
    assert list(auth) == ids + ["AppID", "AuthCode"]
    assert list(login) == ids + ["Password"]
    assert list(settle) == ids


@pytest.mark.parametrize("max_ref, expected", [("7", 7), (" 0012 ", 12), ("", 0), ("   ", 0), (None, 0)])
def test_max_order_ref_parsing(session, max_ref, expected):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {})
    data = {"TradingDay": DAY, "FrontID": 1, "SessionID": 2}
    if max_ref is not None:
        data["MaxOrderRef"] = max_ref
    answer(session, "RspUserLogin", data)
    assert session.order_ref == expected and session.phase == "settlement"


def test_non_numeric_max_order_ref_raises_value_error(session):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {})
    with pytest.raises(ValueError):
        answer(session, "RspUserLogin", row("login", TradingDay=DAY, MaxOrderRef="A1"))


def test_multi_part_login_answer_merges_and_acts_on_the_last(session):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {})
    answer(session, "RspUserLogin", {"TradingDay": DAY, "FrontID": 1, "MaxOrderRef": "5"}, last=False)
    assert session.phase == "login" and session.native.methods[-1] == "UserLogin"
    answer(session, "RspUserLogin", {"SessionID": 9, "MaxOrderRef": "8"}, last=True)
    assert (session.day, session.front, session.session, session.order_ref) == (DAY, 1, 9, 8)
    assert session.phase == "settlement"


def test_login_answer_touches_the_session(session):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {})
    session.dirty = False
    session.changed.clear()
    answer(session, "RspUserLogin", {"TradingDay": DAY, "FrontID": FRONT, "SessionID": SESSION})
    assert session.dirty is True and session.changed.is_set()


@pytest.mark.parametrize("missing", ["TradingDay", "FrontID", "SessionID"])
def test_login_answer_without_identity_raises_key_error(session, missing):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {})
    data = {"TradingDay": DAY, "FrontID": FRONT, "SessionID": SESSION}
    del data[missing]
    with pytest.raises(KeyError):
        answer(session, "RspUserLogin", data)
    assert session.phase == "login"


@pytest.mark.parametrize("error_id", [0, 3])
def test_login_answer_for_another_request_is_ignored(session, error_id):
    session._open_native()
    session.event(front_connected())
    answer(session, "RspAuthenticate", {"AppID": "x"}, request_id=session.phase_id + 5, error_id=error_id)
    assert session.phase == "authenticate" and session.phase_data == {}


@pytest.mark.parametrize("code", [90, 154])
def test_retryable_login_errors_restart(session, code):
    session._open_native()
    session.event(front_connected())
    with pytest.raises(TimeoutError) as info:
        answer(session, "RspAuthenticate", {"AppID": "x"}, error_id=code, error_msg="busy")
    assert info.value.args == () and session.phase_data == {}


@pytest.mark.parametrize("stage, text", [
    ("RspAuthenticate", "CTP 认证失败（错误码：63）：客户端认证失败"),
    ("RspUserLogin", "CTP 登录失败（错误码：63）：客户端认证失败"),
    ("RspSettlementInfoConfirm", "CTP 结算单确认失败（错误码：63）：客户端认证失败"),
])
def test_other_login_errors_end_the_session(session, stage, text):
    session._open_native()
    session.event(front_connected())
    if stage != "RspAuthenticate":
        answer(session, "RspAuthenticate", {})
    if stage == "RspSettlementInfoConfirm":
        answer(session, "RspUserLogin", row("login", TradingDay=DAY))
    with pytest.raises(VelkorError) as info:
        answer(session, stage, {}, error_id=63, error_msg="客户端认证失败")
    assert str(info.value) == text


def test_record_without_name_raises_key_error(session):
    with pytest.raises(KeyError):
        session.event({"data": {}})


@pytest.mark.parametrize("name", ["RtnInstrumentStatus", "rspqryorder", 7, None])
def test_unknown_names_are_ignored(session, name):
    log_in(session)
    session.inflight = {"id": 0, "kind": "orders", "rows": [], "progress": 0.0, "revision": 0}
    assert session.event(record(name, {"x": 1})) is None
    assert session.inflight["rows"] == []


# -- RspError attribution

def _child(s, ref, sys_id="", **extra):
    """A child order of the current login, created through an order return."""
    s.event(record("RtnOrder", order_row("SHFE.ag2412", ref, sys_id=sys_id, status="3")))
    child = s.native_orders[f"{FRONT}:{SESSION}:{ref}"]
    child.update(extra)
    return child


def test_rsp_error_of_an_insertion_rejects_the_child(session, clock):
    log_in(session)
    child = _child(session, 101, request_id=50)
    session.event(rsp_error(22, "重复的报单", request_id=50))
    assert (child["status"], child["status_msg"], child["is_confirmed"]) == ("REJECTED", "报单被拒绝", True)
    assert session.o[child["order_id"]]["status"] == "REJECTED"


def test_rsp_error_of_a_cancellation_ends_the_pending_cancel(session):
    log_in(session)
    child = _child(session, 101, request_id=50, cancel_request_id=51, cancel_pending=True)
    session.event(rsp_error(26, "撤单失败", request_id=51))
    assert (child["cancel_pending"], child["cancel_error"], child["status"]) == (False, "撤单被拒绝", "ALIVE")


@pytest.mark.parametrize("first, expected", [
    ({"cancel_request_id": 50, "cancel_pending": True}, "action"),  # first child: its cancellation
    ({"request_id": 50}, "insert"),
])
def test_rsp_error_goes_to_the_first_child_that_names_the_request(session, first, expected):
    log_in(session)
    a = _child(session, 101, **first)
    b = _child(session, 102, request_id=50 if expected == "action" else 49,
               cancel_request_id=50 if expected == "insert" else 49, cancel_pending=True)
    session.event(rsp_error(26, "x", request_id=50))
    if expected == "action":
        assert (a["cancel_error"], a["status"], b["status"], b["cancel_pending"]) == (
            "撤单被拒绝", "ALIVE", "ALIVE", True)
    else:
        assert (a["status"], b["cancel_pending"], b["cancel_error"]) == ("REJECTED", True, None)


def test_rsp_error_of_the_query_in_flight(session, clock):
    recovery, _ = watch_recovery(session)
    log_in(session)
    query = send_query(session, clock)
    session.event(rsp_error(90, "查询过于频繁", request_id=query["id"]))
    assert session.inflight is None and recovery.calls == ["fail"]
    assert session.last_query == clock.now + 1 and session.sync_index == 0


def test_rsp_error_without_code_on_the_query_in_flight_is_no_failure(session, clock):
    log_in(session)
    query = send_query(session, clock)
    session.event(rsp_error(0, "", request_id=query["id"]))
    assert session.inflight is query


def test_rsp_error_of_the_login_request_ends_the_session(session):
    session._open_native()
    session.event(front_connected())
    with pytest.raises(VelkorError) as info:
        session.event(rsp_error(3, "不合法的登录", request_id=session.phase_id))
    assert str(info.value) == "CTP 会话错误（错误码：3）：不合法的登录"


@pytest.mark.parametrize("request_id", [0, 999])
def test_unattributable_rsp_error(session, request_id):
    log_in(session)
    with pytest.raises(TimeoutError) as info:
        session.event(rsp_error(8, "未知", request_id=request_id))
    assert info.value.args == ("收到无法归属请求的 CTP 错误（错误码：8）",)


def test_rsp_error_without_code_and_request_is_ignored(session):
    log_in(session)
    session.event(rsp_error(0, "", request_id=0))
    session.event({"name": "RspError"})
    assert session.phase == "sync"


@pytest.mark.parametrize("extra", [{"request_id": 50}, {"cancel_request_id": 50, "cancel_pending": True}])
def test_rsp_error_without_code_for_an_order_request_changes_nothing(session, extra):
    log_in(session)
    child = _child(session, 101, **extra)
    before = dict(child)
    session.event(rsp_error(0, "", request_id=50))
    assert child == before


# -- query slices

def test_query_slices_are_collected_and_completed(session, clock):
    log_in(session)
    query = send_query(session, clock)
    rid = query["id"]
    clock.advance(0.5)
    session.event(record("RspQryInstrument", instrument("SHFE.ag2412"), request_id=rid, last=False))
    assert query["progress"] == clock.now and len(query["rows"]) == 1
    session.event(record("RspQryInstrument", None, request_id=rid, last=False))
    assert len(query["rows"]) == 1
    session.event(record("RspQryInstrument", instrument("DCE.m2501"), request_id=rid, last=True))
    assert session.inflight is None and session.sync_index == 1
    assert list(session.instruments) == ["SHFE.ag2412", "DCE.m2501"]


def test_empty_query_answer_completes_the_step(session, clock):
    log_in(session)
    query = send_query(session, clock)
    session.event(record("RspQryInstrument", None, request_id=query["id"]))
    assert session.inflight is None and session.sync_index == 1 and session.instruments == {}


@pytest.mark.parametrize("error_id", [0, 5])
def test_query_answer_for_another_id_is_ignored(session, clock, error_id):
    log_in(session)
    query = send_query(session, clock)
    session.event(record("RspQryInstrument", instrument("SHFE.ag2412"), error_id=error_id,
                         request_id=query["id"] + 1))
    assert session.inflight is query and query["rows"] == []


def test_query_answer_with_error_ends_the_session(session, clock):
    log_in(session)
    query = send_query(session, clock)
    with pytest.raises(VelkorError) as info:
        session.event(record("RspQryInstrument", None, error_id=7, error_msg="无权限", request_id=query["id"]))
    assert str(info.value) == "CTP 合约查询失败（错误码：7）：无权限"
    assert session.inflight is None


# -- _query_error

@pytest.mark.parametrize("code", [90, 154])
def test_query_error_retry_in_ready_reschedules(session, clock, code):
    _, query_recovery = watch_recovery(session)
    session.phase = "ready"
    session.inflight = {"id": 4, "kind": "account", "rows": [], "progress": 0.0, "revision": 0}
    session._query_error(code, "")
    assert session.inflight is None and session.pending == {"account"}
    assert query_recovery.calls == ["fail"] and session.last_query == clock.now + 1


@pytest.mark.parametrize("code", [90, 154])
def test_retryable_query_failure_during_sync_keeps_the_step(session, clock, code):
    recovery, query_recovery = watch_recovery(session)
    log_in(session)
    query = send_query(session, clock)
    session.event(record("RspQryInstrument", None, error_id=code, request_id=query["id"]))
    assert session.inflight is None and session.pending == set() and session.sync_index == 0
    assert recovery.calls == ["fail"] and query_recovery.calls == []
    assert session.last_query == clock.now + 1


@pytest.mark.parametrize("message", [None, "busy"])
def test_query_error_accepts_any_message_on_retry(session, clock, message):
    session.phase = "ready"
    session.inflight = {"id": 4, "kind": "account", "rows": [], "progress": 0.0, "revision": 0}
    assert session._query_error(154, message) is None
    assert session.pending == {"account"}


def test_query_error_text_for_positions(session):
    session.inflight = {"id": 4, "kind": "positions", "rows": [], "progress": 0.0, "revision": 0}
    with pytest.raises(VelkorError) as info:
        session._query_error(-1, "失败")
    assert str(info.value) == "CTP 持仓查询失败（错误码：-1）：失败"


# -- order and trade returns

@pytest.mark.parametrize("phase", ["connecting", "authenticate", "login", "settlement"])
def test_returns_before_sync_are_dropped(session, phase):
    session.phase = phase
    session.event(record("RtnOrder", order_row("SHFE.ag2412", 1, sys_id="  9")))
    session.event(record("RtnTrade", trade_row("SHFE.ag2412", "T1", "9")))
    assert session.native_orders == {} and session.live_trade_buffer == {} and session.pending_trades == {}


def test_order_returns_follow_speculation_only(session):
    log_in(session)
    session.event(record("RtnOrder", order_row("SHFE.ag2412", 1, hedge="3")))
    assert session.native_orders == {}
    session.event(record("RtnOrder", order_row("SHFE.ag2412", 2)))
    assert list(session.native_orders) == [f"{FRONT}:{SESSION}:2"]


def test_live_trades_are_buffered_once_during_sync(session):
    log_in(session)
    trade = trade_row("SHFE.ag2412", " T1 ", "9")
    session.event(record("RtnTrade", trade))
    session.event(record("RtnTrade", dict(trade)))
    session.event(record("RtnTrade", trade_row("SHFE.ag2412", "T2", "9", hedge="2")))
    key = ("SHFE", "T1", "BUY")
    assert list(session.live_trade_buffer) == [key] and session.live_trade_buffer[key] is trade
    assert session.t == {}


def test_live_trade_buffer_limit(session):
    log_in(session)
    session.live_trade_buffer.update({f"X{i}": {} for i in range(32767)})
    session.event(record("RtnTrade", trade_row("SHFE.ag2412", "last", "9")))
    session.event(record("RtnTrade", trade_row("SHFE.ag2412", "last", "9")))
    with pytest.raises(BufferError) as info:
        session.event(record("RtnTrade", trade_row("SHFE.ag2412", "one-more", "9")))
    assert str(info.value) == "登录期间的成交回报暂存队列已满"
    assert len(session.live_trade_buffer) == 32768 and ("SHFE", "one-more", "BUY") not in session.live_trade_buffer


def test_live_trade_without_trade_id_raises(session):
    log_in(session)
    with pytest.raises(BufferError):
        session.event(record("RtnTrade", trade_row("SHFE.ag2412", "  ", "9")))


def test_live_trade_after_baseline_is_applied(session):
    log_in(session)
    _child(session, 5, sys_id="9")
    session.position_ready = True
    session.event(record("RtnTrade", trade_row("SHFE.ag2412", "T1", "9", volume=2)))
    assert ("SHFE", "T1", "BUY") in session.t and session.live_trade_buffer == {}
    assert session.native_orders[f"{FRONT}:{SESSION}:5"]["volume_traded"] == 2
    assert session.p["SHFE.ag2412"]["pos_long"] == 2


# -- insertion and cancellation rejections

@pytest.mark.parametrize("name", ["RspOrderInsert", "ErrRtnOrderInsert"])
def test_insert_rejection_by_reference(session, name):
    log_in(session)
    child = _child(session, 101)
    session.event(record(name, {"InstrumentID": "ag2412", "ExchangeID": "SHFE", "OrderRef": "101"}, error_id=15))
    assert child["status"] == "REJECTED" and child["expected_traded"] == 0 and child["cancel_pending"] is False


def test_insert_answer_without_error_changes_nothing(session):
    log_in(session)
    child = _child(session, 101, request_id=60)
    before = dict(child)
    session.event(record("RspOrderInsert", {"OrderRef": "101"}, request_id=60))
    assert child == before


def test_insert_rejection_falls_back_to_the_request_id(session):
    log_in(session)
    child = _child(session, 101, request_id=60)
    session.event(record("RspOrderInsert", {"OrderRef": "555"}, error_id=15, request_id=61))
    assert child["status"] == "ALIVE"
    session.event(record("RspOrderInsert", {"OrderRef": "555"}, error_id=15, request_id=60))
    assert child["status"] == "REJECTED"


def test_insert_rejection_prefers_the_reference_and_schedules_funds(session):
    log_in(session)
    named = _child(session, 101, request_id=60)
    other = _child(session, 102, request_id=61)
    session.phase = "ready"
    session.pending.clear()
    session.dirty = False
    session.event(record("ErrRtnOrderInsert", {"OrderRef": "101"}, error_id=15, request_id=61))
    assert (named["status"], other["status"]) == ("REJECTED", "ALIVE")
    assert named["pending_finish"] is False and named["cancel_error"] is None
    assert session.pending == {"account"} and session.dirty is True


@pytest.mark.parametrize("exchange, refused", [("SHFE", True), ("DCE", False)])
def test_action_rejection_by_exchange_number_and_request_id(session, exchange, refused):
    log_in(session)
    child = _child(session, 101, sys_id="  777", cancel_request_id=70, cancel_pending=True)
    data = {"ExchangeID": exchange, "OrderSysID": "777 "}
    session.event(record("ErrRtnOrderAction", data, error_id=26, request_id=71))
    assert child["cancel_pending"] is True  # answer to another cancellation of the same order
    session.event(record("ErrRtnOrderAction", data, error_id=26))
    # The same number on another exchange is another order.
    assert (child["cancel_pending"], child["cancel_error"]) == ((False, "撤单被拒绝") if refused else (True, None))
    assert session.o[child["order_id"]]["cancel_error"] == ("撤单被拒绝" if refused else None)


def test_action_rejection_by_reference(session):
    log_in(session)
    child = _child(session, 101, cancel_request_id=70, cancel_pending=True)
    session.event(record("RspOrderAction", {"OrderRef": 101, "FrontID": FRONT, "SessionID": SESSION}, error_id=26))
    assert child["cancel_error"] == "撤单被拒绝"


def test_action_rejection_by_reference_checks_the_request_id(session):
    log_in(session)
    child = _child(session, 101, cancel_request_id=70, cancel_pending=True)
    data = {"OrderRef": "101", "FrontID": FRONT, "SessionID": SESSION}
    session.event(record("RspOrderAction", data, error_id=26, request_id=71))
    assert child["cancel_pending"] is True
    session.event(record("RspOrderAction", data, error_id=26, request_id=70))
    assert (child["cancel_pending"], child["cancel_error"]) == (False, "撤单被拒绝")


@pytest.mark.parametrize("extra", [{"cancel_pending": False, "cancel_request_id": 70},
                                   {"cancel_pending": True, "cancel_request_id": None}])
def test_action_rejection_without_pending_cancel_changes_nothing(session, extra):
    log_in(session)
    child = _child(session, 101, sys_id="777", **extra)
    session.event(record("ErrRtnOrderAction", {"OrderSysID": "777"}, error_id=26))
    assert child["cancel_error"] is None
