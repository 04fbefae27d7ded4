"""Cancellation over the fake adapter: every refusal, the payload and the in-flight mark."""

from __future__ import annotations

import pytest
from test_entry_support import confirm, insert, ready_session, sent

from velkor.ledgerlet import TradingResult

NOT_READY = "交易账户未就绪，撤单未提交"
UNCONFIRMED = "订单尚未确认，撤单未提交"


def live_order(exchange_order_id="  1001", **kwargs):
    s = ready_session(**kwargs)
    [r] = insert(s)
    confirm(s, r.order_id, exchange_order_id)
    s.native.requests.clear()
    s.dirty = False
    return s, r.order_id


class Key(str):
    pass


@pytest.mark.parametrize("order_id", [123, None, b"3:12345:101", ("3", "12345", "101")])
def test_non_text_ids_give_nothing(order_id):
    s, _ = live_order()
    assert s.cancel(order_id) == []
    assert s.native.requests == []


@pytest.mark.parametrize("status", ["FILLED", "CANCELLED", "REJECTED"])
def test_finished_or_unknown_orders_give_nothing(status):
    s, order_id = live_order()
    assert s.cancel("3:12345:999") == []
    s.o[order_id]["status"] = status
    assert s.cancel(order_id) == []
    assert s.native.requests == []


def test_confirmed_live_order_sends_the_action_and_marks_it_in_flight():
    s, order_id = live_order("  1001 ")
    s.request_id = 50
    assert s.cancel(Key(order_id)) == [TradingResult("SUBMITTED", order_id)]
    [(method, payload, rid)] = s.native.requests
    assert (method, rid) == ("OrderAction", 51)
    assert list(payload.items()) == [("BrokerID", "9999"), ("InvestorID", "123456"), ("UserID", "123456"),
                                     ("InstrumentID", "ag2412"), ("ExchangeID", "SHFE"),
                                     ("OrderSysID", "  1001 "), ("ActionFlag", "0")]
    child = s.native_orders[order_id]
    assert (child["cancel_request_id"], child["cancel_pending"], child["cancel_error"]) == (51, True, None)
    assert s.o[order_id]["cancel_pending"] is True  # rolled up, published at the next commit
    assert s.dirty
    # a cancel in flight is not sent twice
    assert s.cancel(order_id) == []
    assert len(s.native.requests) == 1


def test_a_previous_refusal_is_cleared_by_a_new_cancel():
    s, order_id = live_order()
    s.native_orders[order_id]["cancel_error"] = "撤单被拒绝"
    assert s.cancel(order_id)[0].status == "SUBMITTED"
    assert s.native_orders[order_id]["cancel_error"] is None


@pytest.mark.parametrize("state", [{"session_status": "DISCONNECTED"}, {"reset_pending": True}])
def test_not_ready(state):
    s, order_id = live_order()
    for k, v in state.items():
        setattr(s, k, v)
    assert s.cancel(order_id) == [TradingResult("REJECTED", order_id, NOT_READY)]
    assert s.native.requests == []


def test_an_order_only_published_before_a_reset():
    s, order_id = live_order()
    s._touch()
    assert s.commit({}) is True and order_id in s.orders
    s._clear_cache("SYNCING")
    assert s.cancel(order_id) == [TradingResult("REJECTED", order_id, NOT_READY)]
    s.orders[order_id]._values["status"] = "FILLED"
    assert s.cancel(order_id) == []
    assert s.native.requests == []


@pytest.mark.parametrize("change", [
    "no child", {"is_confirmed": False}, {"exchange_order_id": ""}, {"exchange_order_id": "   "}])
def test_unconfirmed_orders_are_refused(change):
    s, order_id = live_order()
    if change == "no child":
        del s.native_orders[order_id]
    else:
        s.native_orders[order_id].update(change)
    assert s.cancel(order_id) == [TradingResult("REJECTED", order_id, UNCONFIRMED)]
    assert s.native.requests == []


def test_cancel_right_after_insert_is_refused_until_confirmed():
    s = ready_session()
    [r] = insert(s)
    assert s.cancel(r.order_id) == [TradingResult("REJECTED", r.order_id, UNCONFIRMED)]
    assert sent(s, "OrderAction") == []


@pytest.mark.parametrize("flag", ["pending_finish", "cancel_pending"])
def test_finishing_or_already_cancelling_gives_nothing(flag):
    s, order_id = live_order()
    s.native_orders[order_id][flag] = True
    assert s.cancel(order_id) == []
    assert s.native.requests == []


@pytest.mark.parametrize("outcome,message", [
    (-1, "撤单未提交"), (-3, "撤单未提交"), (ValueError(), "撤单参数无效，未提交"), (TypeError(), "撤单参数无效，未提交"),
    (OverflowError(), "撤单参数无效，未提交")])
def test_refused_requests_leave_the_child_untouched_and_may_be_retried(outcome, message):
    s, order_id = live_order()
    before = dict(s.native_orders[order_id])
    s.native.results["OrderAction"] = [outcome, 0]
    assert s.cancel(order_id) == [TradingResult("REJECTED", order_id, message)]
    assert s.native_orders[order_id] == before and not s.dirty
    assert s.cancel(order_id) == [TradingResult("SUBMITTED", order_id)]


def test_an_unexpected_error_marks_the_cancel_in_flight_under_the_used_id():
    s, order_id = live_order()
    s.request_id = 70
    s.native.results["OrderAction"] = RuntimeError("CTP 接口已关闭")
    assert s.cancel(order_id) == [TradingResult("UNKNOWN", order_id, "撤单提交结果不明，等待柜台回报")]
    child = s.native_orders[order_id]
    assert child["cancel_pending"] is True and child["cancel_request_id"] == 71
    assert s.cancel(order_id) == []


def test_errors_not_derived_from_exception_propagate():
    s, order_id = live_order()
    s.native.results["OrderAction"] = KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        s.cancel(order_id)
    assert s.native_orders[order_id]["cancel_pending"] is False
