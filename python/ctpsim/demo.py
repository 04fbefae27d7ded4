"""A trading session against an embedded simulated counter: `python -m ctpsim.demo` (or `./run demo`).

A small update loop stands in for the host package's update wait: it waits on the session's `changed`
event, calls `commit` and shows what changed. The story: login and synchronisation, an order that rests,
fills in part and then in full, a day roll with a reconnection, a close on SHFE split into yesterday's and
today's lots, a resting order cancelled, and orders refused locally and by the counter.

The session's monotonic clock runs SPEED times faster than real time (and the counter paces queries on the
same clock), so the whole story takes a few seconds.
"""

from __future__ import annotations

import asyncio
import sys
import time
import unicodedata
from types import SimpleNamespace

from velkor import trading
from velkor.ledgerlet import CtpAccount

from .counter import Counter
from .front import Front

SPEED = 5.0
TIMEOUT = 30.0  # session time-out, in seconds of the fast clock
WAIT_LIMIT = 20.0  # real seconds a step may take before the demo gives up
SYMBOL = "SHFE.ag2412"


class FastClock:
    """A monotonic clock running SPEED times faster than the real one; the wall clock stays real."""

    def __init__(self, speed: float):
        self.speed = speed
        self.origin = time.monotonic()

    def monotonic(self) -> float:
        return self.origin + (time.monotonic() - self.origin) * self.speed


# --- tables ---------------------------------------------------------------------------------------------


def _width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _cell(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:,.2f}"
    return str(value)


def table(title: str, headers: list[str], rows: list[list]) -> str:
    cells = [[_cell(v) for v in row] for row in rows]
    widths = [max([_width(h)] + [_width(r[i]) for r in cells]) for i, h in enumerate(headers)]

    def line(values):
        return "  " + "  ".join(v + " " * (w - _width(v)) for v, w in zip(values, widths)).rstrip()

    out = [f" {title}", line(headers), "  " + "  ".join("-" * w for w in widths)]
    out += [line(r) for r in cells] if cells else ["  (none)"]
    return "\n".join(out)


def show_account(s) -> str:
    a = s.account
    return table("Account", ["account", "trading day", "balance", "available", "margin", "frozen margin",
                             "commission", "close profit", "position profit"],
                 [[a.account_id, a.trading_day, a.balance, a.available, a.margin, a.frozen_margin, a.commission,
                   a.close_profit, a.position_profit]])


def show_book(s) -> str:
    positions = table("Positions", ["symbol", "long", "long today", "short", "short today", "free long",
                                    "free short"],
                      [[p.symbol, p.pos_long, p.pos_long_today, p.pos_short, p.pos_short_today, p.available_long,
                        p.available_short] for p in s.positions.values()])
    orders = table("Orders", ["order id", "symbol", "dir", "offset", "price", "lots", "traded", "left", "status",
                              "message", "cancel"],
                   [[o.order_id, o.symbol, o.direction, o.offset, o.limit_price, o.volume_original, o.volume_traded,
                     o.volume_left, o.status, o.status_msg or "",
                     "pending" if o.cancel_pending else (o.cancel_error or "")] for o in s.orders.values()])
    trades = table("Trades", ["trade id", "symbol", "dir", "offset", "price", "lots"],
                   [[t.trade_id, t.symbol, t.direction, t.offset, t.price, t.volume] for t in s.trades])
    return "\n".join([show_account(s), positions, orders, trades])


# --- the host's update loop, in small --------------------------------------------------------------------


class Host:
    def __init__(self, session, counter):
        self.s = session
        self.counter = counter
        self.progress = None
        self.commits = 0

    def report_progress(self) -> None:
        """Login and synchronisation progress: the protocol phase, the query step and the status."""
        s = self.s
        step = None
        if s.phase == "sync":
            step = trading.SYNC_STEPS[min(s.sync_index, len(trading.SYNC_STEPS) - 1)]
        now = (s.phase, step, s.session_status)
        if now == self.progress:
            return
        self.progress = now
        if step is not None:
            label = f"sync step {s.sync_index + 1}/{len(trading.SYNC_STEPS)}: {step} ({trading.QUERY_LABELS[step]})"
        else:
            label = f"phase {s.phase}" + (f" ({trading.PHASE_LABELS[s.phase]})" if s.phase in
                                          trading.PHASE_LABELS else "")
        print(f"  · {label}{' ' * max(1, 42 - _width(label))}status {s.session_status}")

    def commit(self) -> bool:
        changes: dict[int, set[str]] = {}
        if not self.s.commit(changes):
            return False
        self.commits += 1
        names = {id(self.s.account): "account", id(self.s.positions): "positions", id(self.s.orders): "orders",
                 id(self.s.trades): "trades"}
        changed = {names[k]: sorted(v) for k, v in changes.items() if k in names and v}
        if self.s.published_status != "READY":
            summary = "the objects keep their last published values"
        else:
            summary = "; ".join(f"{k} {', '.join(v)}" for k, v in changed.items()) or "no field changed"
        print(f"\n[commit {self.commits}] published status {self.s.published_status}: {summary}")
        if self.s.published_status == "READY":
            print(show_book(self.s))
        return True

    async def until(self, predicate, what: str) -> None:
        """Runs the update loop until `predicate()` holds for the published objects."""
        deadline = time.monotonic() + WAIT_LIMIT
        while not predicate():
            if self.s.error is not None:
                raise SystemExit(f"session ended: {self.s.error}")
            if time.monotonic() > deadline:
                raise SystemExit(f"gave up waiting for {what}")
            self.report_progress()
            try:
                await asyncio.wait_for(self.s.changed.wait(), 0.02)
            except TimeoutError:
                continue
            self.report_progress()
            self.commit()


def working(s, order_id: str) -> bool:
    """The published order rests at the exchange: ALIVE, with the exchange's order number (the first
    return of an order carries none yet, and a cancel needs it)."""
    order = s.orders.get(order_id)
    return order is not None and order.status == "ALIVE" and bool(order.order_sys_id)


def step(text: str) -> None:
    print(f"\n=== {text}")


def results(call: str, rs) -> None:
    """The immediate answers of an insert or cancel call: one TradingResult per order."""
    for r in rs:
        print(f"  {call} -> {r.status:<9} {r.order_id or '-':<24} {r.message}".rstrip())


async def story(front: Front, counter: Counter, clock: FastClock) -> None:
    cfg = counter.accounts[0]
    account = CtpAccount(cfg.broker_id, cfg.user_id, cfg.password, front.address, cfg.app_id, cfg.auth_code)
    s = trading.Trading(account, TIMEOUT, {})
    host = Host(s, counter)
    print(f"Session for account {cfg.user_id} at {front.address} (simulated counter, trading day "
          f"{counter.trading_day}).")
    print(f"Note: the session's clock runs {SPEED:g}x faster than real time and the counter paces queries on "
          f"that clock, so login and the 5 s funds refresh take a fraction of the usual time.")
    s.start()
    try:
        step("Login and synchronisation")
        await host.until(lambda: s.published_status == "READY", "the session to become READY")

        step(f"Open 5 lots of {SYMBOL} at 7790 (the market is at 7800: the order rests)")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 5, 7790.0)
        results("insert", [r])
        await host.until(lambda: working(s, r.order_id), "the order to be working")
        order = s.orders[r.order_id]

        step("The exchange fills 2 lots")
        counter.fill(r.order_id, 2)
        await host.until(lambda: order.volume_traded == 2 and s.positions[SYMBOL].pos_long == 2, "the partial fill")

        step("The market falls to 7790: the other 3 lots fill")
        counter.set_price(SYMBOL, 7790.0)
        await host.until(lambda: order.status == "FILLED" and s.positions[SYMBOL].pos_long == 5, "the full fill")

        step("The funds follow: the session re-queries them after every order or trade change")
        await host.until(lambda: (s.account.margin or 0) > 0, "the funds refresh")

        step("Day roll at the counter; the connection drops and the session logs in again")
        day = counter.settle()
        counter.drop_sessions()
        await host.until(lambda: s.published_status != "READY", "the disconnection")
        await host.until(lambda: s.published_status == "READY" and s.account.trading_day == day
                         and s.positions[SYMBOL].pos_long == 5, "the new trading day")
        print(f"  The 5 lots are now earlier days' lots (today: {s.positions[SYMBOL].pos_long_today}). Yesterday's "
              f"orders and trades left the published views; the order object the user still holds shows "
              f"{order.status}.")

        step("Open 2 more lots today at the market (7790)")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 2, 7790.0)
        results("insert", [r])
        await host.until(lambda: s.positions[SYMBOL].pos_long == 7, "the fill")

        step("Close 6 lots on SHFE: split into yesterday's lots first, then today's")
        rs = await s.insert(SYMBOL, "SELL", "CLOSE", 6, 7790.0)
        results("insert", rs)
        await host.until(lambda: s.positions[SYMBOL].pos_long == 1 and all(
            x.order_id in s.orders and s.orders[x.order_id].status == "FILLED" for x in rs), "the closes to fill")
        print("  Offsets: " + ", ".join(f"{s.orders[x.order_id].offset} {s.orders[x.order_id].volume_original}"
                                        for x in rs))

        step("A resting order, then its cancellation")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 1, 7000.0)
        results("insert", [r])
        await host.until(lambda: working(s, r.order_id), "the order to be working")
        results("cancel", s.cancel(r.order_id))
        await host.until(lambda: s.orders[r.order_id].status == "CANCELLED", "the cancellation")

        step("Orders refused: locally (price off the tick grid) and by the counter (not enough funds)")
        results("insert", await s.insert(SYMBOL, "BUY", "OPEN", 1, 7790.5))
        [r] = await s.insert("SHFE.cu2412", "BUY", "OPEN", 300, 76000.0)
        results("insert", [r])
        await host.until(lambda: r.order_id in s.orders and s.orders[r.order_id].status == "REJECTED",
                         "the counter's answer")
        rejected = s.orders[r.order_id]
        print(f"  Order {rejected.order_id}: {rejected.status}, {rejected.status_msg}")

        step("The funds catch up with the day's trades")
        await host.until(lambda: s.account.margin == counter.funds()["CurrMargin"]
                         and s.account.balance == counter.funds()["Balance"], "the funds refresh")

        step("Done")
        held = {sym: (h["pos_long"], h["pos_short"]) for sym, h in counter.positions().items()}
        shown = {sym: (p.pos_long, p.pos_short) for sym, p in s.positions.items() if p.pos_long or p.pos_short}
        print(f"  Counter positions {held}; published positions {shown}: "
              f"{'they agree' if held == shown else 'THEY DIFFER'}")
        if held != shown:
            raise SystemExit("the published positions differ from the counter's")
    finally:
        await s.close()


def main() -> int:
    clock = FastClock(SPEED)
    trading.time = SimpleNamespace(monotonic=clock.monotonic, time=time.time)
    with Front() as front:
        front.retry_interval = 0.05
        counter = Counter(front, clock=clock.monotonic)
        try:
            asyncio.run(story(front, counter, clock))
        finally:
            counter.close()
        if counter.errors:
            print(f"counter errors: {counter.errors}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
