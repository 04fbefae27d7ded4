"""The session's log: the broker's reasons behind every refusal, the connection's life, the end of a
session, each record naming its account and never a credential."""

from __future__ import annotations

import logging
from types import SimpleNamespace

import pytest

from velkor import trading
from velkor.data import VelkorError

from fakes import front_connected, front_disconnected, make_session, record, row, rsp_error, until
from test_entry_support import confirm, insert, ready_session
from test_login_e2e import DAY, counter, make_session as counter_session, paced  # noqa: F401
from test_sync_support import answer, log_in, send_query

ACCOUNT_PREFIX = "[9999/123456] "
# The `fast` and `paced` run loops sleep through a substitute `asyncio`: one warning per session says so.
TIMED_PAUSES = ("the module-level asyncio is replaced: the run loop sleeps 0.01 s per pause instead of waking on "
                "the adapter's descriptor [timed_pause.asyncio_replaced]")


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger="velkor.trading")
    return caplog


def lines(caplog, level=logging.DEBUG, broker="9999", user="123456"):
    """The messages of the session's records at `level` or above, without the account prefix."""
    prefix = f"[{broker}/{user}] "
    out = []
    for r in caplog.records:
        if r.name.startswith("velkor.trading") and r.levelno >= level:
            message = r.getMessage()
            assert message.startswith(prefix) and (r.broker_id, r.user_id) == (broker, user)
            out.append(message[len(prefix):])
    return out


def _login_answer(s, code, message):
    s._open_native()
    s.event(front_connected())
    answer(s, "RspAuthenticate", {})
    answer(s, "RspUserLogin", None, error_id=code, error_msg=message)


def _query_answer(s, code, message):
    log_in(s)
    query = send_query(s, SimpleNamespace(now=trading.time.monotonic(), advance=lambda seconds: None))
    s.event(record("RspQryInstrument", None, code, message, request_id=query["id"]))


def _stray_error(s, code, message):
    log_in(s)
    s.event(rsp_error(code, message, request_id=999))


def _phase_error(s, code, message):
    s._open_native()
    s.event(front_connected())
    answer(s, "RspAuthenticate", {})
    s.event(rsp_error(code, message, request_id=s.phase_id))


@pytest.mark.parametrize("scenario,code,message,raised,expected", [
    (_login_answer, 3, "CTP:不合法的登录", VelkorError, "login refused by the broker: ErrorID 3, CTP:不合法的登录"),
    (_login_answer, 90, "CTP:查询未就绪", TimeoutError,
     "login answered with ErrorID 90, CTP:查询未就绪: front busy, reconnecting"),
    (_query_answer, 90, "CTP:查询未就绪，请稍后重试", None,
     "instruments query answered with ErrorID 90, CTP:查询未就绪，请稍后重试: flow control, retrying"),
    (_query_answer, 13, "CTP:找不到投资者", VelkorError, "instruments query refused by the broker: ErrorID 13, CTP:找不到投资者"),
    (_stray_error, 6, "CTP:还没有登录", TimeoutError,
     "error answer to request 999, which is no request in flight: ErrorID 6, CTP:还没有登录; reconnecting"),
    (_phase_error, 6, "CTP:还没有登录", VelkorError, "error answer to the login request: ErrorID 6, CTP:还没有登录"),
])
def test_every_error_answer_is_a_warning_with_the_brokers_reason(logs, scenario, code, message, raised, expected):
    s = make_session()
    if raised is None:
        scenario(s, code, message)
    else:
        with pytest.raises(raised):
            scenario(s, code, message)
    assert lines(logs, logging.WARNING) == [expected]
    [warning] = [r for r in logs.records if r.levelno == logging.WARNING]
    assert (warning.error_id, warning.error_msg) == (code, message)


def test_a_refused_order_is_one_warning_with_its_id(logs):
    s = ready_session()
    [r] = insert(s, volume=3)
    rid = s.native_orders[r.order_id]["request_id"]
    refusal = {"OrderRef": s.native_orders[r.order_id]["ref"]}
    s.event(record("RspOrderInsert", refusal, 31, "CTP:资金不足", request_id=rid))
    s.event(record("ErrRtnOrderInsert", refusal, 31, "CTP:资金不足"))
    assert lines(logs, logging.WARNING) == [
        f"order {r.order_id} (SHFE.ag2412 BUY OPEN 3 lots) refused by the broker (RspOrderInsert): "
        "ErrorID 31, CTP:资金不足"]
    [warning] = [x for x in logs.records if x.levelno == logging.WARNING]
    assert warning.name == "velkor.trading.orders" and warning.order_id == r.order_id
    assert s.o[r.order_id]["status_msg"] == "报单被拒绝"  # the user's text stays the fixed one


def test_a_refused_cancel_is_one_warning(logs):
    s = ready_session()
    [r] = insert(s)
    confirm(s, r.order_id)
    s.system_orders[("SHFE", "1001")] = r.order_id
    [c] = s.cancel(r.order_id)
    assert c.status == "SUBMITTED"
    refusal = {"ExchangeID": "SHFE", "OrderSysID": "  1001"}
    for _ in range(2):  # the answer and the error return
        s.event(record("ErrRtnOrderAction", refusal, 26, "CTP:报单已全成交或已撤销，不能再撤"))
    assert lines(logs, logging.WARNING) == [
        f"cancel of order {r.order_id} refused by the broker (ErrRtnOrderAction): "
        "ErrorID 26, CTP:报单已全成交或已撤销，不能再撤"]


@pytest.mark.parametrize("outcome,status,reason", [
    (-1, "REJECTED", "not sent: CTP result -1 (network failure)"),
    (-2, "REJECTED", "not sent: CTP result -2 (flow control: too many unprocessed requests)"),
    (-3, "REJECTED", "not sent: CTP result -3 (flow control: too many requests per second)"),
    (ValueError("OrderRef 超出 CTP 字段长度或包含 NUL 字符"), "REJECTED",
     "not sent: the request cannot carry a value: ValueError('OrderRef 超出 CTP 字段长度或包含 NUL 字符')"),
    (RuntimeError("CTP 接口已关闭"), "UNKNOWN", "may have left: sending failed with RuntimeError('CTP 接口已关闭')"),
])
@pytest.mark.parametrize("method", ["OrderInsert", "OrderAction"])
def test_an_order_or_cancel_that_did_not_leave_says_why(logs, method, outcome, status, reason):
    s = ready_session()
    if method == "OrderAction":
        [r] = insert(s)
        confirm(s, r.order_id)
    s.native.results[method] = outcome
    [answer] = insert(s, volume=2) if method == "OrderInsert" else s.cancel(r.order_id)
    assert answer.status == status
    [warning] = [x for x in logs.records if x.levelno >= logging.WARNING]
    assert warning.name == "velkor.trading.orders"
    text = lines(logs, logging.WARNING)[0]
    if method == "OrderAction":
        assert text.startswith(f"cancel of order {r.order_id} {reason}") and warning.order_id == r.order_id
    elif status == "UNKNOWN":  # the user holds the id of an order that may have left
        assert text.startswith(f"order {answer.order_id} (SHFE.ag2412 BUY OPEN 2 lots) {reason}")
        assert warning.order_id == answer.order_id
    else:
        assert text == f"order (SHFE.ag2412 BUY OPEN 2 lots) {reason}" and not hasattr(warning, "order_id")


@pytest.mark.parametrize("reason,meaning", [
    (0x1001, "network read failed"), (0x1002, "network write failed"), (0x2001, "heartbeat timed out"),
    (0x2002, "heartbeat send failed"), (0x2003, "bad packet received"), (7, "unknown reason"),
])
def test_a_disconnection_names_its_reason(logs, reason, meaning):
    s = ready_session()
    s.event(front_disconnected(reason))
    assert lines(logs, logging.WARNING) == [
        f"front disconnected: reason {reason:#06x} ({meaning}); waiting for it to reconnect"]


@pytest.mark.parametrize("level,expected", [(logging.INFO, 0), (logging.DEBUG, 2)])
def test_order_and_trade_returns_are_logged_only_at_debug(caplog, level, expected):
    caplog.set_level(level, logger="velkor.trading")
    s = ready_session()
    [r] = insert(s)
    ref = s.native_orders[r.order_id]["ref"]
    s.event(record("RtnOrder", row("order", ExchangeID="SHFE", InstrumentID="ag2412", OrderRef=ref, FrontID=3,
                                   SessionID=12345, OrderSysID="  1001", OrderStatus="3", CombHedgeFlag="1",
                                   CombOffsetFlag="0", Direction="0", VolumeTotalOriginal=1, VolumeTotal=1)))
    s.event(record("RtnTrade", row("trade", ExchangeID="SHFE", InstrumentID="ag2412", TradeID="T1", HedgeFlag="1",
                                   OrderSysID="  1001", OrderRef=ref, Direction="0", OffsetFlag="0", Volume=1,
                                   Price=5000.0)))
    returns = [x for x in caplog.records if x.name == "velkor.trading.orders"]
    assert len(returns) == expected
    if expected:
        assert returns[0].getMessage().startswith(ACCOUNT_PREFIX + "order return: SHFE.ag2412 ref ")


def test_a_broken_logging_never_reaches_the_session(monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)

    def broken(name):
        raise RuntimeError("no logging here")

    monkeypatch.setattr(trading, "logging", SimpleNamespace(getLogger=broken))
    s = make_session()
    log_in(s)
    assert s.phase == "sync" and unraisable and isinstance(unraisable[0].exc_value, RuntimeError)


async def test_restarts_and_the_fatal_end_name_their_cause(logs, clock, fast):
    s = make_session(timeout=5.0)
    s.start()
    await until(lambda: len(s.factory.natives) == 2)  # the front never answered: a new adapter
    s.factory.last.poll_error = LookupError("broken adapter")  # an internal fault: fatal, with its traceback
    await until(lambda: s.task.done())
    assert lines(logs, logging.INFO) == [
        "connecting to front tcp://127.0.0.1:1",
        TIMED_PAUSES,
        "no connection to front tcp://127.0.0.1:1 for 5.0 s; connecting again in 1 s",
        "connecting to front tcp://127.0.0.1:1",
        "session ended with status ERROR: LookupError('broken adapter')",
    ]
    assert logs.records[-1].levelno == logging.ERROR and logs.records[-1].exc_info[0] is LookupError
    await s.close()


async def authenticating(s):
    """Starts `s` and lets the front connect: the session waits for the authentication's answer."""
    s.start()
    await until(lambda: s.factory.natives)
    s.factory.last.push(front_connected())
    await until(lambda: s.phase == "authenticate")


async def test_a_restart_for_data_that_cannot_be_followed_is_a_warning(logs, clock, fast):
    s = make_session(timeout=5.0)
    await authenticating(s)
    s.factory.last.poll_error = BufferError("同一个 CTP OrderSysID 关联到不同订单")
    await until(lambda: len(s.factory.natives) == 2)
    assert lines(logs, logging.WARNING)[-1] == (
        "data from the front cannot be followed during authentication: 同一个 CTP OrderSysID 关联到不同订单; "
        "reconnecting in 1 s to synchronise again")
    await s.close()


async def test_a_refusal_that_ends_the_session_has_no_traceback(logs, clock, fast):
    s = make_session(timeout=5.0)
    await authenticating(s)
    s.factory.last.push(record("RspAuthenticate", None, 63, "CTP:客户端认证失败", request_id=s.phase_id))
    await until(lambda: s.task.done())
    assert lines(logs, logging.WARNING) == [
        TIMED_PAUSES,
        "authentication refused by the broker: ErrorID 63, CTP:客户端认证失败",
        "session ended with status ERROR: VelkorError('CTP 认证失败（错误码：63）：CTP:客户端认证失败')",
    ]
    assert logs.records[-1].exc_info is None
    await s.close()


async def test_what_a_login_a_refused_order_and_a_lost_connection_log(logs, front, counter, paced):  # noqa: F811
    account = counter.accounts[0]
    s = counter_session(front, account)
    s.start()
    await until(lambda: s.session_status == "READY")
    s.commit({})
    [r] = await s.insert("SHFE.cu2412", "BUY", "OPEN", 300, 76000.0)
    await until(lambda: s.o[r.order_id]["status"] == "REJECTED")
    counter.drop_sessions()
    await until(lambda: s.session_status != "READY")
    await until(lambda: s.session_status == "READY")
    await s.close()
    login = [
        f"front {front.address} connected; authenticating",
        "authenticated; logging in",
        f"logged in: trading day {DAY}, front id 1, session id {{}}, last order reference 0; confirming the settlement",
        "settlement confirmed; synchronising the account",
        f"READY: trading day {DAY}, 19 tradable instruments, 0 orders and 0 trades today, positions in 0 symbols, "
        "balance 1000000.0, available 1000000.0",
    ]
    assert lines(logs, logging.INFO, account.broker_id, account.user_id) == [
        f"connecting to front {front.address}",
        TIMED_PAUSES,  # once, whatever the reconnections
        *[line.replace("{}", "711655425") for line in login],
        f"order {r.order_id} (SHFE.cu2412 BUY OPEN 300 lots) refused by the broker (RspOrderInsert): "
        "ErrorID 31, CTP:资金不足",
        "front disconnected: reason 0x1001 (network read failed); waiting for it to reconnect",
        *[line.replace("{}", "711655426") for line in login],
        "session closed",
    ]
    for record in logs.records:  # credentials never reach the log
        text = record.getMessage() + repr(vars(record))
        assert account.password not in text and account.auth_code not in text
