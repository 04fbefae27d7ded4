"""The native bridge: module surface, handle lifecycle, callback queue and event records."""

import ctypes
import gc
import os
import threading
import time

import pytest

from velkor import _kestro

pytest.importorskip("ctpsim._front", reason="simulated front not built (vendor SDK build)")
import ctpsim  # noqa: E402
from fakes import Bridge  # noqa: E402

CAPACITY = 32768
NO_ERROR = {"ErrorID": 0, "ErrorMsg": ""}


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.005)


# The record contract: data keys in insertion order, with kind and string size.
ORDER = [("TradingDay", 9), ("ExchangeID", 9), ("InstrumentID", 81), ("OrderSysID", 21), ("OrderRef", 13),
         ("FrontID", int), ("SessionID", int), ("Direction", "ch"), ("CombOffsetFlag", 5), ("CombHedgeFlag", 5),
         ("LimitPrice", float), ("VolumeTotalOriginal", int), ("VolumeTraded", int), ("VolumeTotal", int),
         ("OrderStatus", "ch"), ("OrderSubmitStatus", "ch"), ("StatusMsg", 81), ("InsertDate", 9),
         ("InsertTime", 9)]
TRADE = [("TradingDay", 9), ("ExchangeID", 9), ("InstrumentID", 81), ("OrderSysID", 21), ("OrderRef", 13),
         ("TradeID", 21), ("Direction", "ch"), ("OffsetFlag", "ch"), ("HedgeFlag", "ch"), ("Price", float),
         ("Volume", int), ("TradeDate", 9), ("TradeTime", 9)]
POSITION = [("TradingDay", 9), ("ExchangeID", 9), ("InstrumentID", 81), ("HedgeFlag", "ch"), ("PosiDirection", "ch"),
            ("PositionDate", "ch"), ("Position", int), ("TodayPosition", int), ("YdPosition", int),
            ("LongFrozen", int), ("ShortFrozen", int), ("PositionProfit", float), ("UseMargin", float)]
ACCOUNT = [("AccountID", 13), ("CurrencyID", 4), ("TradingDay", 9)] + [
    (name, float) for name in ("Balance", "Available", "CurrMargin", "FrozenMargin", "Commission",
                               "FrozenCommission", "CloseProfit", "PositionProfit", "Deposit", "Withdraw")]
INSTRUMENT = [("ExchangeID", 9), ("InstrumentID", 81), ("ProductClass", "ch"), ("IsTrading", int),
              ("PriceTick", float), ("MinLimitOrderVolume", int), ("MaxLimitOrderVolume", int)]
INPUT_ORDER = [("InstrumentID", 81), ("ExchangeID", 9), ("OrderRef", 13)]
ACTION = [("InstrumentID", 81), ("ExchangeID", 9), ("OrderSysID", 21)]

# callback, event name, data keys, whether CTP passes request id and is-last
CALLBACKS = [
    ("OnRspAuthenticate", "RspAuthenticate", [("BrokerID", 11), ("UserID", 16), ("AppID", 33)], True),
    ("OnRspUserLogin", "RspUserLogin", [("TradingDay", 9), ("FrontID", int), ("SessionID", int),
                                        ("MaxOrderRef", 13)], True),
    ("OnRspSettlementInfoConfirm", "RspSettlementInfoConfirm", [("BrokerID", 11), ("InvestorID", 13)], True),
    ("OnRspQryOrder", "RspQryOrder", ORDER, True),
    ("OnRtnOrder", "RtnOrder", ORDER, False),
    ("OnRspQryTrade", "RspQryTrade", TRADE, True),
    ("OnRtnTrade", "RtnTrade", TRADE, False),
    ("OnRspQryInvestorPosition", "RspQryInvestorPosition", POSITION, True),
    ("OnRspQryTradingAccount", "RspQryTradingAccount", ACCOUNT, True),
    ("OnRspQryInstrument", "RspQryInstrument", INSTRUMENT, True),
    ("OnRspOrderInsert", "RspOrderInsert", INPUT_ORDER, True),
    ("OnErrRtnOrderInsert", "ErrRtnOrderInsert", INPUT_ORDER, False),
    ("OnRspOrderAction", "RspOrderAction", ACTION, True),
    ("OnErrRtnOrderAction", "ErrRtnOrderAction", ACTION, False),
]
RETURNS_WITH_ERROR = {"OnErrRtnOrderInsert", "OnErrRtnOrderAction"}
CALLBACK_IDS = [c[0] for c in CALLBACKS]


def filled(keys, seed):
    """Distinct values for every key: strings filling the whole field (no NUL), chars, ints, floats."""
    sent, expected = {}, {}
    for i, (key, kind) in enumerate(keys):
        n = seed * 100 + i
        if kind is int:
            sent[key] = expected[key] = -n - 1 if i % 2 else 2_000_000_000 + n
        elif kind is float:
            sent[key] = expected[key] = n + 0.25
        elif kind == "ch":
            sent[key] = bytes([0x30 + n % 70])
            expected[key] = chr(0x30 + n % 70)
        else:
            text = (f"{key[:3]}{n}-" * kind)[:kind]
            sent[key] = text.encode()
            expected[key] = text
    return sent, expected


def test_module_surface():
    assert _kestro.__name__ == "velkor._kestro"
    assert _kestro.__doc__ is None
    for name in ("version", "create", "request", "poll", "close", "fileno"):
        assert getattr(_kestro, name).__doc__ is None
    text = _kestro.version()
    assert isinstance(text, str) and text and text.isascii()


def test_arguments_are_positional_and_typed(front, flow):
    with pytest.raises(TypeError):
        _kestro.create(front=front.address, path=flow)
    with pytest.raises(TypeError):
        _kestro.create(front.address, os.fsdecode(flow))
    with pytest.raises(TypeError):
        _kestro.create(front.address.encode(), flow)
    with pytest.raises(ValueError):
        _kestro.create(front.address, flow + b"\0x")
    with pytest.raises(TypeError):
        _kestro.version(1)


CAPSULE_NAMES = []  # a capsule keeps only a pointer to its name: the bytes must live as long as the capsule


def make_capsule(name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    CAPSULE_NAMES.append(name)
    return new(ctypes.c_void_p(8), name, None)


WRONG_HANDLES = [None, 0, "velkor.ctp", b"", object(), make_capsule(b"other.ctp"), make_capsule(None)]


@pytest.mark.parametrize("handle", WRONG_HANDLES, ids=repr)
def test_wrong_handle_raises_capsule_value_error(handle):
    with pytest.raises(ValueError, match="PyCapsule"):
        _kestro.poll(handle)
    with pytest.raises(ValueError, match="PyCapsule"):
        _kestro.close(handle)
    with pytest.raises(ValueError, match="PyCapsule"):
        _kestro.fileno(handle)
    with pytest.raises(ValueError, match="PyCapsule"):
        _kestro.request(handle, "UserLogin", {}, 1)


def capsule_is(handle, name):
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype = ctypes.c_int
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return is_valid(handle, name) == 1


def test_handle_is_a_capsule_named_velkor_ctp(bridge):
    assert capsule_is(bridge.handle, b"velkor.ctp")
    assert not capsule_is(bridge.handle, b"velkor._kestro")


def test_create_fails_without_flow_directory(tmp_path):
    missing = os.fsencode(tmp_path / "missing") + os.sep.encode()
    with pytest.raises(RuntimeError) as info:
        _kestro.create("tcp://127.0.0.1:1", missing)
    assert str(info.value) == "创建 CTP 接口失败"


def test_unreachable_front_gives_handle_without_events(flow):
    handle = _kestro.create("not even an address", flow)
    time.sleep(0.05)
    assert _kestro.poll(handle) == []
    assert _kestro.request(handle, "UserLogin", {}, 1) == -1
    assert _kestro.close(handle) is None


@pytest.mark.parametrize("address", ["tcp://前置.期货:41205", "tcp://127.0.0.1:41206/路径?é=ü"])
def test_front_address_reaches_the_api_unchanged(flow, address):
    with ctpsim.Front(address) as f:
        handle = _kestro.create(address, flow)
        try:
            conn = f.wait_connection(5)
            f.flush()
            assert conn.connected
            assert _kestro.poll(handle) == [{"name": "FrontConnected"}]
        finally:
            _kestro.close(handle)


def test_disconnect_and_reconnect_records(bridge):
    bridge.front.retry_interval = 0.01
    bridge.front.disconnect(bridge.conn, reason=0x2002)
    wait_for(lambda: bridge.conn.connected)
    bridge.front.flush()
    events = _kestro.poll(bridge.handle)
    assert events == [{"name": "FrontDisconnected", "reason": 0x2002}, {"name": "FrontConnected"}]
    assert list(events[0]) == ["name", "reason"]


def test_close_is_idempotent_and_poll_drains_after_it(bridge):
    bridge.send("OnRtnTrade", {"TradeID": b"t1"})
    bridge.send("OnRtnTrade", {"TradeID": b"t2"})
    bridge.front.flush()
    assert _kestro.close(bridge.handle) is None
    assert bridge.conn.released
    assert _kestro.close(bridge.handle) is None
    events = _kestro.poll(bridge.handle)
    assert [e["data"]["TradeID"] for e in events] == ["t1", "t2"]
    assert _kestro.poll(bridge.handle) == []
    with pytest.raises(RuntimeError) as info:
        _kestro.request(bridge.handle, "UserLogin", {}, 1)
    assert str(info.value) == "CTP 接口已关闭"


@pytest.mark.parametrize("pending", [0, 5, CAPACITY])
def test_dropping_an_open_handle_releases_the_api(front, flow, pending):
    b = Bridge(front, flow)
    if pending:
        front.burst(b.conn, "OnRtnOrder", {"StatusMsg": "未成交".encode("gb18030")}, pending)
        front.flush()
    conn = b.conn
    del b
    gc.collect()
    assert conn.released
    assert not front.connections


def test_events_of_all_kinds_come_out_in_arrival_order(bridge):
    sequence = []
    for i, (callback, name, keys, _) in enumerate(CALLBACKS * 3):
        sent, expected = filled(keys, i)
        bridge.send(callback, sent, request_id=i, last=False)
        sequence.append((name, expected))
    bridge.send("OnRspError", None, error=(7, "bad"), request_id=99)
    events = bridge.events()
    assert [(e["name"], e["data"]) for e in events[:-1]] == sequence
    assert events[-1]["name"] == "RspError"


def test_burst_while_polling_delivers_each_event_once_in_order(bridge):
    rounds, size = 40, 500

    def produce():
        for k in range(rounds):
            bridge.front.burst(bridge.conn, "OnRtnOrder", {"VolumeTraded": k, "OrderSysID": str(k).encode()}, size)
            bridge.send("OnRtnOrder", {"VolumeTraded": -k - 1})

    sender = threading.Thread(target=produce)
    seen = []
    sender.start()
    deadline = time.monotonic() + 60
    while sender.is_alive() and time.monotonic() < deadline:
        seen.extend(_kestro.poll(bridge.handle))
    sender.join()
    seen.extend(bridge.events())
    assert [e["data"]["VolumeTraded"] for e in seen] == [v for k in range(rounds) for v in [k] * size + [-k - 1]]
    assert all(e["data"]["OrderSysID"] == str(e["data"]["VolumeTraded"]) for e in seen if e["data"]["VolumeTraded"] >= 0)
    assert all(list(e["data"]) == [k for k, _ in ORDER] for e in seen)


def test_full_queue_is_delivered_whole(bridge):
    bridge.front.burst(bridge.conn, "OnRtnOrder", {"OrderRef": b"1"}, CAPACITY)
    events = bridge.events()
    assert len(events) == CAPACITY
    assert events[-1]["data"]["OrderRef"] == "1"


def test_overflow_is_sticky_and_loses_the_queue(bridge):
    bridge.front.burst(bridge.conn, "OnRtnOrder", {"OrderRef": b"1"}, CAPACITY)
    bridge.send("OnRtnTrade", {"TradeID": b"lost"})
    bridge.front.flush()
    for _ in range(3):
        with pytest.raises(BufferError) as info:
            _kestro.poll(bridge.handle)
        assert str(info.value) == "CTP 回调队列已满"
    bridge.send("OnFrontConnected")
    bridge.front.flush()
    assert _kestro.request(bridge.handle, "QryTrade", {}, 3) == 0
    _kestro.close(bridge.handle)
    assert bridge.conn.released
    with pytest.raises(BufferError):
        _kestro.poll(bridge.handle)


@pytest.mark.parametrize("callback,name,keys,responds", CALLBACKS, ids=CALLBACK_IDS)
def test_record_keys_values_and_order(bridge, callback, name, keys, responds):
    sent, expected = filled(keys, 1)
    # Fields outside the carried set are dropped whatever they hold.
    extra = {"InvestorID": b"dropped"} if callback in ("OnRtnOrder", "OnRspQryTrade") else {}
    with_error = responds or callback in RETURNS_WITH_ERROR
    error = (1042, "拒绝".encode("gb18030")) if with_error else None
    record = bridge.event(callback, {**sent, **extra}, error=error, request_id=31, last=False)
    assert list(record) == ["name", "data", "error", "request_id", "last"]
    assert record["name"] == name
    assert list(record["data"]) == [k for k, _ in keys]
    assert record["data"] == expected
    for key, kind in keys:
        assert type(record["data"][key]) is (kind if kind in (int, float) else str)
    assert record["error"] == ({"ErrorID": 1042, "ErrorMsg": "拒绝"} if with_error else NO_ERROR)
    assert list(record["error"]) == ["ErrorID", "ErrorMsg"]
    if responds:
        assert (record["request_id"], record["last"]) == (31, False)
    else:
        assert (record["request_id"], record["last"]) == (0, True)
    assert record["last"] is (not responds)


@pytest.mark.parametrize("callback,name,keys,responds", [c for c in CALLBACKS if c[3] or c[0] in RETURNS_WITH_ERROR],
                         ids=[c[0] for c in CALLBACKS if c[3] or c[0] in RETURNS_WITH_ERROR])
def test_null_data_and_null_info(bridge, callback, name, keys, responds):
    record = bridge.event(callback, None, None, request_id=5, last=True)
    assert record == {"name": name, "data": None, "error": NO_ERROR, "request_id": 5 if responds else 0,
                      "last": True}


@pytest.mark.parametrize("raw,text", [
    (b"20241231X", "20241231X"),                      # a full field without NUL is decoded whole
    (b"2024\x00231", "2024"),                         # stops at the first NUL
    (b"\x00" * 9, ""),
    ("中文".encode("gb18030"), "中文"),
    (b"\xff\xfe", "\ufffd\ufffd"),                    # invalid bytes are replaced, never an error
])
def test_string_field_decoding(bridge, raw, text):
    assert bridge.event("OnRtnTrade", {"TradingDay": raw})["data"]["TradingDay"] == text


@pytest.mark.parametrize("raw,text", [
    ("全部成交报单已提交".encode("gb18030"), "全部成交报单已提交"),
    (b"ok \x81\x30\x81\x30 end", "ok \x80 end"),      # four-byte GB18030 sequence
    (b"\x81", "\ufffd"),                              # truncated lead byte
    (b"abc\xd6", "abc\ufffd"),
    ("€".encode("gb18030") * 40, "€" * 40),
    ("汉" * 40 + "x", "汉" * 40 + "x"),               # 81 bytes, no NUL
])
def test_status_message_decoding(bridge, raw, text):
    if isinstance(raw, str):
        raw = raw.encode("gb18030")
    assert bridge.event("OnRtnOrder", {"StatusMsg": raw})["data"]["StatusMsg"] == text


@pytest.mark.parametrize("raw,text", [(b"0", "0"), (b"\x00", "\x00"), (b"\xb0", "\xb0"), (b"\xff", "\xff"),
                                      (b"a", "a")])
def test_char_field_is_the_code_point_of_the_byte(bridge, raw, text):
    assert bridge.event("OnRtnTrade", {"Direction": raw})["data"]["Direction"] == text


@pytest.mark.parametrize("error,data", [
    (None, None),
    ((-3, "CTP:错误"), {"ErrorID": -3, "ErrorMsg": "CTP:错误"}),
    ((0, b"x" * 81), {"ErrorID": 0, "ErrorMsg": "x" * 81}),
])
def test_rsp_error(bridge, error, data):
    record = bridge.event("OnRspError", None, error=error, request_id=12, last=True)
    assert record == {"name": "RspError", "data": data, "error": data or NO_ERROR, "request_id": 12, "last": True}
    if data is not None:
        assert record["data"] is not record["error"]


def test_query_rows_share_request_id(bridge):
    for i, last in enumerate([False, False, True]):
        bridge.send("OnRspQryInvestorPosition", {"Position": i}, request_id=44, last=last)
    events = bridge.events()
    assert [(e["request_id"], e["last"], e["data"]["Position"]) for e in events] == [
        (44, False, 0), (44, False, 1), (44, True, 2)]


def test_extreme_numbers(bridge):
    data = {"FrontID": -2**31, "SessionID": 2**31 - 1, "LimitPrice": float("inf"), "VolumeTotal": 0}
    record = bridge.event("OnRtnOrder", data)
    assert {k: record["data"][k] for k in data} == data
    nan = bridge.event("OnRtnOrder", {"LimitPrice": float("nan")})["data"]["LimitPrice"]
    assert nan != nan


def test_many_distinct_and_repeated_chinese_messages(bridge):
    texts = [f"状态{i % 300}：第{i}条" if i % 3 else "全部成交" for i in range(1200)]
    for text in texts:
        bridge.send("OnRtnOrder", {"StatusMsg": text.encode("gb18030")})
    bridge.send("OnRspError", None, error=(1, "全部成交".encode("gb18030") + b"\xff"))
    events = bridge.events()
    assert [e["data"]["StatusMsg"] for e in events[:-1]] == texts
    assert events[-1]["data"]["ErrorMsg"] == "全部成交\ufffd"
