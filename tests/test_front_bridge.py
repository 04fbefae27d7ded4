"""The bridge over the stand-in API and a simulated front, end to end."""

import pytest

pytest.importorskip("ctpsim._front", reason="simulated front not built")
_kestro = pytest.importorskip("velkor._kestro")

from fakes import polled  # noqa: E402


def test_version_comes_from_the_stand_in():
    from ctpsim import _front
    assert _kestro.version() == _front.version()


def test_create_fails_without_a_flow_directory(flow):
    with pytest.raises(RuntimeError, match="创建 CTP 接口失败"):
        _kestro.create("tcp://127.0.0.1:1", flow + b"missing/")


def test_records_cross_the_bridge_byte_for_byte(front, flow):
    handle = _kestro.create(front.address, flow)
    conn = front.wait_connection()
    assert conn.flow_path == flow
    front.send(conn, "OnRtnOrder", {"TradingDay": b"202412011", "StatusMsg": "已撤单", "InsertTime": b"\xff\x80",
                                    "Direction": "0", "FrontID": -5, "LimitPrice": 3.25, "SequenceNo": 99,
                                    "OrderType": "9", "UpdateTime": "xx"})
    front.send(conn, "OnRspQryInvestorPosition", None, None, 12, True)
    front.send(conn, "OnRspError", None, (17, "资金不足"), 3, False)
    front.flush()
    connected, order, position, error = polled(lambda: _kestro.poll(handle), 4)
    assert connected == {"name": "FrontConnected"}
    data = order["data"]
    assert (data["TradingDay"], data["StatusMsg"], data["Direction"], data["FrontID"]) == (
        "202412011", "已撤单", "0", -5)
    assert data["InsertTime"] == "\ufffd" * len(data["InsertTime"]) and data["OrderStatus"] == "\x00"
    assert data["LimitPrice"] == 3.25 and data["InsertDate"] == ""
    assert (order["request_id"], order["last"], order["error"]) == (0, True, {"ErrorID": 0, "ErrorMsg": ""})
    assert position == {"name": "RspQryInvestorPosition", "data": None,
                        "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 12, "last": True}
    assert error["data"] == error["error"] == {"ErrorID": 17, "ErrorMsg": "资金不足"}
    assert (error["request_id"], error["last"]) == (3, False)
    _kestro.close(handle)


def test_request_reaches_the_front_with_untouched_fields_zero(front, flow):
    handle = _kestro.create(front.address, flow)
    conn = front.wait_connection()
    front.handler = lambda r: -3 if r.fields["Direction"] == b"1" else None
    payload = {"BrokerID": "9999", "InvestorID": "007", "OrderRef": "12", "UserID": "007", "OrderPriceType": "2",
               "Direction": "0", "CombOffsetFlag": "3", "CombHedgeFlag": "1", "LimitPrice": 4567.5,
               "VolumeTotalOriginal": 5, "TimeCondition": "3", "VolumeCondition": "1", "MinVolume": 1,
               "ContingentCondition": "1", "ForceCloseReason": "0", "IsAutoSuspend": 0, "UserForceClose": 0,
               "ExchangeID": "SHFE", "CurrencyID": "CNY", "InstrumentID": "ag2412"}
    assert _kestro.request(handle, "OrderInsert", payload, 41) == 0
    assert _kestro.request(handle, "OrderInsert", dict(payload, Direction="1"), 42) == -3
    first, second = front.requests
    assert (first.connection, first.method, first.request_id) == (conn, "OrderInsert", 41)
    expected = {k: v.encode() if isinstance(v, str) else v for k, v in payload.items()}
    assert {k: first.fields[k] for k in payload} == expected
    untouched = {k: v for k, v in first.fields.items() if k not in payload}
    assert untouched and all(v in (b"", b"\x00", 0, 0.0) for v in untouched.values())
    assert second.request_id == 42
    _kestro.close(handle)


def test_request_while_disconnected_returns_minus_one(front, flow):
    front.accepting = False
    handle = _kestro.create(front.address, flow)
    assert _kestro.request(handle, "QryInstrument", {}, 1) == -1
    assert front.requests == [] and _kestro.poll(handle) == []
    _kestro.close(handle)


def test_disconnect_reconnect_and_close(front, flow):
    handle = _kestro.create(front.address, flow)
    conn = front.wait_connection()
    front.disconnect(conn, 0x1002)
    assert front.wait_connection() is conn
    front.flush()
    assert polled(lambda: _kestro.poll(handle), 3) == [
        {"name": "FrontConnected"}, {"name": "FrontDisconnected", "reason": 0x1002}, {"name": "FrontConnected"}]
    front.burst(conn, "OnRtnTrade", {"Volume": 1}, 100)
    _kestro.close(handle)
    assert conn.released and front.connections == []
    front.send(conn, "OnRtnTrade", {})
    front.flush()
    events = _kestro.poll(handle)
    assert len(events) <= 100 and all(e["name"] == "RtnTrade" for e in events)
    assert _kestro.poll(handle) == []


def test_dropping_the_handle_releases_the_api(front, flow):
    handle = _kestro.create(front.address, flow)
    conn = front.wait_connection()
    front.burst(conn, "OnRtnOrder", {}, 50)
    del handle
    assert conn.released and not conn.connected


def test_a_burst_past_the_bridge_queue_capacity_overflows_it(front, flow):
    handle = _kestro.create(front.address, flow)
    conn = front.wait_connection()
    front.flush()
    front.burst(conn, "OnRtnTrade", {"TradeID": "1"}, 32768)
    front.send(conn, "OnRtnOrder", {})
    front.flush(30)
    for _ in range(2):
        with pytest.raises(BufferError, match="CTP 回调队列已满"):
            _kestro.poll(handle)
    _kestro.close(handle)
