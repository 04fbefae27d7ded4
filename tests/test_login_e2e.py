"""Login and synchronisation end to end: the real run loop over the bridge and the simulated counter."""

from __future__ import annotations

import time as real_time

import pytest

from fakes import FATAL, FastAsyncio, until
from velkor import trading
from velkor.ledgerlet import CtpAccount

pytest.importorskip("velkor._kestro")
Front = getattr(pytest.importorskip("ctpsim"), "Front", None)
if Front is None:
    pytest.skip("the simulated front is not built", allow_module_level=True)
from ctpsim.counter import AccountConfig, Counter  # noqa: E402
from test_counter import Client  # noqa: E402  (a raw client)

DAY = "20241202"
TIMEOUT = 10.0


class PacedAsyncio(FastAsyncio):
    """The run loop's sleeps move the fake clock only after the front delivered what it sent, and take a
    twentieth of their length in real time, so that the fake clock never outruns the counter's thread."""

    def __init__(self, clock, front):
        super().__init__(clock)
        self._front = front

    async def sleep(self, delay, result=None):
        self._front.flush()
        real_time.sleep(delay / 20)
        return await super().sleep(delay, result)


@pytest.fixture
def counter(front, clock):
    c = Counter(front, trading_day=DAY, clock=clock.monotonic, wall_clock=clock.time)
    yield c
    c.close()
    assert c.errors == []


@pytest.fixture
def paced(monkeypatch, clock, front):
    pa = PacedAsyncio(clock, front)
    monkeypatch.setattr(trading, "asyncio", pa)
    return pa


@pytest.fixture
def trader(front, counter, tmp_path):
    """Another client of the same account, straight on the bridge."""
    t = Client(front, counter.accounts[0], tmp_path)
    t.login()
    yield t
    t.close()


def make_session(front, account: AccountConfig, natives=None, limits=None):
    config = CtpAccount(account.broker_id, account.user_id, account.password, front.address, account.app_id,
                        account.auth_code)

    def factory(cfg, directory):
        native = trading.Native(cfg, directory)
        if natives is not None:
            natives.append(native)
        return native

    return trading.Trading(config, TIMEOUT, {}, native_factory=factory, limits=limits)


def picture(s):
    """What the session knows of the account, in the counter's terms."""
    positions = {sym: {k: r[k] for k in ("pos_long", "pos_long_today", "pos_long_his", "pos_short",
                                         "pos_short_today", "pos_short_his")}
                 for sym, r in s.p.items() if r["pos_long"] or r["pos_short"]}
    orders = {cid: (c["status"], c["volume_traded"], c["volume_left"]) for cid, c in s.native_orders.items()}
    return positions, orders, sorted(s.t), s.a["balance"], s.a["available"]


def counter_positions(counter):
    return {sym: h for sym, h in counter.positions().items() if h["pos_long"] or h["pos_short"]}


async def test_fresh_session_logs_in_and_holds_the_counter_picture(front, counter, paced, trader, clock):
    trader.insert("SHFE.ag2412", "0", "0", 3, 7800.0)   # fills at once
    trader.insert("DCE.m2501", "1", "0", 2, 3100.0)     # fills at once
    trader.insert("SHFE.rb2501", "0", "0", 4, 3400.0)   # rests
    s = make_session(front, counter.accounts[0])
    s.start()
    try:
        await until(lambda: s.session_status == "READY")
        assert s.phase == "ready" and s.day == DAY and s.error is None
        assert set(s.instruments) >= {"SHFE.ag2412", "DCE.m2501", "DCE.m2501-C-3000"}
        assert "DCE.SP m2501&m2505" not in s.instruments
        assert counter_positions(counter) == picture(s)[0]
        assert sorted(s.t) == sorted((t["ExchangeID"], t["TradeID"].strip(), "BUY" if t["Direction"] == "0" else "SELL")
                                     for t in counter.trades())
        rows = {f"{o['FrontID']}:{o['SessionID']}:{o['OrderRef']}": o for o in counter.orders()}
        assert set(s.native_orders) == set(rows) and len(rows) == 3
        assert sorted(c["status"] for c in s.native_orders.values()) == ["ALIVE", "FILLED", "FILLED"]
        funds = counter.funds()
        assert (s.a["balance"], s.a["available"], s.a["margin"]) == (
            funds["Balance"], funds["Available"], funds["CurrMargin"])
        queries = [r.method for r in front.requests if r.method.startswith("Qry")]
        assert queries == ["QryInstrument", "QryOrder", "QryTrade", "QryInvestorPosition", "QryTrade",
                           "QryTradingAccount"]
    finally:
        await s.close()


async def test_fill_during_synchronisation_counts_once(front, counter, paced, trader):
    trader.insert("SHFE.ag2412", "0", "0", 5, 7700.0)   # rests until the fill below
    s = make_session(front, counter.accounts[0])
    s.start()
    try:
        await until(lambda: s.phase == "sync" and s.sync_index == 3)
        (order,) = counter.account().orders
        counter.fill(order, 2)
        await until(lambda: s.session_status == "READY")
        assert counter_positions(counter) == picture(s)[0] == {
            "SHFE.ag2412": {"pos_long": 2, "pos_long_today": 2, "pos_long_his": 0,
                            "pos_short": 0, "pos_short_today": 0, "pos_short_his": 0}}
        (child,) = s.native_orders.values()
        assert (child["volume_traded"], child["volume_left"], child["status"]) == (2, 3, "ALIVE")
        assert len(s.t) == 1
        # the live fill was missing from the first trade query: the trade and position steps ran twice
        assert [r.method for r in front.requests].count("QryTrade") == 4
        counter.fill(order, 3)
        await until(lambda: child["status"] == "FILLED")
        assert s.p["SHFE.ag2412"]["pos_long"] == 5 == counter.positions()["SHFE.ag2412"]["pos_long"]
    finally:
        await s.close()


async def test_dropped_connection_comes_back_with_the_same_picture(front, counter, paced, trader):
    trader.insert("SHFE.ag2412", "0", "0", 3, 7800.0)
    trader.insert("INE.sc2412", "1", "0", 1, 540.0)
    s = make_session(front, counter.accounts[0])
    s.start()
    try:
        await until(lambda: s.session_status == "READY")
        before = picture(s)
        counter.drop_sessions()
        await until(lambda: s.session_status == "DISCONNECTED")
        await until(lambda: s.session_status == "READY")
        assert picture(s) == before and s.error is None
    finally:
        await s.close()


async def test_wrong_credentials_end_the_session(front, counter, paced):
    account = counter.accounts[0]
    wrong = AccountConfig(account.broker_id, account.user_id, "wrong", account.app_id, account.auth_code)
    s = make_session(front, wrong)
    s.start()
    await until(lambda: s.task.done())
    assert s.session_status == "ERROR" and str(s.error) == FATAL
    assert isinstance(s.error, trading.VelkorError)
    await s.close()


async def test_silent_query_restarts_and_recovers(front, counter, paced, trader):
    trader.insert("DCE.m2501", "0", "0", 2, 3100.0)
    natives = []
    s = make_session(front, counter.accounts[0], natives)
    counter.mute("QryInvestorPosition")
    s.start()
    try:
        await until(lambda: len(natives) == 2)
        counter.unmute()
        await until(lambda: s.session_status == "READY")
        assert counter_positions(counter) == picture(s)[0]
        assert [r.method for r in front.requests].count("UserLogin") == 3  # the trader's and two of the session
    finally:
        await s.close()
