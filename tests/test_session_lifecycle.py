"""Trading: construction, private-state reset, change notification, start and close."""

import asyncio
import math
import os

import pytest

from velkor import trading
from velkor.errors import Recovery
from velkor.ledgerlet import Account, LiveMap, Order, Position, TradingResult, empty_position

from fakes import ACCOUNT, FakeFactory, make_session
from test_entry_support import confirm, insert, ready_session

ATTRIBUTES = [
    "config", "timeout", "objects", "factory", "account", "session_status", "published_status", "positions",
    "orders", "trades", "trade_views", "a", "p", "o", "t", "native_orders", "instruments", "ref_orders",
    "system_orders", "pending_trades", "live_trade_buffer", "trade_before", "position_candidate", "position_ready",
    "pending", "inflight", "sync_index", "last_query", "last_account_refresh", "request_id", "order_ref",
    "order_revisions", "revision", "front", "session", "day", "phase", "phase_id", "phase_time", "phase_data",
    "task", "native", "error", "dirty", "changed", "directory", "reset_pending", "recovery", "query_recovery",
    "published_position_time",
]


def test_class_shape():
    assert trading.Trading.__doc__ == "Private protocol state is committed to user objects only by wait_update."
    methods = [n for n in vars(trading.Trading) if n == "__init__" or not n.startswith("__")]
    assert methods == [
        "__init__", "position_view", "start", "_open_native", "_close_native", "_clear_cache", "_touch", "_status",
        "_request", "_phase_request", "_schedule_account", "run", "event", "_query_error", "tick", "_deadline",
        "_complete", "_complete_account", "_positions", "_by_ref", "_is_spec_order", "_is_spec_trade", "_child",
        "_order", "_trade_key", "_trade", "_apply_position_trade", "_free_parts", "_recompute_frozen", "_aggregate",
        "insert", "_insert", "cancel", "_update_view", "_map_view", "commit", "close", "diagnostics", "_journal_clock",
        "limits", "limit_counts"]


def test_constructor_attributes_in_order(clock):
    objects = {}
    factory = FakeFactory()
    s = trading.Trading(ACCOUNT, 7.5, objects, native_factory=factory)
    assert list(vars(s)) == ATTRIBUTES
    assert (s.config, s.timeout, s.objects, s.factory) == (ACCOUNT, 7.5, objects, factory)
    assert type(s.account) is Account and s.account.account_id == "123456"
    assert s.session_status == s.published_status == "SYNCING"
    assert type(s.positions) is LiveMap and s.positions.item_type is Position
    assert type(s.orders) is LiveMap and s.orders.item_type is Order
    assert s.trades == [] and s.trade_views == {}
    assert s.a == s.account._values and s.a is not s.account._values and type(s.a) is dict
    for name in ("p", "o", "t", "native_orders", "instruments", "ref_orders", "system_orders", "pending_trades",
                 "live_trade_buffer", "order_revisions", "phase_data"):
        assert type(getattr(s, name)) is dict and not getattr(s, name), name
    assert type(s.trade_before) is set and type(s.pending) is set and not s.trade_before and not s.pending
    for name in ("position_candidate", "inflight", "phase_id", "task", "native", "error", "directory",
                 "published_position_time"):
        assert getattr(s, name) is None, name
    for name in ("position_ready", "dirty", "reset_pending"):
        assert getattr(s, name) is False, name
    for name in ("sync_index", "request_id", "order_ref", "revision", "front", "session"):
        assert type(getattr(s, name)) is int and getattr(s, name) == 0, name
    assert s.last_query == -math.inf
    assert type(s.last_account_refresh) is float and s.last_account_refresh == 0.0
    assert s.day == "" and s.phase == "connecting"
    assert s.phase_time == clock.now
    assert type(s.changed) is asyncio.Event and not s.changed.is_set()
    assert type(s.recovery) is Recovery and s.recovery.label == "交易连接" and s.recovery.attempts is None
    q = s.query_recovery
    assert (q.label, q.attempts, q.window) == ("账户查询", 3, 120)


def test_constructor_registers_exactly_the_four_containers():
    objects = {"other": 1}
    s = make_session(objects=objects)
    assert list(objects.items()) == [("other", 1), (id(s.account), s.account), (id(s.positions), s.positions),
                                     (id(s.orders), s.orders), (id(s.trades), s.trades)]


def test_constructor_signature():
    assert trading.Trading(ACCOUNT, 5, {}).factory is trading.Native
    with pytest.raises(TypeError):
        trading.Trading(ACCOUNT, 5, {}, FakeFactory())  # native_factory is keyword-only
    with pytest.raises(TypeError):
        trading.Trading(ACCOUNT, 5)
    s = trading.Trading(config=ACCOUNT, timeout=5, objects={}, native_factory=FakeFactory())
    assert s.timeout == 5


def test_constructor_fails_when_objects_refuses_items():
    with pytest.raises(TypeError):
        trading.Trading(ACCOUNT, 5, (), native_factory=FakeFactory())


@pytest.mark.parametrize("config", [None, False, ""])
def test_session_without_configuration_is_error_from_the_start(config):
    s = make_session(config=config)
    assert s.session_status == s.published_status == "ERROR"
    assert s.account.account_id is None and s.a["account_id"] is None


async def test_session_with_none_config_never_starts():
    s = make_session(config=None)
    s.start()
    assert s.task is None
    await s.close()
    assert s.factory.calls == []


def test_touch_and_status(session):
    session._touch()
    assert session.dirty is True and session.changed.is_set()
    session.dirty = False
    session.changed.clear()
    assert session._status("READY") is None
    assert session.session_status == "READY" and session.dirty is True and session.changed.is_set()


@pytest.mark.parametrize("status", ["SYNCING", "DISCONNECTED", "ERROR"])
def test_clear_cache_resets_exactly_the_private_state(session, status):
    s = session
    s.positions._data["SHFE.ag2412"] = Position(symbol="SHFE.ag2412")
    s.positions._data["DCE.m2501"] = Position(symbol="DCE.m2501")
    kept_containers = {name: getattr(s, name) for name in (
        "o", "t", "native_orders", "instruments", "ref_orders", "system_orders", "pending_trades",
        "live_trade_buffer", "order_revisions", "trade_before", "pending", "phase_data")}
    for name, container in kept_containers.items():
        if isinstance(container, set):
            container.add("x")
        else:
            container["x"] = 1
    old_p = s.p
    s.p["OLD.x"] = {}
    s.a["balance"] = 99.0
    old_a = s.a
    values = dict(request_id=17, order_ref=40, day="20240102", last_query=123.0, phase="ready", phase_time=55.0,
                  position_candidate={"x": 1}, position_ready=True, inflight={"id": 1}, sync_index=4,
                  last_account_refresh=9.0, revision=8, front=3, session=99, phase_id=12,
                  published_position_time=1700, reset_pending=False, error="kept", directory="/d", task="t")
    for k, v in values.items():
        setattr(s, k, v)

    assert s._clear_cache(status) is None

    assert s.session_status == status
    for name, container in kept_containers.items():
        assert getattr(s, name) is container and not container, name  # emptied in place
    assert s.p is not old_p and list(s.p) == ["SHFE.ag2412", "DCE.m2501"]
    assert s.p["SHFE.ag2412"] == empty_position("SHFE.ag2412")
    assert s.a is not old_a and s.a == Account(account_id="123456")._values
    for k in ("request_id", "order_ref", "day", "last_query", "phase", "phase_time", "error", "directory", "task"):
        assert getattr(s, k) == values[k], k
    assert s.position_candidate is None and s.position_ready is False and s.inflight is None
    assert s.sync_index == 0 and s.revision == 0 and s.front == 0 and s.session == 0
    assert s.last_account_refresh == 0.0 and type(s.last_account_refresh) is float
    assert s.phase_id is None and s.published_position_time is None and s.reset_pending is True
    assert s.dirty is True and s.changed.is_set()
    assert len(s.positions) == 2  # user objects untouched


def test_open_native_creates_one_directory_and_reuses_it(session, tmp_path):
    session._open_native()
    first = session.native
    directory = session.directory
    assert os.path.isdir(directory) and os.path.basename(directory).startswith("velkor-ctp-")
    assert session.factory.calls == [(ACCOUNT, directory)]
    session._close_native()
    assert first.closes == 1 and session.native is None
    session._close_native()  # nothing left to close
    assert first.closes == 1
    session._open_native()
    assert session.directory == directory and session.native is not first
    assert session.factory.calls[-1] == (ACCOUNT, directory)
    assert os.path.isdir(directory)


def test_open_native_propagates_factory_errors(session):
    session.factory.error = ConnectionError("refused")
    with pytest.raises(ConnectionError):
        session._open_native()
    assert session.native is None and session.directory is not None


def test_close_native_error_keeps_the_adapter(session):
    session._open_native()
    native = session.native

    def broken():
        raise OSError("close failed")

    native.close = broken
    with pytest.raises(OSError):
        session._close_native()
    assert session.native is native


def test_start_outside_a_loop_raises_and_leaves_no_task(session):
    with pytest.raises(RuntimeError):
        session.start()
    assert session.task is None


async def test_start_twice_makes_one_task_and_close_ends_it(session):
    session.start()
    task = session.task
    session.start()
    assert session.task is task and isinstance(task, asyncio.Task)
    await asyncio.sleep(0.05)
    native = session.native
    assert native is not None and native.polls >= 1
    assert await session.close() is None
    assert task.cancelled() and session.task is task
    assert session.native is None and native.closes == 1
    session.start()  # a closed session cannot be started again
    assert session.task is task
    await session.close()  # and closing again is quiet
    assert native.closes == 1


async def test_close_on_never_started_session_only_closes_the_adapter(session):
    session._open_native()
    native = session.native
    await session.close()
    assert native.closes == 1 and session.native is None and session.task is None
    session.start()  # closed before it ever ran: it stays closed, connects nowhere
    await asyncio.sleep(0.05)
    assert session.task is None and session.native is None and len(session.factory.natives) == 1


async def test_close_after_the_run_task_failed_is_quiet(session):
    session.recovery = None  # run() fails at once with AttributeError
    session.start()
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    assert session.task.done() and isinstance(session.task.exception(), AttributeError)
    await session.close()


def test_none_is_an_ordinary_argument_value(session):
    s = trading.Trading(ACCOUNT, None, {}, native_factory=None)
    assert (s.timeout, s.factory) == (None, None)
    session._status(None)
    assert session.session_status is None
    session._clear_cache(None)
    assert session.session_status is None
    session._open_native()
    assert session._request(None, None) == (1, 0)
    session._phase_request(None, None, None)
    assert (session.phase, session.phase_id) == (None, 2)
    assert session.native.requests[-1][0] is None


# -- a closed session takes no more orders

NOT_READY_INSERT = TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")


@pytest.mark.parametrize("before,after", [("READY", "DISCONNECTED"), ("SYNCING", "DISCONNECTED"),
                                          ("ERROR", "ERROR")])
async def test_a_closed_session_refuses_orders_and_cancels(before, after):
    s = ready_session()
    [r] = insert(s)
    confirm(s, r.order_id)
    s.session_status = s.published_status = before
    native, order_ref, o, children = s.native, s.order_ref, dict(s.o), dict(s.native_orders)
    requests = len(native.requests)
    await s.close()
    assert s.session_status == after
    assert await s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0) == [NOT_READY_INSERT]
    assert s.cancel(r.order_id) == [TradingResult("REJECTED", r.order_id, "交易账户未就绪，撤单未提交")]
    assert len(native.requests) == requests and native.closes == 1
    assert (s.order_ref, s.o, s.native_orders) == (order_ref, o, children)
    assert s.commit({}) is (before != after) and s.published_status == after


async def test_an_order_sent_while_the_session_closes_is_refused():
    s = ready_session()
    release = asyncio.Event()

    async def slow_to_stop():
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            await release.wait()

    s.task = asyncio.ensure_future(slow_to_stop())
    closing = asyncio.ensure_future(s.close())
    for _ in range(3):
        await asyncio.sleep(0)
    assert not closing.done()
    assert await s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0) == [NOT_READY_INSERT]
    assert s.native.requests == [] and s.o == {}
    release.set()
    await closing
