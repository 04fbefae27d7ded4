"""A session that trades on two exchanges whose numbers collide and through a self-trade, against a counter that
numbers per exchange and matches the account's own crossing orders; what the session shows next to what the
counter holds (orders, trades, positions), after the trading, after a reconnection and in a new session.

    .venv/bin/python bench/bench_identity.py

SHFE and DCE each number their first order 100001 and their first trade 500001; a resting DCE sell and a DCE
buy that reaches it trade with each other: one trade number, a fill on each side. Prints "agree" or the
difference at each point, the session's warnings and restarts, and ends with the verdict (exit status 1 when the
session and the counter disagree anywhere).
"""

from __future__ import annotations

import asyncio
import logging
import sys
import time
from collections.abc import Callable
from types import SimpleNamespace

from ctpsim import Counter, Front
from ctpsim.demo import FastClock
from velkor import trading
from velkor.ledgerlet import CtpAccount

SPEED = 20.0
WAIT = 4.0  # real seconds a step waits for the session to catch up before the picture is taken as it is
SIDES = {"0": "BUY", "1": "SELL"}


class Log(logging.Handler):
    """The session's warnings, and how often it started the connection over."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.warnings: list[str] = []
        self.restarts = 0

    def emit(self, record: logging.LogRecord) -> None:
        text = record.getMessage().split("] ", 1)[-1]
        if "reconnecting in 1 s" in text:
            self.restarts += 1
        if record.levelno >= logging.WARNING and "front disconnected" not in text:
            self.warnings.append(text)
        elif "reconnecting in 1 s" in text:
            self.warnings.append(f"(INFO) {text}")


def counter_picture(counter: Counter) -> tuple[set, set, dict]:
    orders = {(f"{r['ExchangeID']}.{r['InstrumentID']}", r["OrderSysID"].strip(), SIDES[r["Direction"]],
               r["VolumeTraded"], r["VolumeTotal"]) for r in counter.orders()}
    trades = {(f"{r['ExchangeID']}.{r['InstrumentID']}", r["TradeID"].strip(), r["OrderSysID"].strip(),
               SIDES[r["Direction"]], r["Volume"]) for r in counter.trades()}
    positions = {s: (h["pos_long"], h["pos_short"]) for s, h in counter.positions().items()
                 if h["pos_long"] or h["pos_short"]}
    return orders, trades, positions


def session_picture(s: trading.Trading) -> tuple[set, set, dict]:
    orders = {(o.symbol, o.order_sys_id, o.direction, o.volume_traded, o.volume_left) for o in s.orders.values()
              if o.order_sys_id}
    trades = {(t.symbol, t.trade_id, t.order_sys_id, t.direction, t.volume) for t in s.trades}
    positions = {sym: (p.pos_long, p.pos_short) for sym, p in s.positions.items() if p.pos_long or p.pos_short}
    return orders, trades, positions


async def until(s: trading.Trading, condition: Callable[[], bool]) -> None:
    deadline = time.monotonic() + WAIT
    while not condition() and time.monotonic() < deadline:
        s.commit({})
        await asyncio.sleep(0.005)


async def settle(s: trading.Trading, counter: Counter, condition: Callable[[], bool] = lambda: True) -> bool:
    """Commits until the session shows the counter's picture and `condition` holds, or WAIT runs out."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        s.commit({})
        if s.published_status == "READY" and condition() and session_picture(s) == counter_picture(counter):
            return True
        await asyncio.sleep(0.01)
    return False


def report(label: str, s: trading.Trading, counter: Counter, log: Log) -> bool:
    mine, theirs = session_picture(s), counter_picture(counter)
    agree = mine == theirs
    print(f"{label}: session {s.published_status}, {log.restarts} restarts so far: "
          f"{'agree' if agree else 'DIFFER'}")
    for name, a, b in zip(("orders", "trades"), mine[:2], theirs[:2]):
        print(f"  {name}: counter {len(b)}, session {len(a)}")
        for row in sorted(b - a):
            print(f"    missing in the session: {row}")
        for row in sorted(a - b):
            print(f"    not at the counter:    {row}")
    print(f"  positions: counter {theirs[2]}, session {mine[2]}")
    return agree


def account_of(counter: Counter, front: Front) -> CtpAccount:
    cfg = counter.accounts[0]
    return CtpAccount(cfg.broker_id, cfg.user_id, cfg.password, front.address, cfg.app_id, cfg.auth_code)


async def story(front: Front, counter: Counter, log: Log) -> bool:
    s = trading.Trading(account_of(counter, front), 30.0, {})
    s.start()
    agreed = []
    try:
        await settle(s, counter, lambda: not s.reset_pending)
        sent = []
        for args in [("SHFE.ag2412", "BUY", "OPEN", 1, 7800.0),   # fills at once: SHFE order 100001, trade 500001
                     ("DCE.m2501", "BUY", "OPEN", 2, 3100.0),     # fills at once: DCE order 100001, trade 500001
                     ("DCE.m2501", "SELL", "OPEN", 3, 3110.0),    # rests: DCE 100002
                     ("SHFE.ag2412", "SELL", "OPEN", 1, 7810.0),  # rests: SHFE 100002
                     ("DCE.m2501", "BUY", "OPEN", 1, 3110.0)]:    # reaches the resting DCE sell: a self-trade
            sent += await s.insert(*args)
        await settle(s, counter)
        print("the counter's trades (exchange, trade number, order number, side, lots):")
        for r in counter.trades():
            print(f"  {r['ExchangeID']:<5} {r['TradeID'].strip()} {r['OrderSysID'].strip()} {SIDES[r['Direction']]:<4} "
                  f"{r['Volume']}")
        agreed.append(report("after trading", s, counter, log))

        shfe_resting = sent[3].order_id
        cancel = s.cancel(shfe_resting) if shfe_resting else []
        print(f"cancel of the resting SHFE sell (its number is also a resting DCE order's): "
              f"{[(r.status, r.message) for r in cancel]}")
        await settle(s, counter, lambda: shfe_resting in s.orders and s.orders[shfe_resting].status == "CANCELLED")
        agreed.append(report("after the cancel", s, counter, log))

        counter.drop_sessions()
        await until(s, lambda: s.published_status != "READY")
        await settle(s, counter, lambda: not s.reset_pending)
        agreed.append(report("after a reconnection", s, counter, log))
    finally:
        await s.close()

    fresh = trading.Trading(account_of(counter, front), 30.0, {})
    fresh.start()
    try:
        await settle(fresh, counter)
        agreed.append(report("a new session", fresh, counter, log))
    finally:
        await fresh.close()
    return all(agreed)


def main() -> int:
    clock = FastClock(SPEED)
    setattr(trading, "time", SimpleNamespace(monotonic=clock.monotonic, time=time.time))
    log = Log()
    logger = logging.getLogger("velkor.trading")
    logger.addHandler(log)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    with Front() as front:
        front.retry_interval = 0.05
        counter = Counter(front, clock=clock.monotonic, numbers_per_exchange=True, self_trades=True)
        try:
            agreed = asyncio.run(story(front, counter, log))
        finally:
            counter.close()
    print(f"the session's warnings and restarts ({len(log.warnings)}):")
    for text in log.warnings[:8]:
        print(f"  {text}")
    if len(log.warnings) > 8:
        print(f"  ... and {len(log.warnings) - 8} more")
    print("verdict: the session agrees with the counter throughout" if agreed
          else "verdict: the session and the counter DISAGREE")
    return 0 if agreed else 1


if __name__ == "__main__":
    sys.exit(main())
