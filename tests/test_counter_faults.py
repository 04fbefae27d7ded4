"""Faults the simulated counter produces on demand, and its consistency under concurrent use."""

import threading
import time

import pytest

from test_counter import DAY, Client, names, rows  # noqa: F401  (fixtures below reuse the helpers)
from test_counter import client, connect, counter  # noqa: F401

ERROR = (1234, "CTP:模拟的错误")


def test_drop_sessions_disconnects_everyone_and_they_come_back(counter, connect):
    a, b = connect(), connect()
    counter.drop_sessions()
    assert counter.sessions() == []
    for c in (a, b):
        events = c.wait("FrontConnected")
        assert names(events)[-2:] == ["FrontDisconnected", "FrontConnected"]
        assert events[-2]["reason"] == 0x1001
    for method, fields in a.login_steps():
        assert a.call(method, **fields)[1][0]["error"]["ErrorID"] == 0
    assert len(counter.sessions()) == 1


def test_refused_connections_stay_out_until_accepted(counter, connect):
    c = connect()
    counter.refuse_connections()
    counter.drop_sessions()
    c.wait("FrontDisconnected")
    time.sleep(0.1)                                     # ten retry intervals
    assert "FrontConnected" not in names(c.poll())
    counter.accept_connections()
    c.wait("FrontConnected")


def test_refusal_for_a_while_ends_by_itself(counter, connect):
    c = connect()
    counter.refuse_connections(0.05)
    counter.drop_sessions()
    c.wait("FrontDisconnected")
    c.wait("FrontConnected")
    assert counter.front.accepting


@pytest.mark.parametrize("method, callback", [
    ("QryInstrument", "RspQryInstrument"), ("QryOrder", "RspQryOrder"), ("QryTrade", "RspQryTrade"),
    ("QryInvestorPosition", "RspQryInvestorPosition"), ("QryTradingAccount", "RspQryTradingAccount"),
])
def test_fail_next_answers_a_query_with_an_error_once(counter, client, method, callback):
    counter.fail_next(method, ERROR)
    rid, events = client.query(method)
    assert events == [{"name": callback, "data": None, "error": {"ErrorID": 1234, "ErrorMsg": "CTP:模拟的错误"},
                       "request_id": rid, "last": True}]
    assert client.query(method)[1][-1]["error"]["ErrorID"] == 0


def test_fail_next_without_an_error_uses_the_retry_code_for_queries(counter, client):
    counter.fail_next("QryTradingAccount")
    (event,) = client.query("QryTradingAccount")[1]
    assert event["error"]["ErrorID"] == 90


@pytest.mark.parametrize("method, callback", [
    ("Authenticate", "RspAuthenticate"), ("UserLogin", "RspUserLogin"),
    ("SettlementInfoConfirm", "RspSettlementInfoConfirm"),
])
def test_fail_next_answers_a_login_step_with_an_error(counter, connect, method, callback):
    counter.fail_next(method, ERROR)
    c = connect(login=False)
    c.wait("FrontConnected")
    for step, fields in c.login_steps():
        rid, (event,) = c.call(step, **fields)
        if step == method:
            break
        assert event["error"]["ErrorID"] == 0
    assert (event["name"], event["request_id"], event["error"]) == (
        callback, rid, {"ErrorID": 1234, "ErrorMsg": "CTP:模拟的错误"})


def test_fail_next_rejects_an_order_and_a_cancel(counter, client):
    counter.fail_next("OrderInsert", ERROR)
    rsp, err = client.insert("DCE.m2501", "0", "0", 1, 3000.0)
    assert (rsp["name"], err["name"], rsp["error"]["ErrorID"], err["error"]["ErrorID"]) == (
        "RspOrderInsert", "ErrRtnOrderInsert", 1234, 1234)
    sys_id = client.insert("DCE.m2501", "0", "0", 1, 3000.0)[-1]["data"]["OrderSysID"]
    counter.fail_next("OrderAction", ERROR)
    _, (rsp, err) = client.cancel("DCE.m2501", sys_id)
    assert (rsp["name"], err["name"], err["data"]["OrderSysID"]) == ("RspOrderAction", "ErrRtnOrderAction", sys_id)
    assert counter.orders()[0]["OrderStatus"] == "3"          # the order still works


@pytest.mark.parametrize("code", [-1, -2, -3, 7])
def test_fail_next_with_a_result_returns_it_and_answers_nothing(counter, client, code):
    counter.fail_next("QryTradingAccount", result=code)
    assert client.request("QryTradingAccount", **client.ids())[1] == code
    assert client.poll() == []
    assert client.request("QryTradingAccount", **client.ids())[1] == 0


def test_rsp_error_next_answers_with_the_request_id(counter, client):
    counter.rsp_error_next("OrderInsert", ERROR)
    rid, (event,) = client.call("OrderInsert", **client.ids(InstrumentID="m2501", ExchangeID="DCE"))
    assert (event["name"], event["request_id"], event["data"], event["error"]) == (
        "RspError", rid, {"ErrorID": 1234, "ErrorMsg": "CTP:模拟的错误"}, {"ErrorID": 1234, "ErrorMsg": "CTP:模拟的错误"})
    assert counter.orders() == []


def test_a_muted_method_is_neither_processed_nor_answered(counter, client):
    counter.mute("OrderInsert")
    assert client.insert("DCE.m2501", "0", "0", 1, 3100.0) == []
    assert counter.orders() == []
    assert names(client.query("QryOrder")[1]) == ["RspQryOrder"]
    counter.unmute("OrderInsert")
    assert len(client.insert("DCE.m2501", "0", "0", 1, 3100.0)) == 4


def test_a_duplicated_trade_return_is_sent_twice_with_one_trade_id(counter, client):
    counter.duplicate_next_trade()
    events = client.insert("DCE.m2501", "0", "0", 1, 3100.0)
    trades = [e["data"] for e in events if e["name"] == "RtnTrade"]
    assert len(trades) == 2 and trades[0] == trades[1]
    assert len(counter.trades()) == 1
    assert counter.positions()["DCE.m2501"]["pos_long"] == 1
    assert names(client.insert("DCE.m2501", "0", "0", 1, 3100.0)).count("RtnTrade") == 1


@pytest.mark.parametrize("with_order", [False, True])
def test_a_stale_order_return_carries_another_trading_day(counter, client, with_order):
    if with_order:
        client.insert("DCE.m2501", "0", "0", 1, 3000.0)
    row = counter.send_stale_order_return()
    (event,) = client.poll()
    assert event["name"] == "RtnOrder" and event["data"] == row
    assert row["TradingDay"] == "20241129"                  # the Friday before
    if with_order:
        assert row["OrderSysID"] == counter.orders()[0]["OrderSysID"]


@pytest.mark.parametrize("method", ["Nothing", "userlogin"])
def test_faults_name_real_methods(counter, method):
    with pytest.raises(ValueError):
        counter.fail_next(method)
    with pytest.raises(ValueError):
        counter.mute(method)


def test_a_closed_counter_no_longer_answers(counter, client):
    counter.close()
    assert client.query("QryOrder")[1] == []


def test_concurrent_sessions_and_price_moves_keep_the_books_consistent(counter, connect):
    """Two sessions trade the same account from two threads while a third moves the price."""
    clients = [connect(), connect()]
    symbol = "DCE.m2501"
    done = threading.Event()
    failures = []

    def trade(c, direction):
        try:
            for i in range(40):
                c.insert(symbol, direction, "0", 1 + i % 3, 3100.0 + i % 5 - 2)
        except Exception as exc:
            failures.append(exc)

    def move():
        i = 0
        while not done.is_set():
            counter.set_price(symbol, 3100.0 + i % 9 - 4)
            i += 1

    mover = threading.Thread(target=move)
    traders = [threading.Thread(target=trade, args=(c, d)) for c, d in zip(clients, "01")]
    mover.start()
    for t in traders:
        t.start()
    for t in traders:
        t.join()
    done.set()
    mover.join()
    assert failures == []
    trades = counter.trades()
    held = counter.positions()[symbol]
    assert held["pos_long"] == sum(t["Volume"] for t in trades if t["Direction"] == "0")
    assert held["pos_short"] == sum(t["Volume"] for t in trades if t["Direction"] == "1")
    filled = {o["OrderSysID"]: o["VolumeTraded"] for o in counter.orders()}
    for sys_id, traded in filled.items():
        assert traded == sum(t["Volume"] for t in trades if t["OrderSysID"] == sys_id)
    # every session saw every fill of the account
    for c in clients:
        c.poll()
        assert sorted(e["data"]["TradeID"] for e in c.log if e["name"] == "RtnTrade") == sorted(
            t["TradeID"] for t in trades)
    assert len(counter.orders()) == 80
