"""The run loop's pause stretched to the session's next deadline: every deadline still fires on time, calls between
passes bring it forward, a pause never lasts more than a second, and many sessions share one loop.

Most tests run on virtual time: `time.monotonic` itself is replaced, so the session's clock and the event loop's
timers read one clock, and a loop with nothing ready jumps it to its first timer instead of waiting. A deadline
that fires on time then fires at the same virtual moment as it would with real waiting, and the passes it took
are counted."""

from __future__ import annotations

import asyncio
import gc
import math
import time
import weakref
from decimal import Decimal

import hypothesis
import pytest
from hypothesis import strategies as st

from velkor import trading
from velkor.errors import Recovery
from velkor.journal import replay_segments
from velkor.ledgerlet import CtpAccount

from fakes import (ACCOUNT, SignallingFactory, SignallingNative, front_connected, front_disconnected, make_session,
                   record, row, until)

PLAIN = 0.01  # the run loop's pause without a deadline to wait for
LATE = 0.011  # how late after its due time a deadline may fire: within the plain pause, as before


class LoopClock:
    """`time.monotonic` for the session and the running loop alike. Virtual (speed None): a loop that would wait
    jumps the clock to its first timer at once. Otherwise the clock runs `speed` times faster than real time and
    the loop's waits shrink to match, for tests against the simulated counter's real threads."""

    def __init__(self, monkeypatch, speed: float | None = None):
        real = time.monotonic
        origin = real()
        self.now = origin
        self.jumps: list[float] = []
        if speed is None:
            monkeypatch.setattr(time, "monotonic", lambda: self.now)
        else:
            monkeypatch.setattr(time, "monotonic", lambda: origin + (real() - origin) * speed)
        selector = asyncio.get_running_loop()._selector
        plain = selector.select

        def select(timeout=None):
            if speed is not None:
                return plain(None if timeout is None else timeout / speed)
            ready = plain(0)
            if ready or timeout == 0:
                return ready
            assert timeout is not None, "the loop would wait for ever"
            self.now += timeout
            self.jumps.append(timeout)
            return []

        monkeypatch.setattr(selector, "select", select)


class Quiet(SignallingNative):
    """A front and counter that answer every request at once, as a quiet broker does: the login chain, one
    instrument, no orders, trades or positions, the funds row. `silent` methods go unanswered; `connect` False
    leaves the front unreachable. Notes (method, time) of every request in `sent`."""

    connect = True
    silent: frozenset[str] = frozenset()

    def __init__(self, config=None, directory=None):
        super().__init__(config, directory)
        self.sent: list[tuple[str, float]] = []
        self.opened = time.monotonic()
        if self.connect:
            self.signal(front_connected())

    def request(self, method, data, request_id):
        result = super().request(method, data, request_id)
        self.sent.append((method, time.monotonic()))
        if result == 0 and method not in self.silent and method in ANSWERS:
            name, data = ANSWERS[method]
            self.signal(record(name, data, request_id=request_id))
        return result

    def times(self, method):
        return [t for m, t in self.sent if m == method]


DAY = "20241202"
ANSWERS = {
    "Authenticate": ("RspAuthenticate", {}),
    "UserLogin": ("RspUserLogin", row("login", TradingDay=DAY, FrontID=1, SessionID=7, MaxOrderRef="0")),
    "SettlementInfoConfirm": ("RspSettlementInfoConfirm", {}),
    "QryInstrument": ("RspQryInstrument", row("instrument", ExchangeID="SHFE", InstrumentID="ag2412",
                                              ProductClass="1", IsTrading=1, PriceTick=1.0, MinLimitOrderVolume=1,
                                              MaxLimitOrderVolume=100)),
    "QryOrder": ("RspQryOrder", None),
    "QryTrade": ("RspQryTrade", None),
    "QryInvestorPosition": ("RspQryInvestorPosition", None),
    "QryTradingAccount": ("RspQryTradingAccount", row("account", AccountID="123456", CurrencyID="CNY", TradingDay=DAY,
                                                      Balance=1e6, Available=1e6)),
}


def adapter(**attrs):
    return SignallingFactory(type("Scripted", (Quiet,), attrs))


@pytest.fixture
def sessions():
    made = []

    def build(timeout=5.0, **attrs):
        s = make_session(timeout=timeout, factory=adapter(**attrs))
        made.append(s)
        return s

    yield build
    for s in made:
        s.factory.release()


async def run_until(condition, limit=40.0):
    """Lets the loop run until `condition()`, looking every 0.01 s for at most `limit` seconds of the clock (a
    test that only yielded would keep the loop from ever waiting, and virtual time from moving)."""
    end = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < end, "not reached in time"
        await asyncio.sleep(0.01)


async def ready(s):
    s.start()
    await run_until(lambda: s.session_status == "READY")
    s.commit({})


@pytest.fixture
def ready_session(monkeypatch, sessions):
    """A READY session of a scripted adapter on virtual time: the session, its adapter and the clock."""
    async def build(**config):
        virtual = LoopClock(monkeypatch)
        s = sessions(**config)
        await ready(s)
        return s, s.factory.last, virtual
    return build


# -- each deadline fires on time, after few passes

@pytest.mark.parametrize("silent", [None, "Authenticate", "UserLogin", "SettlementInfoConfirm", "QryOrder"])
async def test_a_time_out_restarts_the_connection_when_due(monkeypatch, sessions, silent):
    """An unreachable front, or a login step or synchronisation query left unanswered: the restart comes when the
    time-out is due, the next adapter 1 s (and a plain pause) later, and a pass a second at most in between."""
    LoopClock(monkeypatch)
    s = sessions(timeout=4.0, connect=silent is not None, silent=frozenset({silent}))
    s.start()
    await run_until(lambda: len(s.factory.natives) == 2)
    first, second = s.factory.natives
    since = first.opened if silent is None else first.times(silent)[0]
    assert since + 4.0 < second.opened - 1.0 - PLAIN <= since + 4.0 + LATE
    assert first.polls <= 12  # where the plain pause made 400 and more
    assert not any(s.diagnostics.values())


async def test_a_front_that_stays_disconnected_is_given_up_when_due(ready_session):
    """A disconnection leaves the adapter to reconnect by itself; the restart comes when the time-out from the
    disconnection is due, not up to a second later."""
    s, _, _ = await ready_session(timeout=4.0)
    await asyncio.sleep(0.5)
    s.factory.last.signal(front_disconnected())
    lost = time.monotonic()
    await run_until(lambda: len(s.factory.natives) == 2)
    assert lost + 4.0 < s.factory.last.opened - 1.0 - PLAIN <= lost + 4.0 + LATE


async def test_synchronisation_queries_are_paced_one_second_apart(ready_session):
    s, native, _ = await ready_session()
    queries = [t for m, t in native.sent if m.startswith("Qry")]
    assert [m for m, _ in native.sent if m.startswith("Qry")] == [
        "QryInstrument", "QryOrder", "QryTrade", "QryInvestorPosition", "QryTrade", "QryTradingAccount"]
    assert all(1.0 <= b - a <= 1.0 + LATE for a, b in zip(queries, queries[1:]))
    assert native.polls <= 30


async def test_funds_refresh_every_five_seconds_and_again_after_a_time_out(ready_session):
    s, native, _ = await ready_session(timeout=4.0)
    polls = native.polls
    await run_until(lambda: len(native.times("QryTradingAccount")) == 4)
    times = native.times("QryTradingAccount")
    assert all(5.0 <= b - a <= 5.0 + LATE for a, b in zip(times, times[1:]))
    assert native.polls - polls <= 3 * (5 + 2)  # a pass a second, and two per refresh (send, answer)
    native.silent = frozenset({"QryTradingAccount"})
    await run_until(lambda: len(native.times("QryTradingAccount")) == 6)
    unanswered, again = native.times("QryTradingAccount")[-2:]
    assert times[-1] + 5.0 <= unanswered <= times[-1] + 5.0 + LATE
    assert unanswered + 4.0 < again <= unanswered + 4.0 + LATE
    assert s.session_status == "READY"


@pytest.mark.parametrize("phase", ["sync", "ready"])
async def test_flow_control_tries_again_two_seconds_later(monkeypatch, sessions, phase):
    LoopClock(monkeypatch)
    s = sessions(timeout=10.0)
    query = "QryInstrument" if phase == "sync" else "QryTradingAccount"
    if phase == "sync":
        s.factory.results[query] = [-3]
        s.start()
    else:
        await ready(s)
        s.factory.last.results[query] = [-3]
    await run_until(lambda: s.factory.natives and len(s.factory.last.times(query)) >= 2 + (phase == "ready"))
    rejected, again = s.factory.last.times(query)[-2:]
    assert rejected + 2.0 <= again <= rejected + 2.0 + LATE


@pytest.mark.parametrize("phase", ["login", "ready"])
async def test_a_retry_control_that_gives_up_ends_the_session_at_the_next_pass(monkeypatch, sessions, phase):
    """A failure told to a retry control is checked at the next pass, after the plain pause, as before."""
    LoopClock(monkeypatch)
    s = sessions(timeout=10.0)
    ended = []
    if phase == "ready":
        s.query_recovery = Recovery("账户查询", 1, 120)
        await ready(s)
        s.task.add_done_callback(lambda _: ended.append(time.monotonic()))
        s.factory.last.results["QryTradingAccount"] = [-3]
        await run_until(lambda: ended)
        failed = s.factory.last.times("QryTradingAccount")[-1]
    else:
        s.recovery = Recovery("交易连接", 1, 120)
        s.factory.kind.connect = False
        s.start()
        s.task.add_done_callback(lambda _: ended.append(time.monotonic()))
        await run_until(lambda: s.factory.natives)
        s.factory.last.signal({"name": "FrontDisconnected", "reason": 0x1001})
        failed = time.monotonic()
        await run_until(lambda: ended)
    assert s.session_status == "ERROR"
    assert failed < ended[0] <= failed + LATE


# -- calls between passes

async def test_an_order_between_passes_brings_the_funds_query_forward(ready_session):
    s, native, _ = await ready_session(timeout=10.0)
    await asyncio.sleep(1.5)  # past the pacing of the login's last query, in the middle of a pause
    polls, at = native.polls, time.monotonic()
    [result] = await s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
    assert result.status == "SUBMITTED"
    await run_until(lambda: native.polls > polls)
    assert at < native.times("QryTradingAccount")[-1] <= at + LATE  # the plain pause from the order on


async def test_a_deadline_brought_nearer_moves_the_end_of_the_pause(ready_session):
    """The funds query asked for right after the last one was answered goes out when the pacing allows, not at
    the next refresh, and without a pass in between."""
    s, native, _ = await ready_session(timeout=10.0)
    answered = native.times("QryTradingAccount")[-1]
    polls = native.polls
    s._schedule_account()
    await run_until(lambda: len(native.times("QryTradingAccount")) == 2)
    assert answered + 1.0 <= native.times("QryTradingAccount")[-1] <= answered + 1.0 + LATE
    assert native.polls - polls <= 3


async def test_calls_that_move_no_deadline_leave_the_pause_alone(ready_session):
    s, native, virtual = await ready_session(timeout=10.0)
    await asyncio.sleep(1.5)
    [result] = await s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 5000.0)
    await asyncio.sleep(0.3)  # the funds query went out at once and is answered
    polls, jumps = native.polls, len(virtual.jumps)
    assert [r.status for r in s.cancel(result.order_id)] == ["REJECTED"]  # not confirmed yet: nothing sent
    assert s.commit({})
    s.pending.add("account")
    s._schedule_account()  # already pending: nothing moves
    await asyncio.sleep(0.5)
    assert native.polls == polls and len(virtual.jumps) == jumps + 1


def test_an_order_sent_after_its_runs_loop_closed_is_still_submitted(monkeypatch, caplog, sessions):
    """The pause's timer cannot move on a closed loop; the order has left, so insert answers as without the pause."""
    s = sessions(timeout=60.0)

    async def begin():
        LoopClock(monkeypatch)
        await ready(s)

    first = asyncio.new_event_loop()
    first.run_until_complete(begin())
    first.close()  # the run stays suspended in its pause
    [result] = asyncio.run(s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7700.0))
    assert result.status == "SUBMITTED" and s.factory.last.methods[-1] == "OrderInsert"
    assert [r.levelname for r in caplog.records if "could not be shortened" in r.getMessage()] == ["WARNING"]


async def test_a_journal_of_stretched_pauses_and_calls_between_them_verifies(monkeypatch, tmp_path):
    """The pauses stretch, an order between two of them shortens one, the connection starts over: the replay takes
    every decision again and ends with the same state."""
    LoopClock(monkeypatch)
    factory = adapter()
    s = trading.Trading(ACCOUNT, 5.0, {}, native_factory=factory, journal=tmp_path)
    await ready(s)
    await asyncio.sleep(2.5)
    asked = time.monotonic()
    [result] = await s.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7700.0)
    await asyncio.sleep(6.0)
    assert [t - asked for t in factory.last.times("QryTradingAccount") if t > asked][0] <= LATE
    s.native.poll_error = BufferError("lost")
    s.native.signal()
    await run_until(lambda: len(factory.natives) == 2 and s.session_status == "READY")
    s.commit({})
    await s.close()
    factory.release()
    [file] = tmp_path.glob("*.vkj")
    [replay] = replay_segments(file, verify=True)
    def state(session):
        return (session.published_status, session.request_id, dict(session.account._values),
                {k: dict(o._values) for k, o in session.orders.items()}, session.native_orders)

    assert result.status == "SUBMITTED" and state(replay.session) == state(s)


async def test_a_pause_lasts_at_most_a_second(monkeypatch, sessions):
    virtual = LoopClock(monkeypatch)
    s = sessions(timeout=1e9, connect=False)
    s.start()
    await run_until(lambda: s.factory.natives)
    start = time.monotonic()
    await asyncio.sleep(10.0)
    assert s.factory.last.polls in (10, 11)
    assert max(virtual.jumps) <= 1.0 + LATE and time.monotonic() - start == pytest.approx(10.0)


async def test_a_clock_replaced_for_a_while_gives_the_pause_to_the_deadline_back(monkeypatch, sessions):
    LoopClock(monkeypatch)
    s = sessions(timeout=1e9, connect=False)
    s.start()
    await run_until(lambda: s.factory.natives)
    monkeypatch.setattr(trading, "time", type("Clock", (), {"monotonic": staticmethod(lambda: time.monotonic()),
                                                            "time": staticmethod(lambda: time.time())}))
    await asyncio.sleep(2.0)
    monkeypatch.setattr(trading, "time", time)
    polls = s.factory.last.polls
    await asyncio.sleep(10.0)
    await s.close()
    assert s.factory.last.polls - polls <= 12  # a pass a second again, not a hundred
    assert s.diagnostics["timed_pause.clock_replaced"] == 1


class Seconds(float):
    """A float type of its own, as numpy's are: its arithmetic may be its own, so no deadline is taken from it."""


@pytest.mark.parametrize("timeout", [Seconds(1e9), Decimal(10**9)], ids=["float-subclass", "decimal"])
async def test_a_time_out_that_is_not_a_plain_number_keeps_the_plain_pause_and_says_so(monkeypatch, caplog, sessions,
                                                                                       timeout):
    LoopClock(monkeypatch)
    s = sessions(timeout=timeout, connect=False)
    s.start()
    await asyncio.sleep(1.0)
    await s.close()
    assert s.factory.last.polls >= 90  # every 0.01 s
    assert s.diagnostics["timed_pause.irregular_time"] == 1
    assert [r.levelname for r in caplog.records if getattr(r, "fallback", "") == "timed_pause.irregular_time"] == [
        "WARNING"]


async def test_a_clock_other_than_the_loops_keeps_the_plain_pause(monkeypatch, sessions, clock):
    """With the module-level `time` replaced, deadlines say nothing about the loop's timers: 0.01 s pauses."""
    loop = asyncio.get_running_loop()
    delays = []
    plain = loop.call_later
    monkeypatch.setattr(loop, "call_later", lambda delay, *a: delays.append(delay) or plain(delay, *a))
    s = sessions(timeout=5.0, connect=False)
    s.start()
    await until(lambda: s.factory.natives and s.factory.last.polls >= 3)
    await s.close()
    assert delays and set(delays) == {PLAIN}
    assert s.diagnostics["timed_pause.clock_replaced"] == 1


def test_a_session_collected_in_a_stretched_pause_is_freed():
    """The run's wake state (the pause's future and timer), which the session holds while a call may shorten the
    pause, is shown to the collector."""
    loop = asyncio.new_event_loop()
    factory = adapter(connect=False)
    s = make_session(timeout=60.0, factory=factory)

    async def begin():
        s.start()
        for _ in range(20):
            await asyncio.sleep(0)

    loop.run_until_complete(begin())
    assert s.factory.last.polls == 1  # paused for a second
    loop.close()
    session = weakref.ref(s)
    del s
    gc.collect()
    assert session() is None
    factory.release()


# -- the deadline and the tick agree

NUMBERS = st.one_of(st.floats(-50.0, 50.0), st.integers(-50, 50), st.sampled_from([math.inf, -math.inf, math.nan]))
STATES = st.fixed_dictionaries({
    "phase": st.sampled_from(["connecting", "authenticate", "login", "settlement", "sync", "ready"]),
    "timeout": st.one_of(st.floats(0.0, 20.0), st.integers(0, 20), st.sampled_from([math.inf, math.nan])),
    "phase_time": NUMBERS,
    "inflight": st.one_of(st.none(), NUMBERS.map(lambda t: {"id": 1, "kind": "account", "rows": [], "progress": t,
                                                              "revision": 0})),
    "pending": st.sets(st.sampled_from(["account", "orders"])),
    "last_query": NUMBERS,
    "last_account_refresh": NUMBERS,
})


def session_in(state):
    s = make_session()
    s._open_native()
    s.query_recovery = s.recovery = Recovery("x")
    s.sync_index = 2
    for name, value in state.items():
        setattr(s, name, {**value, "rows": []} if isinstance(value, dict) else set(value)
                if isinstance(value, set) else value)
    return s


def acts(state, now):
    """Whether tick(now) does anything to a session in `state`: raises, sends, or changes its state."""
    s = session_in(state)
    before = {k: (dict(v) if isinstance(v, dict) else set(v) if isinstance(v, set) else v)
              for k, v in vars(s).items() if k in state or k == "sync_index"}
    try:
        s.tick(now)
    except Exception:  # noqa: BLE001  (a time-out or a failed value: it acted)
        return True
    after = {k: v for k, v in vars(s).items() if k in before}
    same = all(after[k] is before[k] or after[k] == before[k] or (after[k] != after[k] and before[k] != before[k])
               for k in before)
    return bool(s.native.requests) or not same


@hypothesis.settings(max_examples=400, deadline=None)
@hypothesis.given(STATES, st.floats(0.0, 1.0))
def test_no_tick_acts_before_the_deadline_and_one_does_right_after(state, fraction):
    deadline = session_in(state)._deadline()
    if deadline > -math.inf:
        last = min(deadline, 100.0) - 1e-6  # just before the deadline, and anywhere before it
        for early in (last, -60.0 + (last + 60.0) * fraction):
            assert not acts(state, early), (state, deadline, early)
    if deadline < math.inf:
        late = max(deadline, -60.0) + 1e-6
        assert acts(state, late), (state, deadline, late)


# -- many sessions on one loop, against the simulated counter

async def test_sessions_sharing_a_loop_stay_untouched_by_others_faults(monkeypatch):
    """Four sessions against one counter: one loses its connection, one is refused at login; the others stay
    READY, keep their connection and send nothing but funds queries."""
    ctpsim = pytest.importorskip("ctpsim")
    from ctpsim.counter import AccountConfig, Counter

    LoopClock(monkeypatch, speed=10.0)
    with ctpsim.Front() as front:
        front.retry_interval = 0.01
        counter = Counter(front, [AccountConfig(user_id=str(10086001 + i)) for i in range(4)], clock=time.monotonic)
        natives = {}

        def factory(cfg, directory):
            natives.setdefault(cfg.user_id, []).append(trading.Native(cfg, directory))
            return natives[cfg.user_id][-1]

        def config(a, password=None):
            return CtpAccount(a.broker_id, a.user_id, password or a.password, front.address, a.app_id, a.auth_code)

        accounts = counter.accounts
        s = [trading.Trading(config(a), 30.0, {}, native_factory=factory) for a in accounts[:3]]
        for session in s:
            session.start()
        await until(lambda: all(x.session_status == "READY" for x in s), pause=0.01)

        def connection(session):
            return next(c for c in front.connections if c.flow_path.startswith(session.directory.encode()))

        others = {connection(x).id for x in s[1:]}
        mark = len(front.requests)
        refused = trading.Trading(config(accounts[3], "wrong"), 30.0, {}, native_factory=factory)
        refused.start()
        front.disconnect(connection(s[0]))
        await until(lambda: s[0].session_status != "READY", pause=0.01)
        await until(lambda: refused.task.done() and s[0].session_status == "READY", pause=0.01)
        await asyncio.sleep(0.6)  # six seconds of the sessions' clock: a funds refresh for each
        assert refused.session_status == "ERROR" and len(natives[accounts[0].user_id]) == 1  # the front reconnected
        for session in s[1:]:
            assert session.session_status == "READY" and len(natives[session.config.user_id]) == 1
            assert session.native is natives[session.config.user_id][0]
        assert {connection(x).id for x in s[1:]} == others
        later = [r for r in front.requests[mark:] if r.connection.id in others]
        assert later and {r.method for r in later} == {"QryTradingAccount"}
        assert not any(v for x in s for v in x.diagnostics.values())
        for session in (*s, refused):
            await session.close()
        counter.close()
        assert counter.errors == []
