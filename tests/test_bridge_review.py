"""The native bridge: handle identity, front address, fields no request reads, and the closed check."""

import ctypes

import pytest

from velkor import _kestro

from test_bridge import Bridge, flow_dir, front  # noqa: F401  (fixtures)
from test_bridge_requests import REQUESTS, refused, sent, zero

import ctpsim  # noqa: E402  (test_bridge skips the module without the simulated front)


@pytest.fixture
def bridge(front, flow_dir):  # noqa: F811
    b = Bridge(front, flow_dir)
    yield b
    _kestro.close(b.handle)


def capsule_is(handle, name):
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype = ctypes.c_int
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return is_valid(handle, name) == 1


def test_handle_is_a_capsule_named_velkor_ctp(bridge):
    assert capsule_is(bridge.handle, b"velkor.ctp")
    assert not capsule_is(bridge.handle, b"velkor._kestro")


@pytest.mark.parametrize("address", ["tcp://前置.期货:41205", "tcp://127.0.0.1:41206/路径?é=ü"])
def test_front_address_reaches_the_api_unchanged(flow_dir, address):  # noqa: F811
    with ctpsim.Front(address) as f:
        handle = _kestro.create(address, flow_dir)
        try:
            conn = f.wait_connection(5)
            f.flush()
            assert conn.connected
            assert _kestro.poll(handle) == [{"name": "FrontConnected"}]
        finally:
            _kestro.close(handle)


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


@pytest.mark.parametrize("method,data", [
    ("OrderInsert", {"InstrumentID": 5}),
    ("OrderInsert", {"VolumeTotalOriginal": 2**31}),
    ("UserLogin", {"Password": "x" * 41}),
    ("QryInstrument", {"InstrumentID": "\ud800"}),
])
def test_closed_handle_is_reported_before_the_payload_is_examined(bridge, method, data):
    _kestro.close(bridge.handle)
    refused(bridge, RuntimeError, method, data, "CTP 接口已关闭")


def test_handle_closed_and_dropped_while_a_request_runs(front, flow_dir):  # noqa: F811
    import gc
    import threading

    b = Bridge(front, flow_dir)
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
