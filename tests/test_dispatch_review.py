"""Event dispatch, second look: request payloads, side effects of the handlers, attribution order."""

from __future__ import annotations

import pytest

from fakes import front_connected, record, rsp_error
from test_dispatch import _child
from test_sync_support import DAY, FRONT, SESSION, answer, log_in, send_query, watch_recovery


def test_login_requests_carry_their_fields_in_order(session):
    log_in(session)
    (_, auth, _), (_, login, _), (_, settle, _) = session.native.requests
    ids = ["BrokerID", "InvestorID", "UserID"]
    assert list(auth) == ids + ["AppID", "AuthCode"]
    assert list(login) == ids + ["Password"]
    assert list(settle) == ids


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


@pytest.mark.parametrize("code", [90, 154])
def test_retryable_query_failure_during_sync_keeps_the_step(session, clock, code):
    recovery, query_recovery = watch_recovery(session)
    log_in(session)
    query = send_query(session, clock)
    session.event(record("RspQryInstrument", None, error_id=code, request_id=query["id"]))
    assert session.inflight is None and session.pending == set() and session.sync_index == 0
    assert recovery.calls == ["fail"] and query_recovery.calls == []
    assert session.last_query == clock.now + 1


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


def test_action_rejection_by_reference_checks_the_request_id(session):
    log_in(session)
    child = _child(session, 101, cancel_request_id=70, cancel_pending=True)
    data = {"OrderRef": "101", "FrontID": FRONT, "SessionID": SESSION}
    session.event(record("RspOrderAction", data, error_id=26, request_id=71))
    assert child["cancel_pending"] is True
    session.event(record("RspOrderAction", data, error_id=26, request_id=70))
    assert (child["cancel_pending"], child["cancel_error"]) == (False, "撤单被拒绝")


@pytest.mark.parametrize("message", [None, "busy"])
def test_query_error_accepts_any_message_on_retry(session, clock, message):
    session.phase = "ready"
    session.inflight = {"id": 4, "kind": "account", "rows": [], "progress": 0.0, "revision": 0}
    assert session._query_error(154, message) is None
    assert session.pending == {"account"}


@pytest.mark.parametrize("extra", [{"request_id": 50}, {"cancel_request_id": 50, "cancel_pending": True}])
def test_rsp_error_without_code_for_an_order_request_changes_nothing(session, extra):
    log_in(session)
    child = _child(session, 101, **extra)
    before = dict(child)
    session.event(rsp_error(0, "", request_id=50))
    assert child == before
