"""The native bridge: request encoding, its checks, and what reaches the front."""

import gc
import math
import operator
import threading

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from velkor import _kestro

from fakes import Bridge

pytest.importorskip("ctpsim._front", reason="simulated front not built (vendor SDK build)")

CH = "ch"
# method: [(key, kind)], kind is the longest encoded text in bytes, CH, int or float
REQUESTS = {
    "Authenticate": [("BrokerID", 10), ("UserID", 15), ("AuthCode", 16), ("AppID", 32)],
    "UserLogin": [("BrokerID", 10), ("UserID", 15), ("Password", 40)],
    "SettlementInfoConfirm": [("BrokerID", 10), ("InvestorID", 12), ("CurrencyID", 3)],
    "QryOrder": [("BrokerID", 10), ("InvestorID", 12), ("ExchangeID", 8), ("OrderSysID", 20),
                 ("InstrumentID", 80)],
    "QryTrade": [("BrokerID", 10), ("InvestorID", 12), ("ExchangeID", 8), ("InstrumentID", 80)],
    "QryInvestorPosition": [("BrokerID", 10), ("InvestorID", 12), ("ExchangeID", 8), ("InstrumentID", 80)],
    "QryTradingAccount": [("BrokerID", 10), ("InvestorID", 12), ("CurrencyID", 3)],
    "QryInstrument": [("ExchangeID", 8), ("InstrumentID", 80)],
    "OrderInsert": [("BrokerID", 10), ("InvestorID", 12), ("OrderRef", 12), ("UserID", 15), ("OrderPriceType", CH),
                    ("Direction", CH), ("CombOffsetFlag", 4), ("CombHedgeFlag", 4), ("LimitPrice", float),
                    ("VolumeTotalOriginal", int), ("TimeCondition", CH), ("VolumeCondition", CH), ("MinVolume", int),
                    ("ContingentCondition", CH), ("ForceCloseReason", CH), ("IsAutoSuspend", int),
                    ("UserForceClose", int), ("ExchangeID", 8), ("CurrencyID", 3), ("InstrumentID", 80)],
    "OrderAction": [("BrokerID", 10), ("InvestorID", 12), ("ExchangeID", 8), ("OrderSysID", 20), ("ActionFlag", CH),
                    ("LimitPrice", float), ("UserID", 15), ("InstrumentID", 80)],
}
TEXT_KEYS = [(m, k, n) for m, keys in REQUESTS.items() for k, n in keys if isinstance(n, int) and n is not int]
ALL_KEYS = sorted({k for keys in REQUESTS.values() for k, _ in keys})


def zero(value):
    return value in (b"", b"\x00", 0, 0.0)


def sent(bridge, method, data, request_id=1):
    """The request as the front received it; exactly one must have arrived."""
    before = len(bridge.front.requests)
    assert _kestro.request(bridge.handle, method, data, request_id) == 0
    assert len(bridge.front.requests) == before + 1
    req = bridge.front.requests[-1]
    assert (req.method, req.request_id, req.connection.id) == (method, request_id, bridge.conn.id)
    return req


def refused(bridge, exc, method, data, message=None, request_id=1):
    before = len(bridge.front.requests)
    with pytest.raises(exc) as info:
        _kestro.request(bridge.handle, method, data, request_id)
    assert len(bridge.front.requests) == before
    if message is not None:
        assert str(info.value) == message
    return info.value


@pytest.mark.parametrize("method", REQUESTS)
def test_empty_request_sends_an_all_zero_record(bridge, method):
    req = sent(bridge, method, {}, 77)
    assert req.record == bytes(len(req.record))
    assert all(zero(v) for v in req.fields.values())


@pytest.mark.parametrize("method", REQUESTS)
def test_every_key_lands_in_its_field_and_nothing_else_is_set(bridge, method):
    data, expected = {}, {}
    for i, (key, kind) in enumerate(REQUESTS[method]):
        if kind is int:
            data[key] = expected[key] = -2**31 if i % 2 else 2**31 - 1 - i
        elif kind is float:
            data[key], expected[key] = 1234.5 + i, 1234.5 + i
        elif kind == CH:
            data[key], expected[key] = chr(0x31 + i), bytes([0x31 + i])
        else:
            text = (key + str(i) * kind)[:kind]
            data[key], expected[key] = text, text.encode()
    data["RequestID"] = 99          # read by no request: ignored
    data["Unrelated"] = object()
    req = sent(bridge, method, data, -5)
    assert {k: req.fields[k] for k in expected} == expected
    assert all(zero(v) for k, v in req.fields.items() if k not in expected)


def value_for(zero_value):
    """A valid value for a record field, from the field's zero: b"" string, b"\\x00" char, int, float."""
    if isinstance(zero_value, float):
        return 7.5
    if isinstance(zero_value, int):
        return 7
    return "1"


@pytest.mark.parametrize("method", REQUESTS)
def test_fields_the_request_does_not_read_stay_zero_when_named(bridge, method):
    # FrontID, SessionID and OrderRef of an order action, RequestID of an order, ... are never filled from data.
    record_fields = sent(bridge, method, {}).fields
    read = {key for key, _ in REQUESTS[method]}
    unread = {key: value_for(value) for key, value in record_fields.items() if key not in read}
    assert unread
    req = sent(bridge, method, unread)
    assert req.record == bytes(len(req.record))
    assert all(zero(v) for v in req.fields.values())


@pytest.mark.parametrize("result", [0, -1, -2, -3, 7])
def test_result_of_the_operation_is_returned_unchanged(bridge, result):
    bridge.front.handler = lambda request: result
    assert _kestro.request(bridge.handle, "QryTradingAccount", {"BrokerID": "9999"}, 3) == result
    assert bridge.front.requests[-1].fields["BrokerID"] == b"9999"


@pytest.mark.parametrize("method,key,length", TEXT_KEYS, ids=[f"{m}.{k}" for m, k, _ in TEXT_KEYS])
def test_text_length_limit(bridge, method, key, length):
    assert sent(bridge, method, {key: "x" * length}).fields[key] == b"x" * length
    refused(bridge, ValueError, method, {key: "x" * (length + 1)}, key + " 超出 CTP 字段长度或包含 NUL 字符")


@pytest.mark.parametrize("value,stored", [
    ("中" * 40, "中" * 40), ("a" + "中" * 39 + "b", "a" + "中" * 39 + "b"), ("ab" + "中" * 39 + "c", None),
    ("中" * 41, None), ("€" * 40, "€" * 40), ("\U0001f600" * 20, "\U0001f600" * 20), ("\U0001f600" * 20 + "x", None),
])
def test_instrument_id_counts_encoded_bytes(bridge, value, stored):
    if stored is None:
        refused(bridge, ValueError, "QryInstrument", {"InstrumentID": value},
                "InstrumentID 超出 CTP 字段长度或包含 NUL 字符")
    else:
        assert sent(bridge, "QryInstrument", {"InstrumentID": value}).fields["InstrumentID"] == stored.encode("gb18030")


@pytest.mark.parametrize("value,stored", [("0", b"0"), ("", b"\x00"), ("\x7f", b"\x7f")])
def test_char_field_stores_one_byte(bridge, value, stored):
    assert sent(bridge, "OrderInsert", {"Direction": value}).fields["Direction"] == stored


@pytest.mark.parametrize("key,value,exc,message", [
    ("Direction", "01", ValueError, "Direction 超出 CTP 字段长度或包含 NUL 字符"),
    ("Direction", "中", ValueError, "Direction 超出 CTP 字段长度或包含 NUL 字符"),
    ("Direction", "\x00", ValueError, "Direction 超出 CTP 字段长度或包含 NUL 字符"),
    ("Direction", "\ud800", ValueError, "Direction 包含 CTP 不支持的字符"),
    ("Direction", 48, TypeError, "Direction 必须是字符串"),
    ("Direction", b"0", TypeError, "Direction 必须是字符串"),
    ("InstrumentID", 2412, TypeError, "InstrumentID 必须是字符串"),
    ("InstrumentID", None, TypeError, "InstrumentID 必须是字符串"),
    ("InstrumentID", "ag\x002412", ValueError, "InstrumentID 超出 CTP 字段长度或包含 NUL 字符"),
    ("InstrumentID", "ag\udc80", ValueError, "InstrumentID 包含 CTP 不支持的字符"),
    ("VolumeTotalOriginal", 2**31, OverflowError, None),
    ("VolumeTotalOriginal", -2**31 - 1, OverflowError, None),
    ("VolumeTotalOriginal", 2**64, OverflowError, None),
    ("VolumeTotalOriginal", None, TypeError, None),
    ("VolumeTotalOriginal", 1.0, TypeError, None),
    ("VolumeTotalOriginal", "1", TypeError, None),
    ("LimitPrice", None, TypeError, None),
    ("LimitPrice", "3.5", TypeError, None),
    ("LimitPrice", 10**400, OverflowError, None),
])
def test_bad_values_are_refused_and_nothing_is_sent(bridge, key, value, exc, message):
    refused(bridge, exc, "OrderInsert", {key: value}, message)


class Index:
    def __index__(self):
        return 3


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("key,value,stored", [
    ("VolumeTotalOriginal", True, 1), ("VolumeTotalOriginal", Index(), 3), ("MinVolume", -2**31, -2**31),
    ("LimitPrice", 7, 7.0), ("LimitPrice", Real(), 2.5), ("LimitPrice", Index(), 3.0), ("LimitPrice", -0.0, -0.0),
    ("LimitPrice", math.inf, math.inf),
])
def test_numbers_accept_the_conversions(bridge, key, value, stored):
    got = sent(bridge, "OrderInsert", {key: value}).fields[key]
    assert got == stored and type(got) is type(stored)


def test_nan_price_is_stored(bridge):
    assert math.isnan(sent(bridge, "OrderInsert", {"LimitPrice": math.nan}).fields["LimitPrice"])


def test_empty_string_equals_missing_key(bridge):
    a = sent(bridge, "OrderInsert", {"InstrumentID": "", "Direction": "", "BrokerID": "b"})
    b = sent(bridge, "OrderInsert", {"BrokerID": "b"})
    assert a.record == b.record


def test_first_bad_key_in_table_order_wins(bridge):
    # Insertion order of the dict does not matter; the table's order does.
    data = {"InstrumentID": 5, "LimitPrice": "x", "BrokerID": "b" * 11}
    refused(bridge, ValueError, "OrderInsert", data, "BrokerID 超出 CTP 字段长度或包含 NUL 字符")
    refused(bridge, TypeError, "OrderInsert", {"InstrumentID": 5, "ExchangeID": None}, "ExchangeID 必须是字符串")


@pytest.mark.parametrize("method", ["userlogin", "USERLOGIN", "UserLogin ", "", "Login", "ReqUserLogin",
                                    "UserLogın"])
def test_unknown_method(bridge, method):
    refused(bridge, ValueError, method, {}, "不支持的 CTP 请求")
    _kestro.close(bridge.handle)
    refused(bridge, RuntimeError, method, {}, "CTP 接口已关闭")


@pytest.mark.parametrize("args,exc", [
    (("UserLogin", [], 1), TypeError), (("UserLogin", None, 1), TypeError), ((b"UserLogin", {}, 1), TypeError),
    (("User\x00Login", {}, 1), ValueError), (("UserLogin", {}, 2**31), OverflowError),
    (("UserLogin", {}, 1.0), TypeError), (("UserLogin", {}), TypeError), (("UserLogin", {}, 1, 2), TypeError),
])
def test_argument_errors(bridge, args, exc):
    refused_count = len(bridge.front.requests)
    with pytest.raises(exc):
        _kestro.request(bridge.handle, *args)
    assert len(bridge.front.requests) == refused_count


def test_request_id_goes_only_to_the_call(bridge):
    req = sent(bridge, "OrderInsert", {"BrokerID": "b"}, 2**31 - 1)
    assert req.fields["RequestID"] == 0
    assert sent(bridge, "OrderAction", {}, -2**31).fields["RequestID"] == 0


class Sneaky(dict):
    def __getitem__(self, key):
        return "x" * 100

    def __missing__(self, key):
        return "x" * 100

    def get(self, key, default=None):
        return "x" * 100

    def __contains__(self, key):
        return True


def test_dict_subclass_is_read_with_plain_lookup(bridge):
    req = sent(bridge, "UserLogin", Sneaky(UserID="u1"))
    assert (req.fields["UserID"], req.fields["BrokerID"], req.fields["Password"]) == (b"u1", b"", b"")


def test_closing_during_encoding_sends_nothing(bridge):
    class Closer:
        def __index__(self):
            _kestro.close(bridge.handle)
            return 1

    refused(bridge, RuntimeError, "OrderInsert", {"VolumeTotalOriginal": Closer()}, "CTP 接口已关闭")
    assert bridge.conn.released


def test_value_mutating_the_dict_during_encoding(bridge):
    data = {}

    class Mutator:
        def __float__(self):
            data.clear()
            data.update({f"k{i}": i for i in range(100)})
            return 4.5

    data.update(BrokerID="b", LimitPrice=Mutator(), UserID="u")
    req = sent(bridge, "OrderAction", data)
    assert (req.fields["BrokerID"], req.fields["LimitPrice"], req.fields["UserID"]) == (b"b", 4.5, b"")


def test_handler_closing_the_handle_inside_the_request(bridge):
    bridge.front.handler = lambda request: _kestro.close(bridge.handle) or 5
    assert _kestro.request(bridge.handle, "QryOrder", {}, 1) == 5
    assert bridge.conn.released
    refused(bridge, RuntimeError, "QryOrder", {}, "CTP 接口已关闭")


@pytest.mark.parametrize("method,data", [
    ("OrderInsert", {"InstrumentID": 5}),
    ("OrderInsert", {"VolumeTotalOriginal": 2**31}),
    ("UserLogin", {"Password": "x" * 41}),
    ("QryInstrument", {"InstrumentID": "\ud800"}),
])
def test_closed_handle_is_reported_before_the_payload_is_examined(bridge, method, data):
    _kestro.close(bridge.handle)
    refused(bridge, RuntimeError, method, data, "CTP 接口已关闭")


def test_close_from_another_thread_while_a_request_runs(bridge):
    entered, release, results = threading.Event(), threading.Event(), []

    def handler(request):
        entered.set()
        release.wait(5)
        return 9

    bridge.front.handler = handler
    worker = threading.Thread(target=lambda: results.append(_kestro.request(bridge.handle, "QryTrade", {}, 1)))
    worker.start()
    assert entered.wait(5)
    assert _kestro.close(bridge.handle) is None
    assert not bridge.conn.released          # the running request still uses the API
    refused(bridge, RuntimeError, "QryTrade", {}, "CTP 接口已关闭")
    release.set()
    worker.join()
    assert results == [9]
    assert bridge.conn.released


def test_handle_closed_and_dropped_while_a_request_runs(front, flow):
    b = Bridge(front, flow)
    entered, release, results = threading.Event(), threading.Event(), []

    def handler(request):
        entered.set()
        release.wait(5)
        return 4

    front.handler = handler
    handle, conn = b.handle, b.conn
    worker = threading.Thread(target=lambda h=handle: results.append(_kestro.request(h, "QryOrder", {}, 2)))
    worker.start()
    assert entered.wait(5)
    _kestro.close(handle)
    del b, handle
    gc.collect()
    assert not conn.released             # the running request still holds the handle and uses the API
    release.set()
    worker.join()
    gc.collect()
    assert results == [4]
    assert conn.released


# Property: any payload either raises one of the documented errors with nothing sent, or sends exactly one
# request whose fields follow the encoding rules.

class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"FloatLike({self.v!r})"


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexLike({self.v!r})"


class Opaque:
    def __repr__(self):
        return "Opaque()"


INT = st.one_of(st.integers(-2**31, 2**31 - 1), st.integers(), st.sampled_from([2**31, -2**31 - 1, 2**63, -2**100]))
TEXT = st.one_of(st.text(max_size=12), st.text(max_size=90), st.text(alphabet="中€\x00a\ud800\U0001f600", max_size=50),
                 st.sampled_from(["", "0", "\x00", "x" * 81, "中" * 41]))
VALUES = st.one_of(st.none(), st.booleans(), INT, st.floats(allow_nan=True), TEXT, st.binary(max_size=20),
                   st.builds(Opaque), INT.map(IndexLike), st.floats().map(FloatLike), st.builds(list))
KEYS = st.one_of(st.sampled_from(ALL_KEYS), st.text(max_size=10))


def expect(method, data):
    """(exception type or None, message or None, {key: stored value}) for one request."""
    stored = {}
    for key, kind in REQUESTS[method]:
        if key not in data:
            continue
        value = dict.__getitem__(data, key)
        if kind is int:
            try:
                number = operator.index(value)
            except TypeError:
                return TypeError, None, None
            if not -2**31 <= number < 2**31:
                return OverflowError, None, None
            stored[key] = number
        elif kind is float:
            if isinstance(value, (bool, int, IndexLike)):
                number = operator.index(value)
                try:
                    stored[key] = float(number)
                except OverflowError:
                    return OverflowError, None, None
            elif isinstance(value, (float, FloatLike)):
                stored[key] = float(value)
            else:
                return TypeError, None, None
        else:
            if not isinstance(value, str):
                return TypeError, key + " 必须是字符串", None
            try:
                raw = value.encode("gb18030")
            except UnicodeEncodeError:
                return ValueError, key + " 包含 CTP 不支持的字符", None
            if len(raw) > (1 if kind == CH else kind) or b"\x00" in raw:
                return ValueError, key + " 超出 CTP 字段长度或包含 NUL 字符", None
            stored[key] = raw or (b"\x00" if kind == CH else b"")
    return None, None, stored


@pytest.fixture(scope="module")
def shared_front():
    import ctpsim
    with ctpsim.Front() as f:
        yield f


@pytest.fixture(scope="module")
def shared_bridge(shared_front, tmp_path_factory):
    import os
    b = Bridge(shared_front, os.fsencode(tmp_path_factory.mktemp("flow")) + os.sep.encode())
    yield b
    _kestro.close(b.handle)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(draw=st.data(), method=st.sampled_from(list(REQUESTS)), request_id=st.integers(-2**31, 2**31 - 1),
       sneaky=st.booleans())
def test_any_payload_is_encoded_or_refused(shared_bridge, draw, method, request_id, sneaky):
    own = st.sampled_from([k for k, _ in REQUESTS[method]])
    items = draw.draw(st.dictionaries(st.one_of(own, KEYS), VALUES, max_size=25), label="data")
    data = Sneaky(items) if sneaky else items
    exc, message, stored = expect(method, items)
    front = shared_bridge.front
    before = len(front.requests)
    event("sent" if exc is None else exc.__name__)
    if exc is None:
        assert _kestro.request(shared_bridge.handle, method, data, request_id) == 0
        assert len(front.requests) == before + 1
        req = front.requests[-1]
        assert (req.method, req.request_id) == (method, request_id)
        for key, kind in REQUESTS[method]:
            got = req.fields[key]
            want = stored.get(key)
            if want is None:
                assert zero(got), key
            elif isinstance(want, float) and math.isnan(want):
                assert math.isnan(got)
            else:
                assert got == want, key
        return
    with pytest.raises(exc) as info:
        _kestro.request(shared_bridge.handle, method, data, request_id)
    assert len(front.requests) == before
    if message is not None:
        assert str(info.value) == message


@settings(max_examples=100, deadline=None)
@given(method=st.text(max_size=30), request_id=st.integers())
def test_any_method_name_or_request_id(shared_bridge, method, request_id):
    before = len(shared_bridge.front.requests)
    try:
        result = _kestro.request(shared_bridge.handle, method, {}, request_id)
    except (ValueError, OverflowError):
        assert len(shared_bridge.front.requests) == before
        return
    assert method in REQUESTS and -2**31 <= request_id < 2**31
    assert result == 0 and len(shared_bridge.front.requests) == before + 1
