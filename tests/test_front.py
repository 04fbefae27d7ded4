"""The stand-in trader API and the simulated front: connection, callbacks, requests, release, threads."""

import gc
import os
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("ctpsim._front", reason="simulated front not built")

from ctpsim import Connection, Front, Request, _front  # noqa: E402
from ctpsim.front import decode, encode  # noqa: E402
from fakes import polled  # noqa: E402

ORDER = "CThostFtdcOrderField"
QRY = encode("CThostFtdcQryTradeField", {})


@pytest.fixture
def client(front, flow):
    c = _front.Client(flow, front.address)
    yield c
    c.release()


def names(events):
    return [e[0] for e in events]


def test_version_is_fixed_ascii():
    assert _front.version() == _front.version()
    assert _front.version().isascii() and "stand-in" in _front.version()


def test_flow_file_is_created_in_the_directory(flow, front):
    c = _front.Client(flow, front.address)
    try:
        assert os.path.isfile(os.fsdecode(flow) + "trader.flow")
        assert front.wait_connection().flow_path == flow
    finally:
        c.release()


@pytest.mark.parametrize("suffix", [b"missing/", b"file/"])
def test_create_returns_null_without_a_writable_directory(flow, suffix):
    open(os.fsdecode(flow) + "file", "w").close()
    with pytest.raises(RuntimeError, match="null"):
        _front.Client(flow + suffix, "tcp://127.0.0.1:1")


def test_connects_and_sends_in_order(front, client):
    conn = front.wait_connection()
    assert isinstance(conn, Connection) and conn.connected and not conn.released
    assert front.connections == [conn] and front.connections[0] is conn
    order = encode(ORDER, {"OrderRef": "1"})
    front.send(conn, "OnRtnOrder", {"OrderRef": "1"})
    front.send(conn, "OnRspQryInvestorPosition", None, None, 7, True)
    front.send(conn, "OnRspError", None, (42, "错误"), 8, False)
    front.send(conn, "OnFrontDisconnected", reason=5)   # delivered, but the connection stays up
    front.send(conn, "OnErrRtnOrderInsert", {"OrderRef": "2"}, (3, b"x" * 81))
    front.flush()
    got = client.events()
    assert names(got) == ["OnFrontConnected", "OnRtnOrder", "OnRspQryInvestorPosition", "OnRspError",
                          "OnFrontDisconnected", "OnErrRtnOrderInsert"]
    assert got[1] == ("OnRtnOrder", order, None, 0, True, 0)
    assert got[2][1:5] == (None, None, 7, True)
    info = decode("CThostFtdcRspInfoField", got[3][2])
    assert (info["ErrorID"], info["ErrorMsg"], got[3][3:5]) == (42, "错误".encode("gb18030"), (8, False))
    assert got[4][5] == 5 and conn.connected
    assert decode("CThostFtdcRspInfoField", got[5][2])["ErrorMsg"] == b"x" * 81


def test_burst_keeps_order_with_other_callbacks(front, client):
    conn = front.wait_connection()
    front.send(conn, "OnRtnOrder", {"OrderRef": "a"})
    front.burst(conn, "OnRtnTrade", {"TradeID": "t"}, 1000)
    front.send(conn, "OnRtnOrder", {"OrderRef": "b"})
    front.burst(conn, "OnRtnTrade", {"TradeID": "t"}, 0)
    front.flush()
    got = client.events()[1:]
    assert len(got) == 1002
    assert [decode(ORDER, got[i][1])["OrderRef"] for i in (0, -1)] == [b"a", b"b"]
    assert set(names(got[1:-1])) == {"OnRtnTrade"}


@pytest.mark.parametrize("call, error", [
    (lambda f, c: f.send(c, "OnRtnOrderX", {}), ValueError),
    (lambda f, c: f.send(c, "OnRtnOrder", {"NoSuchField": 1}), KeyError),
    (lambda f, c: f.send(c, "OnRtnOrder", {"OrderRef": "x" * 14}), ValueError),
    (lambda f, c: f.send(c, "OnRtnOrder", {"OrderRef": "1"}, (1, "e")), ValueError),
    (lambda f, c: f.send(c, "OnRspError", {"ErrorID": 1}), ValueError),
    (lambda f, c: f.send(c, "OnRspError", None, (1, "e" * 82)), ValueError),
    (lambda f, c: f.send(c, "OnRspError", None, "e"), TypeError),
    (lambda f, c: f.send(None, "OnRtnOrder", {}), TypeError),
    (lambda f, c: f.burst(c, "OnRtnOrder", {}, -1), ValueError),
])
def test_bad_send_raises_before_queueing(front, client, call, error):
    conn = front.wait_connection()
    with pytest.raises(error):
        call(front, conn)
    front.flush()
    assert names(client.events()) == ["OnFrontConnected"]


def test_unknown_address_never_connects_until_a_front_registers_it(flow):
    address = "tcp://127.0.0.1:1"
    c = _front.Client(flow, address)
    try:
        time.sleep(0.3)
        assert c.events() == []
        with Front(address) as f:
            assert names(polled(c.events, 1)) == ["OnFrontConnected"]
            assert f.connections[0].flow_path == flow
    finally:
        c.release()


def test_not_accepting_front_is_retried(front, flow):
    front.accepting = False
    c = _front.Client(flow, front.address)
    try:
        with pytest.raises(TimeoutError):
            front.wait_connection(0.2)
        assert c.events() == [] and front.connections == []
        front.accepting = True
        conn = front.wait_connection()
        assert conn.connected and names(polled(c.events, 1)) == ["OnFrontConnected"]
    finally:
        c.release()


def test_disconnect_then_reconnect_keeps_the_connection_object(front, client):
    conn = front.wait_connection()
    front.accepting = False
    front.disconnect(conn, 0x2003)
    assert not conn.connected and front.connections == []
    front.flush()
    assert client.events()[1:] == [("OnFrontDisconnected", None, None, 0, False, 0x2003)]
    assert client.request("QryOrder", encode("CThostFtdcQryOrderField", {}), 1) == -1
    front.accepting = True
    assert front.wait_connection() is conn and conn.connected
    assert names(polled(client.events, 1)) == ["OnFrontConnected"]


def test_close_disconnects_unregisters_and_the_api_moves_to_a_new_front(flow):
    f = Front()
    f.retry_interval = 0.02
    address = f.address
    c = _front.Client(flow, address)
    try:
        conn = f.wait_connection()
        with pytest.raises(ValueError):
            Front(address)
        f.close()
        f.close()
        assert f.closed and not conn.connected
        with Front(address) as g:
            assert g.wait_connection() is conn
            assert [e[::5] for e in polled(c.events, 3)] == [
                ("OnFrontConnected", 0), ("OnFrontDisconnected", 0x1001), ("OnFrontConnected", 0)]
    finally:
        c.release()


@pytest.mark.parametrize("address", ["", 5])
def test_front_address_must_be_a_nonempty_str(address):
    with pytest.raises((ValueError, TypeError)):
        Front(address)


@pytest.mark.parametrize("result, returned", [(None, 0), (0, 0), (-2, -2), (-3, -3), (17, 17)])
def test_handler_result_is_the_request_result_and_every_request_is_recorded(front, client, result, returned):
    conn = front.wait_connection()
    seen = []
    front.handler = lambda r: seen.append(threading.get_ident()) or result
    record = encode("CThostFtdcInputOrderField", {"OrderRef": "12", "LimitPrice": 1.5, "RequestID": 9})
    assert client.request("OrderInsert", record, 33) == returned
    (req,) = front.requests
    assert isinstance(req, Request) and req.connection is conn
    assert (req.method, req.request_id, req.record) == ("OrderInsert", 33, record)
    assert req.fields["OrderRef"] == b"12" and req.fields["LimitPrice"] == 1.5 and req.fields["RequestID"] == 9
    assert req.fields["Direction"] == b"\x00" and len(req.fields) == len(_front.RECORDS[
        "CThostFtdcInputOrderField"][1])
    assert seen == [threading.get_ident()]   # synchronously, on the requesting thread


def test_without_handler_every_request_returns_zero(front, client):
    front.wait_connection()
    for method, record in _front.REQUESTS.items():
        assert client.request(method, encode(record, {}), 4) == 0
    assert [r.method for r in front.requests] == list(_front.REQUESTS)


def test_request_before_connecting_returns_minus_one_and_never_reaches_a_front(flow):
    with Front() as f:
        f.accepting = False
        c = _front.Client(flow, f.address)
        try:
            f.handler = lambda r: pytest.fail("reached the front")
            assert c.request("UserLogin", encode("CThostFtdcReqUserLoginField", {}), 1) == -1
            assert f.requests == []
        finally:
            c.release()


@pytest.mark.parametrize("handler", [lambda r: 1 / 0, lambda r: "zero", lambda r: 2**40])
def test_failing_handler_is_reported_and_refuses_the_request(front, client, monkeypatch, handler):
    front.wait_connection()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    front.handler = handler
    assert client.request("QryTrade", encode("CThostFtdcQryTradeField", {}), 1) == -1
    assert len(reports) == 1 and len(front.requests) == 1
    reports.clear()   # the report's traceback holds the front


def test_handler_answers_through_send_and_may_flush(front, client):
    conn = front.wait_connection()

    def handler(req):
        front.send(req.connection, "OnRspUserLogin", {"FrontID": 3, "SessionID": 9}, (0, ""), req.request_id)
        front.flush()
        return 0

    front.handler = handler
    assert client.request("UserLogin", encode("CThostFtdcReqUserLoginField", {"UserID": "u"}), 5) == 0
    got = client.events()
    assert names(got) == ["OnFrontConnected", "OnRspUserLogin"] and got[1][3:5] == (5, True)
    assert decode("CThostFtdcRspUserLoginField", got[1][1])["SessionID"] == 9
    assert conn.connected


def test_spi_unregistered_receives_nothing(front, client):
    conn = front.wait_connection()
    front.flush()
    client.register_spi(False)
    front.burst(conn, "OnRtnTrade", {}, 10)
    front.flush()
    client.register_spi(True)
    front.send(conn, "OnRtnOrder", {})
    front.flush()
    assert names(client.events()) == ["OnFrontConnected", "OnRtnOrder"]


def test_release_while_callbacks_are_running(front, flow):
    c = _front.Client(flow, front.address, linger=0.01)
    conn = front.wait_connection()
    front.burst(conn, "OnRtnTrade", {"Volume": 1}, 200)
    polled(c.events, 5)
    c.release()
    assert c.running_callbacks == 0
    assert conn.released and not conn.connected and front.connections == []
    time.sleep(0.05)
    assert c.late_callbacks == 0 and len(c.events()) < 200
    front.send(conn, "OnRtnOrder", {})   # a released API drops what is sent to it
    front.flush(1.0)


def test_flush_times_out_while_an_spi_is_slow(front, flow):
    c = _front.Client(flow, front.address, linger=0.2)
    try:
        conn = front.wait_connection()
        front.burst(conn, "OnRtnTrade", {}, 3)
        with pytest.raises(TimeoutError):
            front.flush(0.05)
    finally:
        c.release()
    front.flush(0.05)


def test_handler_must_be_callable(front):
    with pytest.raises(TypeError):
        front.handler = 5
    assert front.handler is None


def test_wait_connection_times_out(front):
    with pytest.raises(TimeoutError):
        front.wait_connection(0.05)
    with pytest.raises(ValueError):
        front.wait_connection(-1)


@pytest.mark.parametrize("value", [-1.0, float("nan")])
def test_retry_interval_must_be_a_nonnegative_number(front, value):
    before = front.retry_interval
    with pytest.raises(ValueError):
        front.retry_interval = value
    assert front.retry_interval == before


def test_many_apis_request_concurrently_while_the_front_drops_them(front, flow, tmp_path):
    # Requests, sends, disconnects and reconnects race on several threads; nothing deadlocks or is lost.
    clients = [_front.Client(flow, front.address) for _ in range(4)]
    front.handler = lambda r: front.send(r.connection, "OnRspQryOrder", None, None, r.request_id) or 0
    stop = time.monotonic() + 1.0
    results = []

    def work(c):
        n = ok = 0
        record = encode("CThostFtdcQryOrderField", {})
        while time.monotonic() < stop:
            n += 1
            ok += c.request("QryOrder", record, n) == 0
        results.append(ok)

    threads = [threading.Thread(target=work, args=(c,)) for c in clients]
    for t in threads:
        t.start()
    while time.monotonic() < stop:
        front.disconnect()
        time.sleep(0.01)
    for t in threads:
        t.join()
    front.flush()
    assert sum(results) == len(front.requests) > 0
    answered = sum(names(c.events()).count("OnRspQryOrder") for c in clients)
    assert answered == len(front.requests)
    for c in clients:
        c.release()
    assert all(conn.released for conn in {r.connection for r in front.requests})


def test_a_front_nobody_refers_to_is_closed(flow):
    f = Front()
    f.retry_interval = 0.02
    f.handler = lambda r: f.requests and 0   # a reference cycle through the handler
    address = f.address
    c = _front.Client(flow, address)
    try:
        conn = f.wait_connection()
        del f
        gc.collect()
        assert not conn.connected
        assert names(polled(c.events, 2)) == ["OnFrontConnected", "OnFrontDisconnected"]
        with Front(address) as g:
            assert g.wait_connection() is conn
    finally:
        c.release()


def test_process_exits_cleanly_with_apis_still_running(flow):
    code = f"""
import ctypes
from ctpsim import Front, _front
front = Front()
front.retry_interval = 0.001
clients = [_front.Client({flow!r}, address) for address in (front.address, "tcp://127.0.0.1:1")]
for client in clients:   # never released: their threads run on through the interpreter's exit
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(client))
front.burst(front.wait_connection(), "OnRtnTrade", {{}}, 100000)
print("done")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout) == (0, "done\n"), out.stderr
    assert "Traceback" not in out.stderr and "terminate" not in out.stderr


def test_release_from_inside_a_callback(front, flow):
    c = _front.Client(flow, front.address, release_in="OnRtnOrder")
    conn = front.wait_connection()
    front.send(conn, "OnRtnTrade", {})
    front.send(conn, "OnRtnOrder", {})
    front.send(conn, "OnRtnTrade", {})
    front.flush()
    assert c.released and conn.released and front.connections == []
    assert names(c.events()) == ["OnFrontConnected", "OnRtnTrade", "OnRtnOrder"]
    assert c.late_callbacks == 0
    c.release()


def test_trading_day_is_a_date(client):
    day = client.trading_day()
    assert len(day) == 8 and day.isdigit() and day.startswith("20")


def test_unregistering_the_spi_waits_for_the_running_callback(front, flow):
    c = _front.Client(flow, front.address, linger=0.2)
    try:
        conn = front.wait_connection()
        front.flush()
        front.burst(conn, "OnRtnTrade", {}, 5)
        deadline = time.monotonic() + 5
        while c.running_callbacks == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        c.register_spi(False)
        assert c.running_callbacks == 0
        front.flush()
        assert names(c.events()) == ["OnFrontConnected", "OnRtnTrade"]
    finally:
        c.release()


@pytest.mark.parametrize("call, error", [
    (lambda f, c: f.send(c, "OnRtnOrder", {"LimitPrice": 10**400}), ValueError),
    (lambda f, c: f.send(c, "OnRspError", None, (1, "e"), 2**31), ValueError),
    (lambda f, c: f.send(c, "OnRspError", None, (1, "e"), -(2**31) - 1), ValueError),
    (lambda f, c: f.send(c, "OnRspError", None, (1, "e"), 1.0), TypeError),
    (lambda f, c: f.send(c, "OnRspError", None, (1, "e"), None), TypeError),
    (lambda f, c: f.send(c, "OnFrontDisconnected", reason=2**31), ValueError),
    (lambda f, c: f.send(c, "OnFrontDisconnected", reason="1"), TypeError),
    (lambda f, c: f.burst(c, "OnRtnOrder", {}, 2**64), ValueError),
    (lambda f, c: f.burst(c, "OnRspError", None, 1, (1, "e"), 2**40), ValueError),
    (lambda f, c: f.disconnect(c, 2**31), ValueError),
    (lambda f, c: f.disconnect(c, 1.5), TypeError),
])
def test_values_that_do_not_fit_raise_before_queueing(front, client, call, error):
    conn = front.wait_connection()
    with pytest.raises(error) as caught:
        call(front, conn)
    assert "incompatible function arguments" not in str(caught.value)
    front.flush()
    assert names(client.events()) == ["OnFrontConnected"] and conn.connected


@pytest.mark.parametrize("request_id, reason", [(2**31 - 1, -(2**31)), (-(2**31), 2**31 - 1)])
def test_request_id_and_reason_take_the_whole_int_range(front, client, request_id, reason):
    conn = front.wait_connection()
    front.send(conn, "OnRspError", None, (1, "e"), request_id, False)
    front.send(conn, "OnFrontDisconnected", reason=reason)
    front.flush()
    got = client.events()[1:]
    assert [(e[3], e[5]) for e in got] == [(request_id, 0), (0, reason)]


@pytest.mark.parametrize("result, error, words", [
    (1.0, TypeError, "float"),
    ("0", TypeError, "str"),
    (2**40, ValueError, "1099511627776"),
    (-(2**31) - 1, ValueError, "-2147483649"),
])
def test_handler_result_that_is_no_c_int_is_reported_plainly(front, client, monkeypatch, result, error, words):
    front.wait_connection()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((type(u.exc_value), str(u.exc_value))))
    front.handler = lambda r: result
    assert client.request("QryTrade", QRY, 1) == -1
    ((kind, message),) = reports
    assert kind is error and words in message and "handler" in message and "bad_cast" not in message
    assert len(front.requests) == 1


@pytest.mark.parametrize("result", [2**31 - 1, -(2**31), True])
def test_handler_result_at_the_int_limits_is_returned(front, client, result):
    front.wait_connection()
    front.handler = lambda r: result
    assert client.request("QryTrade", QRY, 1) == int(result)


def test_handler_closing_its_front_returns_its_result(front, client):
    conn = front.wait_connection()

    def handler(req):
        front.close()
        return -2

    front.handler = handler
    assert client.request("QryTrade", QRY, 3) == -2
    front.flush()
    assert front.closed and not conn.connected and front.connections == []
    assert names(client.events()) == ["OnFrontConnected", "OnFrontDisconnected"]
    assert client.request("QryTrade", QRY, 4) == -1 and len(front.requests) == 1


def test_handler_disconnecting_and_flushing_sees_the_disconnect_delivered(front, client):
    conn = front.wait_connection()
    front.accepting = False
    seen = []

    def handler(req):
        front.send(req.connection, "OnRspQryTrade", None, (0, ""), req.request_id)
        front.disconnect(req.connection, 0x2001)
        front.flush()
        seen.append(names(client.events()))
        return 0

    front.handler = handler
    assert client.request("QryTrade", QRY, 5) == 0
    assert seen == [["OnFrontConnected", "OnRspQryTrade", "OnFrontDisconnected"]]
    assert not conn.connected and client.request("QryTrade", QRY, 6) == -1


def test_front_closed_and_reopened_while_apis_retry(flow):
    # Several APIs retry a refusing front as fast as they may while it closes; they all move to its successor.
    f = Front()
    f.retry_interval = 0
    f.accepting = False
    address = f.address
    clients = [_front.Client(flow, address) for _ in range(3)]
    try:
        time.sleep(0.05)
        f.close()
        with Front(address) as g:
            g.retry_interval = 0.01
            deadline = time.monotonic() + 5
            while len(g.connections) < 3 and time.monotonic() < deadline:
                time.sleep(0.005)
            assert len(g.connections) == 3 and f.connections == []
            g.flush()
            assert [names(c.events()) for c in clients] == [["OnFrontConnected"]] * 3
    finally:
        for c in clients:
            c.release()


def test_release_racing_sends_and_disconnects(front, flow):
    # An API released while another thread sends to it and drops it: no crash, nothing delivered after release.
    stop = threading.Event()
    conns = []

    def churn():
        while not stop.is_set():
            for conn in list(conns):
                front.send(conn, "OnRtnTrade", {"Volume": 1})
                front.disconnect(conn)

    worker = threading.Thread(target=churn)
    worker.start()
    try:
        for _ in range(20):
            c = _front.Client(flow, front.address)
            conns.append(front.wait_connection())
            time.sleep(0.002)
            c.release()
            assert c.late_callbacks == 0 and conns[-1].released and not conns[-1].connected
            conns.clear()
    finally:
        stop.set()
        worker.join()
    front.flush()


def test_a_new_front_accepts_with_default_retry_and_a_fresh_address():
    with Front() as f, Front() as g:
        assert (f.accepting, f.retry_interval, f.handler, f.requests, f.connections) == (True, 0.2, None, [], [])
        for front in (f, g):
            host, port = front.address.rsplit(":", 1)
            assert host == "tcp://127.0.0.1" and port.isdigit() and 0 < int(port) < 65536
        assert f.address != g.address and not f.closed


def test_a_dropped_api_waits_retry_interval_before_reconnecting(front, client):
    conn = front.wait_connection()
    front.retry_interval = 0.5
    dropped = time.monotonic()
    front.disconnect(conn)
    time.sleep(0.25)
    assert not conn.connected and front.connections == []
    assert front.wait_connection() is conn and time.monotonic() - dropped >= 0.5
    front.flush()
    assert names(client.events()) == ["OnFrontConnected", "OnFrontDisconnected", "OnFrontConnected"]


def test_leaving_the_with_block_by_an_exception_closes_the_front():
    with pytest.raises(LookupError):
        with Front() as f:
            raise LookupError
    assert f.closed
    with Front(f.address) as g:   # the address is free again
        assert g.address == f.address


def test_closing_wakes_a_waiting_wait_connection():
    f = Front()
    outcome = []

    def wait():
        try:
            f.wait_connection(30)
        except TimeoutError:
            outcome.append(True)

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.05)
    f.close()
    waiter.join(10)   # well before the 30 s it would wait on an open front
    assert not waiter.is_alive() and outcome == [True]


def test_process_exits_cleanly_while_daemon_threads_wait_in_the_front(flow):
    # Daemon threads come back from flush, wait_connection and requests while the interpreter shuts down.
    code = f"""
import threading, time
from ctpsim import Front, _front
from ctpsim.front import encode
front = Front()
front.handler = lambda r: 0
client = _front.Client({flow!r}, front.address)
front.wait_connection()
record = encode("CThostFtdcQryTradeField", {{}})
loops = [lambda: front.flush(), lambda: front.wait_connection(0), lambda: client.request("QryTrade", record, 1)]
for loop in loops * 2:
    threading.Thread(target=lambda loop=loop: [loop() for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.05)
print("done")
"""
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert (out.returncode, out.stdout) == (0, "done\n"), out.stderr
        assert "terminate" not in out.stderr and "FATAL" not in out.stderr


@pytest.mark.parametrize("result, error", [(1.5, TypeError), (2**31, ValueError), (None, TypeError)])
def test_native_hook_result_that_is_no_c_int_is_reported_plainly(front, client, monkeypatch, result, error):
    # The native hook under Front checks the result itself, for any callable installed there.
    front.wait_connection()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((type(u.exc_value), str(u.exc_value))))
    front._core.set_hook(lambda conn, method, request_id, record: result)
    assert client.request("QryTrade", QRY, 1) == -1
    ((kind, message),) = reports
    assert kind is error and "hook" in message and "bad_cast" not in message
