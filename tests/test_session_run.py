"""Trading.run on a fast clock: passes, restarts, the fatal end, cancellation and close."""

import asyncio
import socket

import pytest

from velkor import trading
from velkor.data import VelkorError

from fakes import FATAL, FakeNative, Recording, make_session, until


@pytest.fixture
def s(fast, clock):
    session = make_session(timeout=5.0)
    session.recovery = Recording()
    return session


@pytest.mark.parametrize("status", ["SYNCING", "DISCONNECTED"])
async def test_front_that_never_connects_restarts_after_the_timeout(s, clock, fast, status):
    s.session_status = status
    start = s.phase_time
    closed_at = []
    s.start()
    await until(lambda: s.factory.natives)
    first = s.factory.natives[0]
    first.close = lambda: closed_at.append(clock.now)
    s.request_id = 41
    await until(lambda: len(s.factory.natives) == 2)
    assert start + 5 < closed_at[0] <= start + 5.01 + 1e-6
    assert s.recovery.calls.count("fail") == 1
    assert s.session_status == "SYNCING" and s.phase == "connecting"
    assert s.phase_time == closed_at[0] + 1.0  # the new adapter's wait starts after the pause
    assert 1.0 in fast.sleeps
    assert clock.now >= closed_at[0] + 1.0  # rebuilt after the pause
    assert s.request_id == 41
    assert s.factory.calls[0][1] == s.factory.calls[1][1] == s.directory
    assert s.error is None
    await s.close()
    assert s.factory.natives[1].closes == 1 and s.native is None


@pytest.mark.parametrize("timeout", [0.5, 1.0, 3.0])
async def test_every_new_adapter_gets_the_whole_timeout_to_connect(s, clock, timeout):
    s.timeout = timeout
    lifetimes = []
    real_factory = s.factory

    def factory(config, directory):
        native = real_factory(config, directory)
        opened = clock.now
        native.close = lambda: lifetimes.append(clock.now - opened)
        return native

    s.factory = factory
    s.start()
    await until(lambda: len(lifetimes) == 3)
    assert all(timeout - 0.01 - 1e-6 < life <= timeout + 0.01 + 1e-6 for life in lifetimes), lifetimes
    assert s.recovery.calls.count("fail") == 3
    await s.close()


@pytest.mark.parametrize("error", [
    TimeoutError(), socket.timeout("t"), BufferError("CTP 回调队列已满"), ConnectionError(), ConnectionResetError(),
    OSError("disk"), FileNotFoundError(), type("Overflow", (BufferError,), {})(),
])
async def test_restart_classes_include_subclasses(s, error):
    s.factory.results = {}
    s.start()
    await until(lambda: s.factory.natives)
    native = s.factory.natives[0]
    s.phase, s.session_status, s.sync_index = "ready", "READY", 3
    s.o["x"] = {}
    native.poll_error = error
    await until(lambda: len(s.factory.natives) == 2)
    assert native.closes == 1
    assert s.recovery.calls[0] == "begin" and s.recovery.calls.count("fail") == 1
    assert s.session_status == "SYNCING" and s.phase == "connecting" and s.sync_index == 0 and s.o == {}
    assert s.error is None and not s.task.done()
    await s.close()


@pytest.mark.parametrize("error", [ValueError("x"), KeyError("k"), VelkorError("bad"), RuntimeError("CTP 接口已关闭")])
async def test_other_errors_end_the_session(s, error):
    s.start()
    await until(lambda: s.factory.natives)
    native = s.factory.natives[0]
    native.poll_error = error
    await until(lambda: s.task.done())
    assert s.task.result() is None
    assert type(s.error) is VelkorError and str(s.error) == FATAL
    assert s.error.__cause__ is None
    assert s.session_status == "ERROR" and s.reset_pending is True and s.changed.is_set()
    assert native.closes == 0 and s.native is native  # open until close()
    await s.close()
    assert native.closes == 1 and s.native is None


async def test_factory_error_is_classified_like_any_other(s):
    s.factory.error = [OSError("no dir"), None]
    s.start()
    await until(lambda: s.factory.natives)
    assert s.recovery.calls.count("fail") == 1 and s.error is None
    s.factory.error = [ValueError("bad config")]
    s.factory.natives[0].poll_error = TimeoutError()
    await until(lambda: s.task.done())
    assert str(s.error) == FATAL


async def test_retry_control_checked_only_while_not_ready(s):
    s.recovery = Recording(check=VelkorError("交易连接连续失败"))
    s.session_status = "READY"
    s.phase = "ready"
    s.last_account_refresh = 1e12  # no funds refresh due
    s.start()
    await until(lambda: s.native is not None and s.native.polls >= 3)
    assert "check" not in s.recovery.calls and s.error is None
    s.session_status = "SYNCING"
    await until(lambda: s.task.done())
    assert s.recovery.calls[-1] == "check" and str(s.error) == FATAL and s.session_status == "ERROR"


async def test_failing_restart_step_is_fatal(s):
    s.recovery = Recording(fail=VelkorError("give up"))
    s.start()
    await until(lambda: s.factory.natives)
    s.factory.natives[0].poll_error = ConnectionError()
    await until(lambda: s.task.done())
    assert str(s.error) == FATAL and s.session_status == "ERROR"


async def test_begin_failure_ends_the_task_with_that_exception(s):
    s.recovery = Recording(begin=KeyError("begin"))
    s.start()
    await until(lambda: s.task.done())
    assert isinstance(s.task.exception(), KeyError)
    assert s.error is None and s.factory.calls == []
    await s.close()


async def test_cancellation_is_never_caught(s):
    s.start()
    await until(lambda: s.factory.natives)
    s.task.cancel()
    await until(lambda: s.task.done())
    assert s.task.cancelled() and s.error is None and s.session_status == "SYNCING"
    assert s.recovery.calls.count("fail") == 0
    await s.close()
    assert s.factory.natives[0].closes == 1


async def test_each_pass_polls_then_ticks(s, clock, fast):
    order = []
    s.start()
    await until(lambda: s.factory.natives)
    native = s.factory.natives[0]
    real_poll = native.poll
    native.poll = lambda: order.append("poll") or real_poll()
    s.phase, s.phase_time, s.sync_index, s.last_query = "sync", clock.now, 0, clock.now - 1
    await until(lambda: native.requests)
    order.append("request")
    assert order[-2:] == ["poll", "request"]
    assert native.requests[0][0] == "QryInstrument"
    assert all(d == 0.01 for d in fast.sleeps)
    await s.close()


class PausingAsyncio:
    """Sleeps below 1 s move the clock; the 1 s restart pause waits until released."""

    def __init__(self, clock):
        self.clock = clock
        self.paused = None

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay):
        if delay >= 1:
            self.paused = asyncio.get_running_loop().create_future()
            await self.paused
        else:
            self.clock.advance(delay)
            await asyncio.sleep(0)


async def test_close_during_the_restart_pause_leaves_no_adapter(monkeypatch, clock):
    pausing = PausingAsyncio(clock)
    monkeypatch.setattr(trading, "asyncio", pausing)
    s = make_session(timeout=5.0)
    s.start()
    await until(lambda: s.factory.natives)
    s.factory.natives[0].poll_error = BufferError("CTP 回调队列已满")
    await until(lambda: pausing.paused is not None)
    assert s.native is None and s.factory.natives[0].closes == 1
    await s.close()
    assert s.task.cancelled() and len(s.factory.natives) == 1 and s.native is None


async def test_close_while_waiting_for_the_front(s):
    s.start()
    await until(lambda: s.native is not None and s.native.polls > 2)
    native = s.native
    await s.close()
    assert native.closes == 1 and s.native is None and s.task.cancelled()
    assert s.phase == "connecting"


async def test_close_before_the_task_ran_opens_nothing(s):
    s.start()
    await s.close()
    assert s.task.cancelled() and s.factory.calls == []


async def test_run_awaited_directly_returns_none_on_fatal_end(s):
    s.factory.results = {}
    s.recovery = Recording(check=VelkorError("stop"))
    assert await s.run() is None
    assert str(s.error) == FATAL and isinstance(s.native, FakeNative)


async def test_cancelled_close_still_closes_the_adapter(s):
    s.start()
    await until(lambda: s.factory.natives)
    native = s.factory.natives[0]
    closer = asyncio.ensure_future(s.close())
    await asyncio.sleep(0)  # close() has cancelled the run task and waits for it
    assert not closer.done() and native.closes == 0
    closer.cancel()
    with pytest.raises(asyncio.CancelledError):
        await closer
    assert native.closes == 1 and s.native is None
    await until(lambda: s.task.done())
    assert s.task.cancelled() and len(s.factory.natives) == 1
