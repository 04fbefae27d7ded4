"""A trading session against an embedded simulated counter: `python -m ctpsim.demo` (or `./run demo`).

A small update loop stands in for the host package's update wait: it waits on the session's `changed`
event, calls `commit` and shows the objects that changed. The session's log (logger "velkor.trading")
tells the login and the broker's reasons for refusals. The story: login and synchronisation, an order
that rests, fills in part and then in full, a day roll with a reconnection, a close on SHFE split into
yesterday's and today's lots, a resting order cancelled, and orders refused locally and by the counter.

The session's monotonic clock runs SPEED times faster than real time (and the counter paces queries on
the same clock), so the whole story takes a few seconds.
"""

from __future__ import annotations

import asyncio
import logging
import sys
import tempfile
import time
import unicodedata
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace

from velkor import trading
from velkor.ledgerlet import Account, CtpAccount, LiveObject, Order, Position, Trade

from .counter import Counter
from .front import Front

SPEED = 5.0
TIMEOUT = 30.0  # session time-out, in seconds of the fast clock
WAIT_LIMIT = 20.0  # real seconds a step may take before the demo gives up
SYMBOL = "SHFE.ag2412"
WIDTH = 100  # columns of every line the demo prints
STAMP = 10  # columns of the time stamp in front of each line


class FastClock:
    """A monotonic clock running SPEED times faster than the real one; the wall clock stays real."""

    def __init__(self, speed: float):
        self.speed = speed
        self.origin = time.monotonic()

    def monotonic(self) -> float:
        return self.origin + (time.monotonic() - self.origin) * self.speed


# --- lines ----------------------------------------------------------------------------------------------


def _width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def wrap(text: str, width: int) -> list[str]:
    """`text` in lines of at most `width` columns (a wide character takes two), broken at spaces where
    possible."""
    lines: list[str] = []
    line = ""
    for word in text.split(" "):
        candidate = word if not line else line + " " + word
        if _width(candidate) <= width:
            line = candidate
            continue
        if line:
            lines.append(line)
        line = ""
        while _width(word) > width:  # a word longer than a line: cut it
            cut = len(word)
            while _width(word[:cut]) > width:
                cut -= 1
            lines.append(word[:cut])
            word = word[cut:]
        line = word
    lines.append(line)
    return lines


def _money(value: float | None) -> str:
    return "-" if value is None else f"{value:,.2f}"


def _value(value: object) -> str:
    return "-" if value is None else str(value)


def describe(obj: LiveObject, reasons: dict[str, str]) -> str:
    """One published object as one line of text."""
    if isinstance(obj, Account):
        return (f"funds of day {_value(obj.trading_day)}: balance {_money(obj.balance)}, "
                f"available {_money(obj.available)}, margin {_money(obj.margin)}")
    if isinstance(obj, Position):
        return (f"position {obj.symbol}: long {_value(obj.pos_long)} (today {_value(obj.pos_long_today)}, "
                f"free {_value(obj.available_long)}), short {_value(obj.pos_short)} "
                f"(today {_value(obj.pos_short_today)}, free {_value(obj.available_short)})")
    if isinstance(obj, Order):
        parts = [f"order {obj.order_id}: {obj.direction} {obj.offset} {_value(obj.volume_original)} {obj.symbol} "
                 f"@ {_money(obj.limit_price)}, traded {_value(obj.volume_traded)}, {obj.status}"]
        if obj.status_msg:
            parts.append(obj.status_msg)
        if obj.cancel_pending:
            parts.append("(cancel pending)")
        elif obj.cancel_error:
            parts.append(f"(cancel refused: {obj.cancel_error})")
        if obj.status == "REJECTED" and obj.order_id in reasons:
            parts.append(f"- the broker: {reasons[obj.order_id]}")
        return " ".join(parts)
    if isinstance(obj, Trade):
        return (f"trade {obj.trade_id}: {obj.direction} {obj.offset} {_value(obj.volume)} {obj.symbol} "
                f"@ {_money(obj.price)}")
    return repr(obj)


# --- the host's update loop, in small --------------------------------------------------------------------


class Host(logging.Handler):
    """The update loop and the printer of the story. As a logging handler it shows the session's records
    (INFO and above) as lines of the story and keeps the broker's reason for each refused order."""

    def __init__(self, session: trading.Trading):
        super().__init__(logging.INFO)
        self.s = session
        self.start = time.monotonic()
        self.commits = 0
        self.reasons: dict[str, str] = {}
        self.members: dict[str, set[str]] = {"orders": set()}

    def say(self, text: str, indent: int = 0) -> None:
        stamp = f"{time.monotonic() - self.start:7.2f} s"
        lines = wrap(text, WIDTH - STAMP - indent)
        print(f"{stamp:<{STAMP}}{' ' * indent}{lines[0]}")
        for line in lines[1:]:
            print(" " * (STAMP + indent + 2) + line)

    def emit(self, record: logging.LogRecord) -> None:
        if getattr(record, "fallback", None) == "timed_pause.clock_replaced":
            return  # the demo's fast clock is not the event loop's, as the introduction says
        message = record.getMessage()
        if message.startswith("[") and "] " in message:
            message = message.split("] ", 1)[1]  # the account is the demo's only one
        order_id, error_id = getattr(record, "order_id", None), getattr(record, "error_id", None)
        if order_id is not None and error_id is not None:
            self.reasons[order_id] = f"ErrorID {error_id}, {getattr(record, 'error_msg', '')}"
        self.say(f"log: {message}", 2)

    def commit(self) -> bool:
        s = self.s
        changes: dict[int, set[str]] = {}
        before = s.published_status
        if not s.commit(changes):
            return False
        self.commits += 1
        status = s.published_status
        self.say(f"commit {self.commits}: status {status}" if status != before else f"commit {self.commits}")
        if status != "READY":
            self.say("the objects keep their last published values", 2)
            return True
        objects: list[LiveObject] = [s.account, *s.positions.values(), *s.orders.values(), *s.trades]
        for obj in objects:
            if changes.get(id(obj)):
                self.say(describe(obj, self.reasons), 2)
        gone = self.members["orders"] - set(s.orders)
        if gone:
            self.say(f"orders no longer published (another trading day): {', '.join(sorted(gone))}", 2)
        self.members["orders"] = set(s.orders)
        return True

    async def until(self, predicate: Callable[[], bool], what: str) -> None:
        """Runs the update loop until `predicate()` holds for the published objects."""
        deadline = time.monotonic() + WAIT_LIMIT
        while not predicate():
            if self.s.error is not None:
                raise SystemExit(f"session ended: {self.s.error}")
            if time.monotonic() > deadline:
                raise SystemExit(f"gave up waiting for {what}")
            try:
                await asyncio.wait_for(self.s.changed.wait(), 0.02)
            except TimeoutError:
                continue
            self.commit()

    def step(self, text: str) -> None:
        print()
        self.say(f"=== {text}")

    def results(self, call: str, rs: list[trading.TradingResult]) -> None:
        """The immediate answers of an insert or cancel call: one TradingResult per order."""
        for r in rs:
            self.say(f"{call} -> {r.status} {r.order_id or '-'} {r.message}".rstrip(), 2)


def working(s: trading.Trading, order_id: str | None) -> bool:
    """The published order rests at the exchange: ALIVE, with the exchange's order number (the first
    return of an order carries none yet, and a cancel needs it)."""
    order = s.orders.get(order_id) if order_id is not None else None
    return order is not None and order.status == "ALIVE" and bool(order.order_sys_id)


def filled(s: trading.Trading, rs: list[trading.TradingResult]) -> bool:
    return all(r.order_id in s.orders and s.orders[r.order_id].status == "FILLED" for r in rs if r.order_id)


async def story(front: Front, counter: Counter, journal: str) -> None:
    cfg = counter.accounts[0]
    account = CtpAccount(cfg.broker_id, cfg.user_id, cfg.password, front.address, cfg.app_id, cfg.auth_code)
    s = trading.Trading(account, TIMEOUT, {}, journal=journal)
    host = Host(s)
    log = logging.getLogger("velkor.trading")
    log.addHandler(host)
    log.setLevel(logging.INFO)
    log.propagate = False
    for line in wrap(f"Account {cfg.user_id} of broker {cfg.broker_id} at {front.address}, a simulated counter "
                     f"(trading day {counter.trading_day}). The session's clock runs {SPEED:g}x faster than "
                     f"real time and the counter paces queries on that clock, so login and the 5 s funds "
                     f"refresh take a fraction of the usual time. Times are seconds since the start.", WIDTH):
        print(line)
    s.start()
    try:
        host.step("Login and synchronisation")
        await host.until(lambda: s.published_status == "READY", "the session to become READY")

        host.step(f"Open 5 lots of {SYMBOL} at 7790 (the market is at 7800: the order rests)")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 5, 7790.0)
        host.results("insert", [r])
        assert r.order_id is not None
        order_id = r.order_id
        await host.until(lambda: working(s, order_id), "the order to be working")
        order = s.orders[order_id]

        host.step("The exchange fills 2 lots")
        counter.fill(order_id, 2)
        await host.until(lambda: order.volume_traded == 2 and s.positions[SYMBOL].pos_long == 2, "the partial fill")

        host.step("The market falls to 7790: the other 3 lots fill")
        counter.set_price(SYMBOL, 7790.0)
        await host.until(lambda: order.status == "FILLED" and s.positions[SYMBOL].pos_long == 5, "the full fill")

        host.step("The funds follow: the session queries them again after every order or trade change")
        await host.until(lambda: (s.account.margin or 0) > 0, "the funds refresh")

        host.step("Day roll at the counter; the connection drops and the session logs in again")
        day = counter.settle()
        counter.drop_sessions()
        await host.until(lambda: s.published_status != "READY", "the disconnection")
        await host.until(lambda: s.published_status == "READY" and s.account.trading_day == day
                         and s.positions[SYMBOL].pos_long == 5, "the new trading day")
        host.say(f"The 5 lots are earlier days' lots now (today: {s.positions[SYMBOL].pos_long_today}); the "
                 f"order object the user still holds shows {order.status}.", 2)

        host.step("Open 2 more lots today at the market (7790)")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 2, 7790.0)
        host.results("insert", [r])
        await host.until(lambda: s.positions[SYMBOL].pos_long == 7, "the fill")

        host.step("Close 6 lots on SHFE: two orders, yesterday's lots first, then today's")
        rs = await s.insert(SYMBOL, "SELL", "CLOSE", 6, 7790.0)
        host.results("insert", rs)
        await host.until(lambda: s.positions[SYMBOL].pos_long == 1 and filled(s, rs), "the closes to fill")
        host.say("offsets: " + ", ".join(f"{s.orders[x.order_id].offset} {s.orders[x.order_id].volume_original}"
                                         for x in rs if x.order_id), 2)

        host.step("A resting order, then its cancellation")
        [r] = await s.insert(SYMBOL, "BUY", "OPEN", 1, 7000.0)
        host.results("insert", [r])
        resting = r.order_id
        await host.until(lambda: working(s, resting), "the order to be working")
        assert resting is not None
        host.results("cancel", s.cancel(resting))
        await host.until(lambda: s.orders[resting].status == "CANCELLED", "the cancellation")

        host.step("A self-trade: a sell rests at 7800, then a buy of the same account reaches it")
        [sell] = await s.insert(SYMBOL, "SELL", "OPEN", 1, 7800.0)
        host.results("insert", [sell])
        await host.until(lambda: working(s, sell.order_id), "the sell to be working")
        [buy] = await s.insert(SYMBOL, "BUY", "OPEN", 1, 7800.0)
        host.results("insert", [buy])
        await host.until(lambda: filled(s, [sell, buy]) and s.positions[SYMBOL].pos_short == 1, "both sides")
        host.say("One match, one trade number, a fill on each side: "
                 + ", ".join(f"{t.direction} {t.trade_id.strip()}" for t in s.trades[-2:]), 2)

        host.step("Refused orders: one locally (price off the tick grid), one by the counter (funds)")
        host.results("insert", await s.insert(SYMBOL, "BUY", "OPEN", 1, 7790.5))
        [r] = await s.insert("SHFE.cu2412", "BUY", "OPEN", 300, 76000.0)
        host.results("insert", [r])
        refused = r.order_id
        assert refused is not None
        await host.until(lambda: refused in s.orders and s.orders[refused].status == "REJECTED",
                         "the counter's answer")

        host.step("The funds catch up with the day's trades")
        await host.until(lambda: s.account.margin == counter.funds()["CurrMargin"]
                         and s.account.balance == counter.funds()["Balance"], "the funds refresh")

        host.step("Done")
        held = {sym: (h["pos_long"], h["pos_short"]) for sym, h in counter.positions().items()}
        shown = {sym: (p.pos_long, p.pos_short) for sym, p in s.positions.items() if p.pos_long or p.pos_short}
        agree = "they agree" if held == shown else "THEY DIFFER"
        host.say(f"counter positions {held}; published positions {shown}: {agree}", 2)
        if held != shown:
            raise SystemExit("the published positions differ from the counter's")
    finally:
        await s.close()
        log.removeHandler(host)


def replay_journal(folder: Path) -> bool:
    """Replays each journal file the session wrote and checks it against what the session did."""
    from velkor.journal import Difference, read, replay_segments

    pad = " " * (STAMP + 4)
    print(f"{pad}the journal in {folder}:")
    ok = True
    for path in sorted(folder.glob("*.vkj")):
        records = len(read(path).records)
        try:
            [replay] = replay_segments(path, verify=True)
        except Difference as d:
            print(f"{pad}{path.name}: {records} records; DIFFERENCE at {d}")
            ok = False
            continue
        held = {sym: (p.pos_long, p.pos_short) for sym, p in replay.session.positions.items()
                if p.pos_long or p.pos_short}
        print(f"{pad}{path.name}: {records} records, replayed and verified;")
        print(f"{pad}the replay ends with positions {held}")
    print(f"{pad}(python -m velkor.journal show|replay|verify FILE)")
    return ok


def main() -> int:
    clock = FastClock(SPEED)
    setattr(trading, "time", SimpleNamespace(monotonic=clock.monotonic, time=time.time))
    folder = Path(tempfile.mkdtemp(prefix="velkor-journal-"))
    with Front() as front:
        front.retry_interval = 0.05
        counter = Counter(front, clock=clock.monotonic)
        try:
            asyncio.run(story(front, counter, str(folder)))
        finally:
            counter.close()
        if counter.errors:
            print(f"counter errors: {counter.errors}", file=sys.stderr)
            return 1
    return 0 if replay_journal(folder) else 1


if __name__ == "__main__":
    sys.exit(main())
