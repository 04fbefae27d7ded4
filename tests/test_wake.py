"""The run loop woken by the adapter's readiness descriptor: passes, bursts, restarts, close, and the bridge's
descriptor itself."""

import asyncio
import gc
import logging
import os
import select
import weakref

import pytest

from velkor import _kestro, trading
from velkor.data import VelkorError
from velkor.ledgerlet import CtpAccount

from fakes import FakeFactory, FakeNative, SignallingFactory, SignallingNative, front_connected, make_session, record


def stretch():
    """Stretches every 0.01 s timer of the running loop to a day, so that a pause ends only when woken.
    Returns the loop and the list its exception handler fills."""
    loop = asyncio.get_running_loop()
    plain = loop.call_later
    loop.call_later = lambda delay, *args, **kwargs: plain(86400 if delay == 0.01 else delay, *args, **kwargs)
    errors = []
    loop.set_exception_handler(lambda _, context: errors.append(context))
    return loop, errors


@pytest.fixture
def woken(clock):
    s = make_session(timeout=5.0, factory=SignallingFactory())
    yield s
    for native in s.factory.natives:
        os.close(native.fd)


async def settle(rounds=50):
    """Lets the loop run everything that is ready, and then some."""
    for _ in range(rounds):
        await asyncio.sleep(0)


async def started(session):
    """Starts the session on stretched timers; (loop, its errors, the first adapter) once it waits."""
    loop, errors = stretch()
    session.start()
    await settle()
    return loop, errors, session.factory.last


def watched(loop, fd):
    """Whether `fd` has a reader on the loop (asyncio offers no public look that leaves it alone)."""
    return fd in loop._selector.get_map()


def timed_pauses(session):
    """The session's timed-pause counters that are not zero."""
    return {k: v for k, v in session.diagnostics.items() if k.startswith("timed_pause.") and v}


def fallback_records(caplog):
    return [(r.levelno, r.name, r.fallback) for r in caplog.records if hasattr(r, "fallback")]


async def test_each_signal_is_one_pass_that_drains_everything(woken):
    """Events queued while the loop waits are handled by the next pass, all of them, and only one pass runs."""
    loop, errors, native = await started(woken)
    assert native.polls == 1 and watched(loop, native.fd)
    await settle()
    assert native.polls == 1  # the pause has not ended on its own

    native.signal(front_connected())
    await settle()
    assert native.polls == 2 and native.methods == ["Authenticate"]
    assert not native.pending()  # the reader reset the descriptor

    native.default = 0
    auth = native.requests[-1][2]
    native.signal(record("RspAuthenticate", {}, request_id=auth))
    native.signal(record("RspError", {"ErrorID": 0}, request_id=999))
    native.signal(record("RspError", {"ErrorID": 0}, request_id=998))
    await settle()
    assert native.polls == 3 and native.methods == ["Authenticate", "UserLogin"]
    await woken.close()
    assert not errors
    assert not watched(loop, native.fd) and native.closes == 1


async def test_an_event_queued_just_after_the_take_ends_the_next_pause(woken):
    """A callback that lands right after a pass took the queue signals again; the pass must not swallow that
    signal, or the event would wait for the timer (here a day)."""
    loop, errors, native = await started(woken)
    take = native.poll

    def poll():
        taken = take()
        if native.polls == 2:
            native.signal(front_connected())
        return taken

    native.poll = poll
    native.signal()
    await settle()
    assert native.polls == 3 and native.methods == ["Authenticate"]
    await woken.close()
    assert not errors


async def test_close_while_a_wake_is_pending(woken):
    loop, errors, native = await started(woken)
    native.signal(front_connected())
    order = []
    native.close = lambda: order.append(("close", watched(loop, native.fd)))
    await woken.close()
    assert not errors
    assert order == [("close", False)]
    assert native.pending()  # nobody read the descriptor after the adapter was closed
    assert woken.task.cancelled()


@pytest.mark.parametrize("failure", ["poll", "tick", "fatal"])
async def test_restart_and_fatal_end_leave_no_reader(woken, failure):
    loop, errors, first = await started(woken)
    seen = []
    first.close = lambda: seen.append(watched(loop, first.fd))
    if failure == "poll":
        first.poll_error = BufferError("CTP 回调队列已满")
    elif failure == "tick":
        woken.phase_time -= 60  # the front never connected within the time-out
    else:
        first.poll_error = VelkorError("boom")
    os.eventfd_write(first.fd, 1)
    await settle()
    assert not watched(loop, first.fd)
    if failure == "fatal":
        assert woken.task.done() and woken.native is first and not seen  # the adapter stays open until close
    else:
        assert seen == [False] and woken.native is None  # closed after its reader was removed
    await woken.close()
    assert not errors


async def test_adapter_replaced_behind_the_loop_is_unwatched(woken):
    loop, errors, first = await started(woken)
    second = SignallingNative()
    woken.factory.natives.append(second)
    woken.native = second
    first.signal()
    await settle()
    assert not watched(loop, first.fd) and watched(loop, second.fd)
    await woken.close()
    assert not errors


@pytest.mark.parametrize("fileno", [-1, OSError(9, "Bad file descriptor"), ValueError("I/O operation on closed file")],
                         ids=["negative", "oserror", "valueerror"])
async def test_an_adapter_whose_fileno_fails_gets_timed_pauses_not_a_restart_or_an_end(woken, fileno):
    """The descriptor only speeds the loop up: a fileno() that fails or says "none" as -1 must neither restart the
    connection (an OSError would, every pass) nor end the session."""
    def failing(native):
        if isinstance(fileno, Exception):
            raise fileno
        return fileno

    woken.factory.kind = type("Failing", (SignallingNative,), {"fileno": failing})
    loop, errors, native = await started(woken)
    assert woken.session_status == "SYNCING" and woken.native is native and woken.factory.natives == [native]
    assert timed_pauses(woken) == {"timed_pause.no_descriptor": 1}
    await woken.close()
    assert not errors


@pytest.mark.parametrize("hands_out", ["another", "none"])
async def test_an_adapter_that_changes_its_descriptor_is_watched_on_the_new_one(woken, hands_out):
    """An adapter may make a new descriptor (a reconnection of its own) during a pass: its signals must still end
    the pause (here stretched to a day), and one that hands out none any more gets timed pauses, said so."""
    loop, errors, native = await started(woken)
    old = native.fd
    native.fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
    if hands_out == "none":
        native.fileno = lambda: None
    os.eventfd_write(old, 1)  # the pass in which the adapter changed
    await settle()
    assert native.polls == 2 and not watched(loop, old)
    os.close(old)
    if hands_out == "none":
        assert timed_pauses(woken) == {"timed_pause.no_descriptor": 1, "timed_pause.clock_replaced": 1}
    else:
        assert watched(loop, native.fd)
        native.signal(front_connected())
        await settle()
        assert native.polls == 3 and native.methods == ["Authenticate"]
        assert timed_pauses(woken) == {"timed_pause.clock_replaced": 1}
    await woken.close()
    assert not errors and not watched(loop, native.fd)


@pytest.mark.parametrize("signal", [True, False], ids=["descriptor", "no-descriptor"])
@pytest.mark.parametrize("substituted", [False, True], ids=["asyncio", "replaced-asyncio"])
async def test_without_a_usable_signal_the_pause_is_a_plain_sleep(monkeypatch, caplog, clock, signal, substituted):
    sleeps = []
    real_sleep = asyncio.sleep

    async def sleep(delay, result=None):
        sleeps.append(delay)
        return await real_sleep(0, result)

    class Replaced:
        """The real asyncio behind another object, as tests and hosts substitute it."""

        def __getattr__(self, name):
            return sleep if name == "sleep" else getattr(asyncio, name)

    if substituted:
        monkeypatch.setattr(trading, "asyncio", Replaced())
    else:
        monkeypatch.setattr(asyncio, "sleep", sleep)
    s = make_session(factory=SignallingFactory() if signal else FakeFactory())
    s.start()
    while not s.factory.natives or s.factory.natives[0].polls < 3:
        await real_sleep(0.001)
    await s.close()
    if signal and not substituted:
        assert sleeps == []
    else:
        assert sleeps and set(sleeps) == {0.01}
    # Woken by the descriptor, the pauses still end after 0.01 s: the fake clock is not the loop's.
    cause = "asyncio_replaced" if substituted else "clock_replaced" if signal else "no_descriptor"
    expected = [f"timed_pause.{cause}"]
    assert timed_pauses(s) == dict.fromkeys(expected, 1)  # one adapter, however many pauses
    assert fallback_records(caplog) == [(logging.WARNING, "velkor.trading", name) for name in expected]
    for native in s.factory.natives:
        if signal:
            os.close(native.fd)


@pytest.mark.parametrize("kind", ["pipe-at-end-of-file", "regular-file"])
async def test_a_descriptor_the_loop_cannot_use_falls_back_to_timed_pauses(caplog, clock, tmp_path, kind):
    """A descriptor that can no longer signal, or one the loop refuses to watch (epoll takes no regular file),
    costs the session nothing: the same adapter goes on, its pauses on time alone."""
    loop = asyncio.get_running_loop()
    errors = []
    loop.set_exception_handler(lambda _, context: errors.append(context))
    if kind == "regular-file":
        fd = os.open(tmp_path / "file", os.O_RDWR | os.O_CREAT)
    else:
        fd, write = os.pipe()
        os.close(write)
    natives = []

    class Odd(FakeNative):
        def fileno(self):
            return fd

    def factory(config, directory):
        natives.append(Odd(config, directory))
        return natives[-1]

    s = make_session(factory=factory)
    s.start()
    while len(natives) < 2 and (not natives or natives[0].polls < 3):
        await asyncio.sleep(0.001)
    natives[0].push(front_connected())
    while len(natives) == 1 and not natives[0].requests:
        await asyncio.sleep(0.001)
    assert len(natives) == 1 and natives[0].methods == ["Authenticate"] and not natives[0].closed
    assert not watched(loop, fd)
    await s.close()
    assert not errors
    name = "timed_pause." + ("descriptor_refused" if kind == "regular-file" else "descriptor_broken")
    # The pipe was watched until it ended, on the fake clock, which is not the loop's.
    clock_replaced = {} if kind == "regular-file" else {"timed_pause.clock_replaced": 1}
    assert timed_pauses(s) == {name: 1, **clock_replaced}
    [record] = [r for r in caplog.records if getattr(r, "fallback", None) == name]
    assert record.levelno == logging.WARNING and f"descriptor {fd} " in record.getMessage()
    os.close(fd)


# -- the bridge's descriptor

def open_fds():
    return len(os.listdir("/proc/self/fd"))


def readable(fd):
    return bool(select.select([fd], [], [], 0)[0])


def test_bridge_signals_once_per_empty_queue_and_closes_with_the_handle(tmp_path):
    ctpsim = pytest.importorskip("ctpsim")
    before = open_fds()
    with ctpsim.Front() as front:
        handle = _kestro.create(front.address, os.fsencode(tmp_path) + b"/")
        conn = front.wait_connection()
        fd = _kestro.fileno(handle)
        front.flush()
        assert os.eventfd_read(fd) == 1 and not readable(fd)
        assert _kestro.poll(handle) == [{"name": "FrontConnected"}]
        for count in (1, 1000):
            front.burst(conn, "OnRtnOrder", None, count)
            front.flush()
            assert os.eventfd_read(fd) == 1  # one signal for the whole burst
            assert len(_kestro.poll(handle)) == count
        front.send(conn, "OnRtnTrade", None)
        front.flush()
        _kestro.close(handle)
        assert _kestro.fileno(handle) == fd and readable(fd)  # still open for a loop that watches it
        assert len(_kestro.poll(handle)) == 1
        del handle
        gc.collect()
    assert open_fds() == before


async def test_sessions_over_the_bridge_leave_no_descriptor_or_reader(tmp_path):
    """Overflow restarts the connection with a new handle; close ends it. Nothing stays open or watched."""
    ctpsim = pytest.importorskip("ctpsim")
    natives = []

    def factory(config, directory):
        natives.append(trading.Native(config, directory))
        return natives[-1]

    loop = asyncio.get_running_loop()
    before = open_fds()
    with ctpsim.Front() as front:
        front.retry_interval = 0.01
        config = CtpAccount("9999", "123456", "secret", front.address, "client_app", "auth-code")
        s = trading.Trading(config, 5.0, {}, native_factory=factory)
        s.start()
        while s.phase != "authenticate":
            await asyncio.sleep(0.001)
        conn = front.connections[0]
        fd = natives[0].fileno()
        assert watched(loop, fd)
        front.burst(conn, "OnRtnOrder", None, 32769)
        front.flush()  # with the loop held up here: the queue overflows
        while not conn.released:
            await asyncio.sleep(0.001)
        assert not watched(loop, fd) and s.session_status == "SYNCING"
        await s.close()
        assert all(not watched(loop, n.fileno()) for n in natives)
        assert not any(s.diagnostics.values())  # woken by every adapter's descriptor
        natives.clear()
    gc.collect()
    assert open_fds() == before


# -- timed pauses counted per adapter, logged once per session

async def test_timed_pauses_are_counted_per_adapter_and_logged_once_per_session(caplog, clock, fast):
    s = make_session(timeout=5.0)
    s.start()
    while len(s.factory.natives) < 3:  # the front never answers: a new adapter every 5 s of the fast clock
        await asyncio.sleep(0)
    await s.close()
    assert timed_pauses(s) == {"timed_pause.asyncio_replaced": len(s.factory.natives)}
    assert fallback_records(caplog) == [(logging.WARNING, "velkor.trading", "timed_pause.asyncio_replaced")]


# -- a run dropped while it waits

async def test_a_dropped_run_releases_its_reader_and_adapter(woken, caplog):
    loop, errors = stretch()
    coro = woken.run()
    coro.send(None)  # the first pass: the adapter opened, its descriptor watched, the pause begun
    native = woken.factory.last
    assert watched(loop, native.fd) and not native.closed
    del coro
    assert not watched(loop, native.fd) and native.closes == 1 and woken.native is None
    [record] = [r for r in caplog.records if r.name == "velkor.trading" and r.levelno == logging.WARNING
                and not hasattr(r, "fallback")]
    assert record.getMessage() == ("[9999/123456] the run loop was dropped while it waited: its reader is removed "
                                   "and its adapter closed")
    await settle()
    assert not errors


def test_a_run_task_collected_with_its_closed_loop_releases_its_adapter(clock):
    """A host that closes its loop without cancelling the session's task: the task, its run and the session
    become garbage together; the collector frees them, and the run's frame closes the adapter on its way."""
    loop = asyncio.new_event_loop()
    s = make_session(timeout=5.0, factory=SignallingFactory())

    async def begin():
        s.start()
        await settle()

    loop.run_until_complete(begin())
    native = s.factory.last
    assert watched(loop, native.fd) and not native.closed
    loop.close()
    session = weakref.ref(s)
    del s
    gc.collect()
    assert session() is None and native.closes == 1
    os.close(native.fd)
