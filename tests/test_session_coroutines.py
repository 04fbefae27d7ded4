"""The awaitables of Trading.run and Trading.close behave as asyncio coroutines."""

import asyncio
import collections.abc
import gc
import weakref

import pytest


from velkor.data import VelkorError

from fakes import make_session


@pytest.fixture
def s(clock):
    """A session built on the fake clock, which the `fast` run loop goes on with: no phase looks overdue
    whatever the machine's uptime."""
    return make_session()


@pytest.mark.parametrize("method", ["run", "close"])
def test_counts_as_a_coroutine(s, method):
    coro = getattr(s, method)()
    try:
        assert isinstance(coro, collections.abc.Coroutine)
        assert asyncio.iscoroutine(coro)
        assert coro.__await__() is coro
        assert coro.__qualname__ == f"Trading.{method}" and coro.__name__ == method
        assert coro.cr_running is False and coro.cr_await is None
        assert f"Trading.{method}" in repr(coro)
    finally:
        coro.close()


def test_body_starts_on_first_send(s):
    s._open_native()
    native = s.native
    coro = s.close()
    assert native.closes == 0  # creating the coroutine does nothing
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value is None and native.closes == 1
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_non_none_first_send_is_refused(s):
    coro = s.close()
    with pytest.raises(TypeError):
        coro.send(1)
    coro.close()


def test_throw_before_start_raises_and_finishes(s):
    s._open_native()
    coro = s.close()
    with pytest.raises(KeyError):
        coro.throw(KeyError("x"))
    with pytest.raises(ValueError):
        coro.throw(ValueError, "old form")
    assert s.native.closes == 0


def test_throw_argument_errors(s):
    coro = s.run()
    with pytest.raises(TypeError):
        coro.throw(42)
    with pytest.raises(TypeError):
        coro.throw(KeyError("x"), "value")
    with pytest.raises(TypeError):
        coro.throw()
    coro.close()


def test_throw_into_a_suspended_body_reaches_the_awaited_sleep(s, fast):
    s.factory.results = {}
    coro = s.run()
    yielded = coro.send(None)  # first pass, suspended in the 0.01 s pause
    assert yielded is None  # the fake sleep yields once with a bare yield
    assert coro.cr_await is not None
    with pytest.raises(asyncio.CancelledError):
        coro.throw(asyncio.CancelledError())
    assert s.error is None and s.session_status == "SYNCING"
    with pytest.raises(RuntimeError):
        coro.send(None)


def test_close_of_a_suspended_body(s, fast):
    coro = s.run()
    coro.send(None)
    assert coro.close() is None
    assert coro.close() is None
    assert s.error is None  # GeneratorExit is no fatal error


def test_reentrant_send_is_refused(s, fast):
    coro = s.run()
    calls = []

    def poll():
        try:
            coro.send(None)
        except ValueError as e:
            calls.append(str(e))
        return []

    coro.send(None)
    s.native.poll = poll
    coro.send(None)
    assert calls == ["coroutine already executing"]
    coro.close()


async def test_awaited_from_python_and_through_gather(s):
    s._open_native()

    async def outer():
        return await s.close()

    assert await outer() is None
    assert await asyncio.gather(s.close(), s.close()) == [None, None]
    assert s.native is None


async def test_exceptions_keep_their_type_when_awaited(s):
    s._open_native()

    def broken():
        raise ConnectionResetError("gone")

    s.native.close = broken
    with pytest.raises(ConnectionResetError, match="gone"):
        await s.close()


async def test_cancelling_a_task_propagates(s):
    s.start()
    await asyncio.sleep(0.03)
    s.task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await s.task
    await s.close()


def test_finished_and_abandoned_coroutines_release_the_session(fast):
    s = make_session()
    ref = weakref.ref(s)
    coro = s.run()
    coro.send(None)  # suspended, holding the session
    del s
    gc.collect()
    assert ref() is not None
    del coro
    gc.collect()
    assert ref() is None


async def test_session_with_finished_task_is_collectable():
    s = make_session()
    s.start()
    await asyncio.sleep(0.02)
    await s.close()
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def _ready_for_orders(s):
    s._open_native()
    s.session_status, s.phase, s.reset_pending = "READY", "ready", False
    s.front, s.session, s.order_ref, s.day = 1, 2, 100, "20240102"


async def test_bodies_that_finish_on_the_first_send_through_asyncio(s):
    """insert and _insert never suspend: their value or error comes from the first send."""
    _ready_for_orders(s)
    task = asyncio.ensure_future(s.insert("SHFE.nothing", "BUY", "OPEN", 1, 1.0))
    [result] = await task
    assert result.status == "REJECTED"
    s.session_status = "SYNCING"
    with pytest.raises(VelkorError):
        await asyncio.gather(s._insert("SHFE.nothing", "BUY", "OPEN", 1, 1.0))
    coro = s._insert("SHFE.nothing", "BUY", "OPEN", 1, 1.0)
    with pytest.raises(VelkorError):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    assert coro.close() is None
    assert s.native.requests == []
