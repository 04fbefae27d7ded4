"""The awaitables of Trading.run and Trading.close behave as asyncio coroutines."""

import asyncio
import collections.abc
import gc
import os
import subprocess
import sys
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


# -- what a frame holds, shown to the collector

class Symbol(str):
    """A symbol that can carry an attribute: here the coroutine it was handed to."""


def test_a_cycle_through_a_coroutines_arguments_is_collected(s):
    symbol = Symbol("SHFE.ag2412")
    coro = s.insert(symbol, "BUY", "OPEN", 1, 5000.0)  # not started: its frame holds the arguments
    assert symbol in gc.get_referents(coro) and s in gc.get_referents(coro)
    symbol.coro = coro
    ref = weakref.ref(symbol)
    del symbol, coro
    gc.collect()
    assert ref() is None


def test_a_close_waiting_for_its_run_task_is_collected_with_its_loop(clock):
    """close() holds the run task across its wait: a loop closed in the middle leaves a cycle through that
    frame, which the collector frees."""
    loop = asyncio.new_event_loop()
    s = make_session()

    async def begin():
        s.start()
        await asyncio.sleep(0)
        return asyncio.ensure_future(s.close())

    closing = loop.run_until_complete(begin())
    assert not closing.done() and closing.get_coro().cr_await is not None
    native = s.factory.last
    loop.close()
    session = weakref.ref(s)
    del s, closing
    gc.collect()
    assert session() is None and native.closes == 1


LEFT_AT_EXIT = r"""
import asyncio, sys
sys.path.insert(0, {tests!r})
from fakes import make_session

loop = asyncio.new_event_loop()
session = make_session()


async def begin():
    session.start()
    await asyncio.sleep(0.05)

loop.run_until_complete(begin())
if {closed}:
    loop.close()
print("exiting", session.native is not None, flush=True)
"""


@pytest.mark.parametrize("closed", [False, True], ids=["loop-open", "loop-closed"])
def test_a_run_left_waiting_at_interpreter_exit_ends_quietly(closed):
    tests = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([sys.executable, "-c", LEFT_AT_EXIT.format(tests=tests, closed=closed)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout == "exiting True\n"
    assert "Exception ignored" not in run.stderr and "Traceback" not in run.stderr, run.stderr
