"""Pre-trade limits end to end: the real run loop over the bridge and the simulated counter, another session of
the same account beside it, the counter's faults, a restart and the day roll."""

from __future__ import annotations

from fakes import until
from test_login_e2e import counter, paced, trader  # noqa: F401
from test_trading_e2e import Trader

from velkor.journal import replay_segments
from velkor.ledgerlet import TradingResult
from velkor.trading import Limits, Trading

AG, M = "SHFE.ag2412", "DCE.m2501"
LIMITS = Limits(max_cancels_per_contract=3, max_active_orders=4, self_trade=True)


def counts(t):
    c = t.s.limit_counts
    return dict(c["cancels"]), c["active_orders"]


def every_count(s):
    return {k: dict(v) if k.endswith("cancels") else v for k, v in s.limit_counts.items()}


async def test_counts_hold_through_other_sessions_faults_restarts_and_the_day_roll(front, counter, paced, trader):  # noqa: F811
    trader.insert(AG, "0", "0", 1, 7700.0)                      # another session's order, cancelled
    trader.cancel(AG, counter.orders()[-1]["OrderSysID"])
    async with Trader(front, counter, LIMITS) as t:
        assert counts(t) == ({AG: 1}, 0)
        trader.insert(AG, "1", "0", 1, 7900.0)                  # it rests above the market
        await until(lambda: counts(t)[1] == 1)
        [crossing] = await t.insert(AG, "BUY", "OPEN", 1, 7900.0)
        assert crossing == TradingResult("REJECTED", None, "可能与本账户挂单自成交，报单未提交")
        [a], [b] = await t.insert(AG, "BUY", "OPEN", 1, 7700.0), await t.insert(AG, "BUY", "OPEN", 1, 7710.0)
        await t.until_working(a.order_id)
        await t.until_working(b.order_id)
        assert t.s.cancel(a.order_id)[0].status == "SUBMITTED"
        await t.until_child(a.order_id, status="CANCELLED")
        counter.fill(b.order_id)                                # filled before the session hears of it:
        assert t.s.cancel(b.order_id)[0].status == "SUBMITTED"  # its cancel leaves and fails
        await t.until_child(b.order_id, status="FILLED", cancel_pending=False)
        assert counts(t) == ({AG: 3}, 1)
        [refused] = await t.insert(AG, "SELL", "OPEN", 1, 8000.0)
        assert refused.message == "该合约当日撤单次数已达上限，报单未提交"
        [m] = await t.insert(M, "BUY", "OPEN", 2, 3000.0)       # another contract: free
        await t.until_working(m.order_id)

        counter.drop_sessions()
        await until(lambda: t.s.session_status != "READY")
        await until(lambda: t.s.session_status == "READY")
        assert counts(t) == ({AG: 3}, 2)
    async with Trader(front, counter, LIMITS) as restarted:    # knows only what the counter reports
        assert counts(restarted) == ({AG: 2}, 2)
        new_day = counter.settle()
        await until(lambda: restarted.s.session_status == "READY" and restarted.s.day == new_day)
        assert counts(restarted) == ({}, 0)


async def test_a_journal_replays_the_limits_decisions(front, counter, paced, tmp_path):  # noqa: F811
    t = Trader(front, counter)
    t.s = Trading(t.s.config, t.s.timeout, {}, native_factory=t.s.factory, limits=LIMITS, journal=tmp_path)
    async with t:
        resting = await t.insert(AG, "SELL", "OPEN", 1, 7900.0)
        await t.until_working(resting[0].order_id)
        [crossing] = await t.insert(AG, "BUY", "OPEN", 1, 7900.0)
        assert crossing.status == "REJECTED"
        t.s.cancel(resting[0].order_id)
        await t.until_child(resting[0].order_id, status="CANCELLED")
        recorded = every_count(t.s)
    [replay] = replay_segments(next(tmp_path.glob("*.vkj")), verify=True)  # the same refusal, the same clock
    assert replay.session.limits == LIMITS and every_count(replay.session) == recorded
    assert (recorded["cancels"], recorded["self_trade_refusals"]) == ({AG: 1}, 1)
